"""The native loop's rows: HapticLoop on the virtual arm, free-running and
at 1 kHz, alone and beside a busy Python thread, with and without its record;
and the targets they are held to."""

import statistics
import threading
import time

from exchange import C_BUSY, REFERENCE
from runner import WARMUP_SECONDS, BlockFailed, Row, verdict
from stats import paired_median, ratio, summarize_block
from TorviHardwareAPI.haptics import Damper, HapticLoop, Plane

NATIVE_FREE = "native_loop_free"
NATIVE_FREE_BUSY = "native_loop_free_busy"
NATIVE_1KHZ = "native_loop_1khz"
NATIVE_1KHZ_BUSY = "native_loop_1khz_busy"
NATIVE_FREE_UNRECORDED = "native_loop_free_unrecorded"
# Free-running, one Damper: against the C client in alternate rounds.
NATIVE_DAMPER = "native_loop_damper"

# The targets: free-running against the C client's exchange rate (in
# alternate rounds); beside a busy Python thread against its own figures
# alone; at 1 kHz, over one run of KILOHERTZ_RUN_SECONDS, the rate, the
# lateness of its wake-ups and its share of one core; recording every cycle
# against recording none.
MIN_NATIVE_RATE_RATIO_TO_C = 0.95
MIN_BUSY_RATE_RATIO = 0.9
MAX_BUSY_P99_RATIO = 2.0
KILOHERTZ = 1000.0
KILOHERTZ_TOLERANCE = 2.0
KILOHERTZ_RUN_SECONDS = 10.0  # the default of --kilohertz-seconds
MAX_LATENESS_P99_US = 200.0
MAX_KILOHERTZ_CPU_SHARE = 0.15
MIN_RECORDING_RATE_RATIO = 0.98

# The wall the native-loop rows render: the virtual arm rests above it, so
# the loop sends small damping forces and the arm stays where it is.
WALL = {"point": (0.0, 0.0, 0.1), "normal": (0.0, 0.0, 1.0), "stiffness": 800.0, "damping": 2.0}
WALL_DAMPING = 0.5
WALL_MAX_FORCE = 5.0


class BusyThread:
    """A Python thread doing pure-Python work, as a GUI or a simulation
    beside a haptic loop would. It keeps its own CPU time in `cpu`, so that
    the loop's share can be told apart from it."""

    def __init__(self):
        self.cpu = 0.0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._spin, daemon=True)
        self.thread.start()

    def _spin(self):
        clock = time.thread_time
        while not self.stop.is_set():
            sum(range(100))
            self.cpu = clock()

    def close(self):
        self.stop.set()
        self.thread.join()


class NativeLoopRow(Row):
    """A HapticLoop rendering a wall and a damper (or the damper alone) on
    the arm, free-running or at a fixed rate, alone or beside a busy Python
    thread. The periods are the loop's cycle periods; the CPU time is the
    loop thread's: the process's CPU time less that of this thread and of
    the busy thread. Not part of the virtual arm's service-time target: the
    loop paces the device differently from a client in a tight loop."""

    device = "arm"
    in_device_target = False
    SERIES_LENGTH = 2000

    def __init__(
        self,
        arm,
        key,
        label,
        rate_hz=None,
        busy=False,
        record=True,
        wall=True,
    ):
        self.arm = arm
        self.wall = wall  # False: the damper alone
        self.key = key
        self.label = label
        self.rate_hz = rate_hz
        self.busy = busy
        self.record = record  # False: the loop keeps no record of its cycles
        self.period_series_us = []

    def add_effects(self, loop):
        """What the loop renders: the wall (unless left out) and the damper."""
        if self.wall:
            loop.add(Plane(**WALL))
        loop.add(Damper(coefficient=WALL_DAMPING))

    def measure(self, seconds):
        busy = BusyThread() if self.busy else None
        loop = HapticLoop(
            self.arm,
            rate_hz=self.rate_hz,
            max_force=WALL_MAX_FORCE,
            **({} if self.record else {"record": 0}),
        )
        self.add_effects(loop)
        try:
            with loop:
                time.sleep(WARMUP_SECONDS)
                before = self._marks(loop, busy)
                time.sleep(seconds)
                after = self._marks(loop, busy)
                periods = loop.periods_us()
        finally:
            if busy:
                busy.close()
        if loop.error is not None:
            raise BlockFailed(f"{self.key}: the loop stopped: {loop.error}")
        cycles = after["cycles"] - before["cycles"]
        elapsed = after["wall"] - before["wall"]
        loop_cpu = (after["process"] - before["process"]) - (after["own"] - before["own"])
        loop_cpu -= after["busy"] - before["busy"]
        latest = periods[-min(cycles, len(periods)) :]
        self.period_series_us = latest[-self.SERIES_LENGTH :]
        figures = summarize_block([p * 1000.0 for p in latest], elapsed, max(loop_cpu, 0.0))
        figures["rate"] = cycles / elapsed
        figures["cpu_us"] = max(loop_cpu, 0.0) / max(cycles, 1) * 1e6
        figures["lateness_p99_us"] = after["lateness_p99_us"]
        figures["overruns"] = after["overruns"]
        figures["realtime"] = after["realtime"]
        # The final zero-force request and the warm-up's exchanges reached the
        # device too.
        figures["requests"] = after["cycles"] + 1
        return figures

    @staticmethod
    def _marks(loop, busy):
        stats = loop.stats()
        return {
            "cycles": stats.cycles,
            "lateness_p99_us": stats.lateness_p99_us,
            "overruns": stats.overruns,
            "realtime": stats.realtime,
            "wall": time.perf_counter(),
            "process": time.process_time(),
            "own": time.thread_time(),
            "busy": busy.cpu if busy else 0.0,
        }

    def summary(self, own):
        return {
            "cpu_share_of_one_core": statistics.median(b["on_cpu_share"] for b in own),
            "lateness_p99_us": statistics.median(b["lateness_p99_us"] for b in own),
            "overruns": sum(b["overruns"] for b in own),
            "realtime": all(b["realtime"] for b in own),
            # The last block's cycle periods in order, for a chart over time.
            "period_series_us": self.period_series_us,
        }


def native_loop_rows(arm):
    """The native loop's rows: free-running and at 1 kHz, each alone and
    beside a busy Python thread, all recording every cycle; free-running
    without a record, to see what recording costs (the mesh rows are
    mesh_loop.py's)."""
    rows = []
    for rate, rate_key, rate_label in ((None, "free", "free-running"), (1000.0, "1khz", "1 kHz")):
        for busy in (False, True):
            rows.append(
                NativeLoopRow(
                    arm,
                    f"native_loop_{rate_key}" + ("_busy" if busy else ""),
                    f"native HapticLoop, {rate_label}" + (", busy Python thread" if busy else ""),
                    rate_hz=rate,
                    busy=busy,
                )
            )
    rows.append(
        NativeLoopRow(
            arm,
            NATIVE_FREE_UNRECORDED,
            "native HapticLoop, free-running, record=0",
            record=False,
        )
    )
    return rows


def damper_loop_row(arm):
    """The native loop free-running with one Damper: the loop's own cost
    beside the C client's, in alternate rounds (bench/alternate.py)."""
    return NativeLoopRow(
        arm, NATIVE_DAMPER, "native HapticLoop, free-running, one Damper", wall=False
    )


def native_loop_targets(blocks, kilohertz):
    """The native loop's figures against its targets (see the constants). The
    long run's cycle periods are the 1 kHz row's period_series_us."""

    def paired(a, b, name):
        return paired_median([x[name] for x in blocks[a]], [x[name] for x in blocks[b]], ratio)

    rate_ratio = paired(NATIVE_FREE, REFERENCE, "rate")
    busy_rate_ratio = paired(NATIVE_FREE_BUSY, NATIVE_FREE, "rate")
    busy_p99_ratio = paired(NATIVE_FREE_BUSY, NATIVE_FREE, "p99_us")
    recorded_ratio = paired(NATIVE_FREE, NATIVE_FREE_UNRECORDED, "rate")
    kilohertz_cpu = kilohertz["cpu_us"] * kilohertz["rate"] / 1e6
    return {
        "free_rate_ratio_to_c": {
            "value": rate_ratio,
            "limit": MIN_NATIVE_RATE_RATIO_TO_C,
            "met": rate_ratio >= MIN_NATIVE_RATE_RATIO_TO_C,
        },
        "busy_thread": {
            "rate_ratio": busy_rate_ratio,
            "p99_ratio": busy_p99_ratio,
            "rate_limit": MIN_BUSY_RATE_RATIO,
            "p99_limit": MAX_BUSY_P99_RATIO,
            "met": busy_rate_ratio >= MIN_BUSY_RATE_RATIO and busy_p99_ratio <= MAX_BUSY_P99_RATIO,
        },
        "recording_rate_ratio": {
            "value": recorded_ratio,
            "limit": MIN_RECORDING_RATE_RATIO,
            "met": recorded_ratio >= MIN_RECORDING_RATE_RATIO,
        },
        "busy_rate_ratio_to_c_busy": paired(NATIVE_FREE_BUSY, C_BUSY, "rate"),
        "kilohertz": {
            "seconds": kilohertz["seconds"],
            "rate": kilohertz["rate"],
            "lateness_p99_us": kilohertz["lateness_p99_us"],
            "cpu_share_of_one_core": kilohertz_cpu,
            "overruns": kilohertz["overruns"],
            "realtime": kilohertz["realtime"],
            "met": abs(kilohertz["rate"] - KILOHERTZ) <= KILOHERTZ_TOLERANCE
            and kilohertz["lateness_p99_us"] < MAX_LATENESS_P99_US
            and kilohertz_cpu < MAX_KILOHERTZ_CPU_SHARE,
        },
    }


def native_loop_lines(targets):
    t = targets["native_loop"]
    free, busy, khz = t["free_rate_ratio_to_c"], t["busy_thread"], t["kilohertz"]
    recorded = t["recording_rate_ratio"]
    return [
        f"- native loop, free-running, recording ÷ not recording: rate {recorded['value']:.3f} "
        f"(target ≥ {recorded['limit']}): {verdict(recorded['met'])}",
        f"- native loop beside a busy Python thread ÷ C client beside a busy Python process: "
        f"rate {t['busy_rate_ratio_to_c_busy']:.2f}",
        f"- native loop, free-running, one Damper: rate ÷ C client {free['value']:.3f} in "
        f"alternate rounds (range {free['min']:.3f} to {free['max']:.3f}; with a wall too and "
        f"the rows seconds apart {free['in_round_value']:.3f}; target ≥ {free['limit']}): "
        f"{verdict(free['met'])}",
        f"- native loop beside a busy Python thread: rate ÷ alone {busy['rate_ratio']:.2f} "
        f"(target ≥ {busy['rate_limit']}), p99 period ÷ alone {busy['p99_ratio']:.2f} "
        f"(target ≤ {busy['p99_limit']}): {verdict(busy['met'])}",
        f"- native loop at 1 kHz for {khz['seconds']:g} s: {khz['rate']:.1f} cycles/s "
        f"(target {KILOHERTZ:.0f} ± {KILOHERTZ_TOLERANCE:.0f}), p99 lateness "
        f"{khz['lateness_p99_us']:.0f} µs (target < {MAX_LATENESS_P99_US:.0f}), "
        f"{khz['cpu_share_of_one_core']:.1%} of one core (target < "
        f"{MAX_KILOHERTZ_CPU_SHARE:.0%}), {khz['overruns']} overruns, "
        f"{'SCHED_FIFO' if khz['realtime'] else 'normal priority'}: {verdict(khz['met'])}",
    ]


def native_cpu_lines(rows, summary):
    """The loop thread's CPU time per second of loop, for each native row."""
    return [
        f"- {row.label}: the loop's thread used {summary[row.key]['cpu_share_of_one_core']:.1%} "
        f"of one core; p99 wake-up lateness {summary[row.key]['lateness_p99_us']:.0f} µs"
        for row in rows
        if isinstance(row, NativeLoopRow)
    ]
