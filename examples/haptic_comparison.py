"""The same virtual wall rendered four ways, about a second each: a Python
loop and a native HapticLoop, each alone and beside a busy Python thread.
Prints exchanges per second and the 99th-percentile period of each (and for
the native loop the cycles its record kept and lost), and can draw
penetration and force over time for the Python and the native loop alone
(with matplotlib, when it is installed): the Python loop's from its own
trace, the native loop's from every cycle of its record (needs numpy).

A Python loop releases the interpreter lock for every exchange and must win
it back before the next one: beside a busy thread that takes a whole switch
interval (5 ms). The native loop's thread never asks for the lock.

    from haptic_comparison import compare
    compare(arm, plot_path="wall.png")
"""

from __future__ import annotations

import statistics
import sys
import threading
import time
from dataclasses import dataclass, field

import TorviHardwareAPI as T
from torvi.virtual import VirtualDevice
from TorviHardwareAPI.haptics import HapticLoop, Plane

HAND_FORCE = 1.0  # N along +z
WALL_DISTANCE = 0.005  # m in front of where the arm starts
WALL_STIFFNESS = 800.0  # N/m
WALL_DAMPING = 2.0  # N s/m
MAX_FORCE = 5.0  # N
SECONDS = 1.0
DRAIN_EVERY = 0.1  # s between two takes of the native loop's record
P99 = 99


@dataclass
class Rendering:
    """One rendering of the wall: its exchanges, periods and a trace of
    (seconds since the start, penetration in m, force along z in N)."""

    label: str
    exchanges: int = 0
    seconds: float = 0.0
    periods_us: list[float] = field(default_factory=list)
    trace: list[tuple[float, float, float]] = field(default_factory=list)
    # The native loop's record: cycles taken from it, and cycles it lost.
    recorded: int = 0
    dropped: int = 0

    @property
    def rate(self) -> float:
        return self.exchanges / self.seconds if self.seconds else 0.0

    @property
    def p99_us(self) -> float:
        if len(self.periods_us) < 2:
            return 0.0
        return statistics.quantiles(self.periods_us, n=100)[P99 - 1]


class BusyThread:
    """Pure-Python work on another thread, as a GUI or a simulation would do."""

    def __init__(self) -> None:
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._spin, daemon=True)

    def _spin(self) -> None:
        while not self._stop.is_set():
            sum(range(100))

    def __enter__(self) -> BusyThread:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()


def python_wall_force(z: float, vz: float, wall_z: float) -> float:
    """The hand's push less the wall's reaction: the same law as the native
    Plane with its normal along -z, which never pulls."""
    depth = z - wall_z
    if depth <= 0.0:
        return HAND_FORCE
    return HAND_FORCE - max(0.0, WALL_STIFFNESS * depth - WALL_DAMPING * -vz)


def render_in_python(arm: T.Armillar, wall_z: float, label: str, seconds: float) -> Rendering:
    result = Rendering(label)
    force = [0.0, 0.0, HAND_FORCE]
    clock = time.perf_counter
    start = previous = clock()
    while True:
        position, velocity = arm.end_effector_force(force)
        force[2] = python_wall_force(position[2], velocity[2], wall_z)
        now = clock()
        result.periods_us.append((now - previous) * 1e6)
        result.trace.append((now - start, max(0.0, position[2] - wall_z), force[2]))
        previous = now
        result.exchanges += 1
        if now - start >= seconds:
            break
    result.seconds = now - start
    arm.end_effector_force([0.0, 0.0, 0.0])
    return result


def render_natively(arm: T.Armillar, wall_z: float, label: str, seconds: float) -> Rendering:
    result = Rendering(label)
    with HapticLoop(arm, rate_hz=None, max_force=MAX_FORCE) as loop:
        loop.add(
            Plane(
                point=(0.0, 0.0, wall_z),
                normal=(0.0, 0.0, -1.0),
                stiffness=WALL_STIFFNESS,
                damping=WALL_DAMPING,
            )
        )
        loop.set_force((0.0, 0.0, HAND_FORCE))
        start = time.monotonic()
        batches = []
        while time.monotonic() - start < seconds and loop.running:
            time.sleep(DRAIN_EVERY)
            batches.append(loop.samples())
        stats = loop.stats()
        result.seconds = time.monotonic() - start
        result.periods_us = loop.periods_us()
    if loop.error is not None:
        raise RuntimeError(f"the native loop stopped: {loop.error}")
    batches.append(loop.samples())  # the last cycles, the stop's zero force among them
    result.exchanges = stats.cycles
    for samples in batches:
        result.recorded += len(samples)
        result.dropped += samples.dropped
        depths = (samples.position[:, 2] - wall_z).clip(min=0.0)
        result.trace.extend(
            zip((samples.time - start).tolist(), depths.tolist(), samples.force[:, 2].tolist())
        )
    return result


def plot(renderings: list[Rendering], path: str) -> None:
    """Penetration and force over time, one column per rendering."""
    try:
        import matplotlib  # type: ignore[import-not-found, unused-ignore]

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        print(f"matplotlib is not installed: `pip install matplotlib` to draw {path}")
        return
    figure, axes = plt.subplots(2, len(renderings), sharex=True, figsize=(10, 6), squeeze=False)
    for column, rendering in enumerate(renderings):
        times = [t for t, _, _ in rendering.trace if t >= 0.0]
        depths = [d * 1000 for t, d, _ in rendering.trace if t >= 0.0]
        forces = [f for t, _, f in rendering.trace if t >= 0.0]
        axes[0][column].plot(times, depths)
        axes[0][column].set_title(rendering.label)
        axes[0][column].set_ylabel("penetration (mm)")
        axes[1][column].plot(times, forces)
        axes[1][column].set_ylabel("force along z (N)")
        axes[1][column].set_xlabel("time (s)")
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)
    print(f"penetration and force written to {path}")


def compare(
    arm: T.Armillar, seconds: float = SECONDS, plot_path: str | None = None
) -> list[Rendering]:
    """Renders the wall four times on `arm`, prints a line for each, and
    writes the plot to `plot_path` when one is given. Returns the four."""
    print(
        f"the same wall four times, {seconds:.1f} s each, {WALL_DISTANCE * 1000:.0f} mm in "
        f"front of the hand (hand {HAND_FORCE} N into it):"
    )
    renderings = []
    for label, render, busy in (
        ("Python loop", render_in_python, False),
        ("Python loop, busy thread", render_in_python, True),
        ("HapticLoop", render_natively, False),
        ("HapticLoop, busy thread", render_natively, True),
    ):
        # Each rendering starts the same way: the wall a few millimetres in
        # front of wherever the last one left the hand.
        position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        wall_z = position[2] + WALL_DISTANCE
        if busy:
            with BusyThread():
                rendering = render(arm, wall_z, label, seconds)
        else:
            rendering = render(arm, wall_z, label, seconds)
        renderings.append(rendering)
        recorded = (
            f"   recorded {rendering.recorded:,}, dropped {rendering.dropped:,}"
            if render is render_natively
            else ""
        )
        print(
            f"  {label:26s} {rendering.rate:9,.0f} exchanges/s   "
            f"p99 period {rendering.p99_us:9,.0f} µs{recorded}"
        )
        # Let the arm come back out of the wall before the next rendering.
        arm.end_effector_force([0.0, 0.0, 0.0])
        time.sleep(0.2)
    if plot_path is not None:
        plot([renderings[0], renderings[2]], plot_path)
    return renderings


def main() -> None:
    with VirtualDevice("arm") as port:
        compare(
            T.Armillar(T.SerialStream(port.path)),
            plot_path=sys.argv[1] if len(sys.argv) > 1 else None,
        )


if __name__ == "__main__":
    main()
