#pragma once

// The device's event loop: waits on the pty, the host's comings and goings,
// the signals and standard input, answers each request as soon as it is read,
// sends delayed replies and streamed messages when due, and decides when to
// hang up and when to stop.

#include "DeviceModel.hpp"
#include "FaultInjector.hpp"
#include "Log.hpp"
#include "Options.hpp"
#include "PtySession.hpp"
#include "RequestFramer.hpp"

#include <deque>
#include <optional>
#include <utility>

namespace Torvi::VirtualDevice {

class DeviceLoop {
public:
    /// Streamed messages queued in one pass at the 'max' rate before the
    /// loop looks at requests again.
    static constexpr int kMaxStreamBurst = 64;

    /// `stdin_fd` < 0 when standard input is not watched; `signal_fd` is
    /// a signalfd of the signals that stop the device.
    DeviceLoop(PtySession& session, DeviceModel& model, FaultInjector& faults,
               const StreamRate& stream, int stdin_fd, int signal_fd, const Log& log);

    /// Runs until a stop signal, standard input closing or a hang-up;
    /// returns the exit status (0).
    int Run();

private:
    void HandleHostEvents(Clock::time_point now);
    void HandleRequests(Clock::time_point now);
    void Send(const Message& message, Clock::time_point due);
    void ReleaseDue(Clock::time_point now);
    void Stream(Clock::time_point now);
    void Flush();
    void DiscardPending();
    bool Pending() const { return outbox.Pending(); }
    std::optional<Clock::time_point> NextWake() const;

    PtySession& session;
    DeviceModel& model;
    FaultInjector& faults;
    StreamRate stream;
    int stdin_fd;
    int signal_fd;
    const Log& log;
    RequestFramer framer;

    std::deque<std::pair<Clock::time_point, Bytes>> scheduled; // delayed replies, in due order
    Outbox outbox;
    Clock::duration stream_period{};
    Clock::time_point next_stream;
    bool hangup_now = false; // a request came after the last one to serve
};

} // namespace Torvi::VirtualDevice
