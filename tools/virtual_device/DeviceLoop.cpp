#include "DeviceLoop.hpp"

#include "ExitStatus.hpp"
#include "Wakeup.hpp"

namespace Torvi::VirtualDevice {

namespace {

constexpr std::size_t kReadChunk = 4096;

} // namespace

DeviceLoop::DeviceLoop(PtySession& session, DeviceModel& model, FaultInjector& faults,
                       const StreamRate& stream, int stdin_fd, int signal_fd, const Log& log)
    : session(session), model(model), faults(faults), stream(stream), stdin_fd(stdin_fd),
      signal_fd(signal_fd), log(log), framer(model) {
    if (!stream.max && stream.hz > 0.0) {
        stream_period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / stream.hz));
        if (stream_period <= Clock::duration::zero()) stream_period = Clock::duration(1);
    }
}

int DeviceLoop::Run() {
    HandleHostEvents(Clock::now());
    for (;;) {
        Clock::time_point now = Clock::now();
        ReleaseDue(now);
        if (session.HostPresent()) {
            Stream(now);
            Flush();
        }
        if (hangup_now || faults.HangupBeforeAnyRequest()) {
            log("hanging up after %s", "the requests it was to serve");
            session.HangUp();
            return ExitStatus::kStopped;
        }
        // At the 'max' rate, a writable pty is the cue for the next message.
        const bool want_write =
            session.HostPresent() && (Pending() || (stream.max && !faults.Silent()));
        const Wakeup woken = AwaitWakeup(session, signal_fd, stdin_fd, want_write, NextWake(), log);
        if (woken.exit) return *woken.exit;
        now = Clock::now();
        if (woken.host_changed) HandleHostEvents(now);
        if (woken.input && session.HostPresent()) HandleRequests(now);
    }
}

void DeviceLoop::HandleHostEvents(Clock::time_point now) {
    const PtySession::HostEvents events = session.CheckHost();
    if (events.left) {
        log("the host closed the port");
        DiscardPending();
    }
    if (events.arrived) {
        log("a host opened the port");
        next_stream = now + stream_period;
    }
}

void DeviceLoop::HandleRequests(Clock::time_point now) {
    uint8_t chunk[kReadChunk];
    const std::size_t skipped_before = framer.SkippedBytes();
    for (;;) {
        const std::size_t got = session.Read(chunk, sizeof chunk);
        if (got == 0) break;
        framer.Feed(chunk, got);
    }

    while (auto request = framer.Next()) {
        if (!session.HostPresent()) {
            log("ignored %s", Log::Hex(*request).c_str());
            continue;
        }
        // A host that sends another request has waited for the replies to
        // the ones before it, so hanging up now discards nothing it expects:
        // the hang-up does not depend on when the pty moves bytes across.
        if (faults.HangupDue()) {
            log("ignored %s", Log::Hex(*request).c_str());
            hangup_now = true;
            return;
        }
        const std::vector<Message> answer = model.Answer(*request, now);
        faults.CountExchange();
        if (log.Enabled()) {
            std::string replies;
            for (const auto& message : answer)
                replies += (replies.empty() ? "" : " | ") + Log::Hex(message.bytes);
            log("%s -> %s", Log::Hex(*request).c_str(),
                replies.empty() ? "(no reply)" : replies.c_str());
        }
        for (const auto& message : answer)
            Send(message, now + faults.ReplyDelay());
    }
    if (framer.SkippedBytes() != skipped_before) {
        log("skipped %zu bytes that open no request", framer.SkippedBytes() - skipped_before);
    }
    Flush();
}

void DeviceLoop::Send(const Message& message, Clock::time_point due) {
    std::optional<Bytes> wire = faults.Apply(message);
    if (!wire || wire->empty()) return;
    if (!scheduled.empty() || due > Clock::now()) {
        scheduled.emplace_back(due, std::move(*wire));
        return;
    }
    outbox.Add(*wire);
}

void DeviceLoop::ReleaseDue(Clock::time_point now) {
    while (!scheduled.empty() && scheduled.front().first <= now) {
        outbox.Add(scheduled.front().second);
        scheduled.pop_front();
    }
}

void DeviceLoop::Stream(Clock::time_point now) {
    if (faults.HangupDue()) return;
    if (stream.max) {
        // As fast as the pty takes them: queue another message whenever the
        // last one has gone, a bounded number per pass.
        for (int burst = 0; burst < kMaxStreamBurst && !Pending(); ++burst) {
            if (auto message = model.StreamMessage(now)) Send(*message, now);
            Flush();
        }
        return;
    }
    if (stream_period == Clock::duration::zero() || now < next_stream) return;
    // A host that does not read gets no backlog: a message that finds the
    // previous one still waiting is dropped, as on a full serial line.
    if (!Pending()) {
        if (auto message = model.StreamMessage(now)) Send(*message, now);
    }
    next_stream += stream_period;
    if (next_stream <= now) next_stream = now + stream_period;
}

void DeviceLoop::Flush() { outbox.Flush(session); }

void DeviceLoop::DiscardPending() {
    outbox.Clear();
    scheduled.clear();
    framer.Clear();
}

std::optional<Clock::time_point> DeviceLoop::NextWake() const {
    std::optional<Clock::time_point> wake;
    const auto consider = [&wake](Clock::time_point when) {
        if (!wake || when < *wake) wake = when;
    };
    if (!scheduled.empty()) consider(scheduled.front().first);
    if (session.HostPresent() && stream_period > Clock::duration::zero()) consider(next_stream);
    return wake;
}

} // namespace Torvi::VirtualDevice
