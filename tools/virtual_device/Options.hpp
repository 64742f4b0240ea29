#pragma once

// The command line of torvi-virtual-device, parsed into plain settings.

#include "ArmSettings.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Torvi::VirtualDevice {

enum class DeviceKind { Arm, Handle, Replay };

/// What the handle answers to a wakeup request.
enum class WakeupAnswer { Info, Status, Error };

/// The form of the handle's answer to a status request.
enum class StatusForm { Frame, Message };

/// The rate of the handle's own status messages.
struct StreamRate {
    double hz = 0.0;  ///< messages per second; 0 streams nothing
    bool max = false; ///< as fast as the pty takes them
    bool Off() const { return !max && hz <= 0.0; }
};

/// Faults injected into what the device sends, for tests and demonstrations.
struct FaultSettings {
    bool silent = false;                       ///< answer nothing at all
    unsigned delay_ms = 0;                     ///< answer every request this much later
    bool wrong_code = false;                   ///< replace each message's header code
    bool short_reply = false;                  ///< drop the last byte of each message
    bool garbage = false;                      ///< send noise of the same length instead
    bool bad_frame = false;                    ///< status frames that do not unstuff (handle)
    std::optional<unsigned long> hangup_after; ///< answer N requests, hang up on the next
};

struct Options {
    DeviceKind kind = DeviceKind::Arm;
    bool wireless = false;
    WakeupAnswer wakeup_answer = WakeupAnswer::Info;
    StreamRate stream;
    StatusForm status_form = StatusForm::Frame;
    FaultSettings faults;
    std::optional<uint8_t> model; ///< the model byte of the device information
    ArmSettings arm;              ///< the arm's mechanics and the hand holding it
    std::string link;             ///< a symbolic link to the slave, if not empty
    bool verbose = false;
    /// Replay: the session file to play, and how.
    std::string session_path;
    bool ignore_timing = false; ///< answer as fast as possible
    bool loop = false;          ///< start over at the end
};

struct ParseOutcome {
    enum class Action { Run, Help, Error };
    Action action = Action::Error;
    Options options;
    std::string error; ///< why the command line was refused
};

/// Parses the arguments after the program name. Refuses unknown options,
/// missing or malformed values and options that do not fit the device.
ParseOutcome ParseOptions(const std::vector<std::string>& args);

/// The --help text.
std::string UsageText();

} // namespace Torvi::VirtualDevice
