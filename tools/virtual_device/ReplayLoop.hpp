#pragma once

// The event loop of a replayed session: carries the host's bytes to the
// SessionPlayer and what it plays to the host, and ends on a stop signal,
// standard input closing, a recorded hang-up, or a request that differs from
// the record (one line on standard error, exit status ExitStatus::kMismatch).

#include "Log.hpp"
#include "PtySession.hpp"
#include "SessionPlayer.hpp"

namespace Torvi::VirtualDevice {

class ReplayLoop {
public:
    ReplayLoop(PtySession& session, SessionPlayer& player, int stdin_fd, int signal_fd,
               const Log& log);

    /// Runs until the replay ends; returns the exit status.
    int Run();

private:
    void HandleHostEvents(Clock::time_point now);
    void ReadHost();
    void ReportMismatch() const;

    PtySession& session;
    SessionPlayer& player;
    int stdin_fd;
    int signal_fd;
    const Log& log;
    Outbox outbox;
};

} // namespace Torvi::VirtualDevice
