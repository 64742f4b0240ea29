#include "ReplayLoop.hpp"

#include "ExitStatus.hpp"
#include "Wakeup.hpp"

#include <cstdio>

namespace Torvi::VirtualDevice {

namespace {
constexpr std::size_t kReadChunk = 4096;
} // namespace

ReplayLoop::ReplayLoop(PtySession& session, SessionPlayer& player, int stdin_fd, int signal_fd,
                       const Log& log)
    : session(session), player(player), stdin_fd(stdin_fd), signal_fd(signal_fd), log(log) {}

int ReplayLoop::Run() {
    HandleHostEvents(Clock::now());
    for (;;) {
        const bool host = session.HostPresent();
        // What is played waits until the pty has taken what went before, as
        // on a line that sends no faster than the host reads.
        if (host && !outbox.Pending()) {
            Bytes out;
            const SessionPlayer::Outcome outcome = player.Play(Clock::now(), out);
            outbox.Add(out);
            if (outcome == SessionPlayer::Outcome::Mismatch) {
                ReportMismatch();
                return ExitStatus::kMismatch;
            }
            if (outcome == SessionPlayer::Outcome::HangUp) {
                outbox.Flush(session);
                log("hanging up, as the recorded device did");
                session.HangUp();
                return ExitStatus::kStopped;
            }
        }
        if (host) outbox.Flush(session);
        const bool waiting = host && outbox.Pending();
        const auto wake = host && !waiting ? player.NextDue() : std::nullopt;
        const Wakeup woken = AwaitWakeup(session, signal_fd, stdin_fd, waiting, wake, log);
        if (woken.exit) return *woken.exit;
        if (woken.host_changed) HandleHostEvents(Clock::now());
        if (woken.input && session.HostPresent()) ReadHost();
    }
}

void ReplayLoop::HandleHostEvents(Clock::time_point now) {
    const PtySession::HostEvents events = session.CheckHost();
    if (events.left) {
        log("the host closed the port");
        outbox.Clear();
    }
    if (events.arrived) {
        log("a host opened the port; playing on");
        player.Begin(now);
    }
}

void ReplayLoop::ReadHost() {
    uint8_t chunk[kReadChunk];
    for (;;) {
        const std::size_t got = session.Read(chunk, sizeof chunk);
        if (got == 0) break;
        log("host sent %s", Log::Hex(chunk, got).c_str());
        player.Received(chunk, got);
    }
}

void ReplayLoop::ReportMismatch() const {
    const SessionPlayer::Mismatch& mismatch = player.LastMismatch();
    const std::string expected =
        mismatch.expected.empty() ? "the end of the session" : Log::Hex(mismatch.expected, true);
    std::fprintf(stderr, "torvi-virtual-device: %s:%zu: expected %s, received %s\n",
                 player.Played().name.c_str(), mismatch.line, expected.c_str(),
                 Log::Hex(mismatch.received, true).c_str());
    std::fflush(stderr);
}

} // namespace Torvi::VirtualDevice
