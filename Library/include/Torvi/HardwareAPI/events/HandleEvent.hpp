#pragma once

// What a HandleListener delivers: one event per message the handle sent,
// decoded, with the moment its last byte was read.

#include "Torvi/HardwareAPI/devices/HandleMessages.hpp"

#include <variant>

namespace Torvi::HardwareAPI::Events {

/// The decoded message of an event, one alternative per kind:
/// - HandleInfoResponse: "info", the answer to a wakeup;
/// - HandleStatusMessage: "status", the status message (sent unasked by a
///   streaming handle, or in answer to a wakeup);
/// - HandleStatus: "status_frame", the stuffed frame that answers a status
///   request written by the listener; a frame that does not unstuff carries
///   error_flag 1 and zeros, as the status reader reports it;
/// - HandleErrorResponse: "error".
using HandleMessage = std::variant<Devices::HandleInfoResponse, Devices::HandleStatusMessage,
                                   Devices::HandleStatus, Devices::HandleErrorResponse>;

struct HandleEvent {
    /// Seconds on CLOCK_MONOTONIC (the clock of Python's time.monotonic()),
    /// taken when the read that brought the message's last byte returned.
    double time = 0.0;
    HandleMessage message;
};

} // namespace Torvi::HardwareAPI::Events
