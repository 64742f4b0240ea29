#include "haptics/LoopClock.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <ctime>

namespace Torvi::HardwareAPI::Haptics {

namespace {

constexpr double kNanosecondsPerMicrosecond = 1000.0;
/// A fixed-rate loop asleep until its deadline looks at the stop request at
/// least this often, so that a slow rate does not delay Stop().
constexpr Nanoseconds kLongestSleep = 10'000'000;
/// How far behind its deadlines a fixed-rate loop may fall and still make
/// the missed cycles up.
constexpr Nanoseconds kLongestCatchUp = 20'000'000;
/// The SCHED_FIFO priority of a fixed-rate loop: above every normal thread,
/// below the kernel's interrupt threads (50).
constexpr int kRealtimePriority = 40;

void SleepUntil(Nanoseconds deadline) {
    timespec until{};
    until.tv_sec = static_cast<time_t>(deadline / kNanosecondsPerSecond);
    until.tv_nsec = static_cast<long>(deadline % kNanosecondsPerSecond);
    // EINTR: a signal woke us early; the caller's loop sleeps again.
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

} // namespace

Nanoseconds MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<Nanoseconds>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

double Seconds(Nanoseconds duration) {
    return static_cast<double>(duration) / static_cast<double>(kNanosecondsPerSecond);
}

double PeriodUs(Nanoseconds previous, Nanoseconds start) {
    return previous < 0 ? -1.0 : static_cast<double>(start - previous) / kNanosecondsPerMicrosecond;
}

bool TryRealtime() {
    sched_param parameters{};
    parameters.sched_priority = kRealtimePriority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
}

Deadlines::Deadlines(const std::optional<double>& rate_hz)
    : period_(rate_hz
                  ? static_cast<Nanoseconds>(static_cast<double>(kNanosecondsPerSecond) / *rate_hz)
                  : 0),
      next_(MonotonicNow()) {}

std::optional<double> Deadlines::SleepUntilDue(const std::atomic<bool>& stop) const {
    if (period_ == 0) {
        return stop.load() ? std::nullopt : std::optional<double>(0.0);
    }
    Nanoseconds now = MonotonicNow();
    while (now < next_ && !stop.load()) {
        SleepUntil(std::min(next_, now + kLongestSleep));
        now = MonotonicNow();
    }
    if (stop.load()) {
        return std::nullopt;
    }
    return static_cast<double>(now - next_) / kNanosecondsPerMicrosecond;
}

bool Deadlines::Advance() {
    if (period_ == 0) {
        return false;
    }
    next_ += period_;
    const Nanoseconds now = MonotonicNow();
    if (now <= next_) {
        return false;
    }
    // A short delay is made up by running the late cycles at once, so that
    // the rate holds over time; after a longer one the missed ticks are
    // dropped rather than sent in a burst.
    if (now - next_ > kLongestCatchUp) {
        next_ += (now - next_) / period_ * period_;
    }
    return true;
}

} // namespace Torvi::HardwareAPI::Haptics
