#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace Torvi::HardwareAPI::Discovery {

/// The kinds of serial port a device may sit behind, named after the Linux
/// kernel's tty names. The values are fixed.
enum class PortKind : int {
    Acm = 1,    ///< "ttyACM": USB CDC-ACM device (the arm)
    Usb = 2,    ///< "ttyUSB": USB-to-serial adapter (the wired handle)
    Rfcomm = 3, ///< "rfcomm": Bluetooth RFCOMM link (the wireless handle)
};

/// One listed port: its canonical path and the kind its directory entry's
/// name gave it.
struct CandidatePort {
    std::string path;
    PortKind kind;

    bool operator==(const CandidatePort& other) const {
        return path == other.path && kind == other.kind;
    }
};

/// The kind a directory entry's file name marks: the first of "ttyACM",
/// "ttyUSB" and "rfcomm" found anywhere in it, case-sensitive; none if none.
std::optional<PortKind> KindOfName(const std::string& file_name);

/// Lists the entries of `directory` whose names mark a serial port, in the
/// directory's own order, each resolved to its canonical path. A missing
/// directory gives an empty list; every other filesystem failure (unreadable
/// directory, dangling link with a port's name) throws
/// std::filesystem::filesystem_error.
std::vector<CandidatePort> list_candidate_ports_in(const std::filesystem::path& directory);

/// The candidate ports under /dev.
std::vector<CandidatePort> list_candidate_ports();

} // namespace Torvi::HardwareAPI::Discovery
