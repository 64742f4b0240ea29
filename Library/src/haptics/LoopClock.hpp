#pragma once

// The servo loop's clock: monotonic nanoseconds, the deadlines of a
// fixed-rate loop (sleep, then catch up or drop missed cycles) and the
// real-time priority of the loop's thread. Nothing here allocates or throws.

#include <atomic>
#include <cstdint>
#include <optional>

namespace Torvi::HardwareAPI::Haptics {

/// Monotonic time and durations, nanoseconds.
using Nanoseconds = std::int64_t;

constexpr Nanoseconds kNanosecondsPerSecond = 1'000'000'000;

/// The longest fade or wait measured in clock time, about 70 years: what is
/// longer is taken as that (a fade) or as no limit (a wait), so that no time
/// overflows the clock's nanoseconds.
constexpr double kLongestSeconds = 2.2e9;

/// CLOCK_MONOTONIC now.
Nanoseconds MonotonicNow();

/// `duration` in seconds.
double Seconds(Nanoseconds duration);

/// Microseconds from `previous` to `start`; -1 when there was no previous
/// cycle (`previous` < 0).
double PeriodUs(Nanoseconds previous, Nanoseconds start);

/// True when the calling thread now runs under SCHED_FIFO; false (and the
/// thread unchanged) when the process may not have it.
bool TryRealtime();

/// The deadlines of a fixed-rate loop, one period apart; a free-running
/// loop has none and never waits.
class Deadlines {
public:
    /// `rate_hz` empty: free-running. The first deadline is now.
    explicit Deadlines(const std::optional<double>& rate_hz);

    /// Sleeps until the next deadline, looking at `stop` at least every
    /// 10 ms. How late it woke, in microseconds, or nothing when `stop` was
    /// raised.
    std::optional<double> SleepUntilDue(const std::atomic<bool>& stop) const;

    /// Moves on to the next deadline once a cycle is done; true when the
    /// cycle ended past it (an overrun). A loop less than 20 ms behind makes
    /// the missed cycles up at once; further behind, they are dropped.
    bool Advance();

private:
    Nanoseconds period_;
    Nanoseconds next_;
};

} // namespace Torvi::HardwareAPI::Haptics
