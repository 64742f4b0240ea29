"""What a script says about a HapticLoop once it has run (the examples use
it): why the loop stopped, if it stopped by itself, and one line of its
timing."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from TorviHardwareAPI.haptics import HapticLoop, LoopStats


def summary(stats: LoopStats) -> str:
    """Cycles, rate, the period's median and 99th percentile, overruns and
    the thread's priority, in one line."""
    priority = "real-time" if stats.realtime else "normal"
    return (
        f"{stats.cycles} cycles at {stats.rate_hz:.0f}/s, period p50 {stats.period_p50_us:.0f} µs, "
        f"p99 {stats.period_p99_us:.0f} µs, {stats.overruns} overruns, {priority} priority"
    )


def report(loop: HapticLoop, stats: LoopStats) -> None:
    """Prints the error that ended `loop`, if one did, then the summary of
    `stats` (taken while the loop ran, or after)."""
    if loop.error is not None:
        print(f"the loop stopped by itself: {loop.error}")
    print(summary(stats))
