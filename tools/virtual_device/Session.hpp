#pragma once

// A session recorded by `torvi trace --out FILE`: what the host and the
// device sent each other, chunk by chunk, with the time of each. The file is
// text, one line per chunk:
//
//   torvi-session 1 baud=115200 data_bits=8 parity=none stop_bits=1 port=... library=...
//   0.000000 > 0a
//   0.002473 < d0 00 00 21 02 01 03
//   9.100000 ! hangup
//
// after the header (the format's name and version, then key=value settings
// that the replay does not need): seconds since the recording started, the
// direction (> host to device, < device to host, ! the device's port hung
// up), the bytes in hex. Blank lines and lines that start with # are left
// out, so a session can be annotated and edited by hand.

#include "DeviceModel.hpp"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace Torvi::VirtualDevice {

/// The first word of a session file's header, and the format version this
/// program reads. src/torvi/cli/trace.py writes the same.
inline constexpr const char* kSessionFormat = "torvi-session";
inline constexpr int kSessionVersion = 1;

struct SessionLine {
    enum class Direction { ToDevice, ToHost, HangUp };
    std::size_t number = 0; ///< the line of the file, from 1
    double time = 0.0;      ///< seconds since the recording started
    Direction direction = Direction::ToHost;
    Bytes bytes; ///< none for a hang-up
};

struct Session {
    std::string name; ///< the file as it was named, for messages
    std::vector<SessionLine> lines;
    std::size_t last_line = 0; ///< the number of the file's last line
};

/// A session file that cannot be read; what() is "NAME:LINE: why".
class SessionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Parses the text of a session file named `name`. Throws SessionError for
/// a missing or unknown header, a line that is not "TIME DIRECTION BYTES",
/// a negative or non-numeric time, or bytes that are not hex.
Session ParseSession(const std::string& text, const std::string& name);

/// Reads and parses the file at `path`; SessionError also when it cannot be
/// read.
Session LoadSession(const std::string& path);

} // namespace Torvi::VirtualDevice
