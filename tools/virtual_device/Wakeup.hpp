#pragma once

// The one wait of a device's event loop: on the stop signals, standard input,
// the host's comings and goings and the bytes the host writes, until the
// loop's next deadline. Every loop of the program (a played device, a
// replayed session) waits through here, so they stop alike.

#include "DeviceModel.hpp"
#include "Log.hpp"
#include "PtySession.hpp"

#include <optional>

namespace Torvi::VirtualDevice {

/// What one wait saw.
struct Wakeup {
    /// Set when the loop is to end with this exit status: a stop signal or
    /// standard input closing (ExitStatus::kStopped), a failed poll
    /// (ExitStatus::kFailed).
    std::optional<int> exit;
    bool host_changed = false; ///< call PtySession::CheckHost
    bool input = false;        ///< the host wrote bytes
};

/// Waits until something happens or `wake` passes (nothing set then, as
/// after a signal that interrupted the wait). `stdin_fd` < 0 leaves
/// standard input alone; `want_write` also wakes when the pty takes bytes.
Wakeup AwaitWakeup(PtySession& session, int signal_fd, int stdin_fd, bool want_write,
                   std::optional<Clock::time_point> wake, const Log& log);

} // namespace Torvi::VirtualDevice
