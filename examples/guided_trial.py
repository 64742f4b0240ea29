"""One guided trial, as a training or virtual-fixture experiment runs it, on
a virtual arm: a MoveTo brings the hand to the start point and holds it
there; the hold is released with a fade; then a Line guides the hand along
the path while a Fence keeps it inside the workspace. The program plays the
user's hand with an external force: along the path with a sideways push,
which the Line resists. The loop starts softly and limits how fast its force
may change, so that no phase begins with a kick. Each phase prints what it
did and how long it took.

    python guided_trial.py [--view [PORT]]

--view serves a live 3D view of the loop at http://localhost:PORT (8080)
during the trial, and keeps it on at the end until Ctrl-C (needs the extra
"view")."""

from __future__ import annotations

import argparse
import math
import sys
import time
from collections.abc import Sequence

import numpy as np

import TorviHardwareAPI as T
from torvi.view import add_view_option, exit_status_of, view_if_asked
from torvi.virtual import VirtualDevice
from TorviHardwareAPI.haptics import Damper, Fence, HapticLoop, Line, MoveTo

RATE_HZ = 1000.0
MAX_FORCE = 5.0  # N
MAX_FORCE_RATE = 100.0  # N/s: no step of force faster than that
SOFT_START_S = 0.2  # s

# Where things are, relative to where the arm rests (m).
START = (-0.01, 0.0, 0.0)
END = (0.01, 0.0, 0.0)
WORKSPACE = 0.03  # the Fence's half size along each axis

MOVE_STIFFNESS = 300.0  # N/m
MOVE_DAMPING = 5.0  # N s/m, relative to the travelling anchor
MOVE_SPEED = 0.05  # m/s
MOVE_TIMEOUT = 5.0  # s
HOLD_S = 0.3
RELEASE_FADE_S = 0.3
LINE_STIFFNESS = 400.0  # N/m
LINE_DAMPING = 2.0  # N s/m
LINE_FADE_S = 0.1
FENCE_STIFFNESS = 800.0  # N/m
FENCE_DAMPING = 2.0  # N s/m
DAMPING = 1.0  # N s/m, everywhere: calm free motion
HAND_PUSH = (0.15, 0.2, 0.0)  # N: along the path, and sideways
GUIDE_LIMIT_S = 3.0  # s: the guided phase ends at the path's end or then


def phase(name: str, started: float, detail: str) -> float:
    """Prints one phase with its duration; returns the time it ended."""
    now = time.monotonic()
    print(f"{name:<24} {now - started:6.3f} s  {detail}")
    return now


Point = tuple[float, float, float]


def offset(point: Sequence[float], by: Sequence[float]) -> Point:
    return (point[0] + by[0], point[1] + by[1], point[2] + by[2])


def distance_mm(a: Sequence[float], b: Sequence[float]) -> float:
    return math.dist(a, b) * 1000


def off_path_mm(positions: np.typing.NDArray[np.float32], start: Point, end: Point) -> float:
    """The farthest the positions came from the segment, in mm."""
    first, along = np.asarray(start), np.subtract(end, start)
    t = np.clip((positions - first) @ along / (along @ along), 0.0, 1.0)
    nearest = first + t[:, None] * along
    return float(np.linalg.norm(positions - nearest, axis=1).max() * 1000)


def run_trial(arm: T.Armillar, view_port: int | None = None) -> None:
    rest, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    start, end = offset(rest, START), offset(rest, END)
    loop = HapticLoop(
        arm,
        rate_hz=RATE_HZ,
        max_force=MAX_FORCE,
        soft_start_s=SOFT_START_S,
        max_force_rate=MAX_FORCE_RATE,
    )
    loop.add(Damper(coefficient=DAMPING))
    with loop, view_if_asked(loop, view_port) as view:
        began = time.monotonic()
        move = loop.add(MoveTo(start, MOVE_STIFFNESS, MOVE_DAMPING, MOVE_SPEED))
        arrived = loop.wait_arrived(move, timeout=MOVE_TIMEOUT)
        gap = distance_mm(loop.state().position, start)
        began = phase("move to the start", began, f"arrived: {arrived}, {gap:.2f} mm away")

        time.sleep(HOLD_S)
        gap = distance_mm(loop.state().position, start)
        began = phase("hold", began, f"arrived: {move.arrived}, {gap:.2f} mm away")

        loop.remove(move, fade_s=RELEASE_FADE_S)
        time.sleep(RELEASE_FADE_S)
        began = phase("release", began, f"the hold faded out over {RELEASE_FADE_S} s")

        loop.samples()  # the guided phase's record starts here
        low, high = offset(rest, (-WORKSPACE,) * 3), offset(rest, (WORKSPACE,) * 3)
        loop.add(Fence(low, high, FENCE_STIFFNESS, FENCE_DAMPING))
        loop.add(Line(start, end, LINE_STIFFNESS, LINE_DAMPING), fade_s=LINE_FADE_S)
        loop.set_force(HAND_PUSH)
        deadline = began + GUIDE_LIMIT_S
        while loop.running and time.monotonic() < deadline:
            if loop.state().position[0] >= end[0] - 0.001:
                break
            time.sleep(0.01)
        loop.set_force((0.0, 0.0, 0.0))
        positions = loop.samples().position
        phase(
            "guide along the line",
            began,
            f"{distance_mm(loop.state().position, start):.1f} mm along, "
            f"at most {off_path_mm(positions, start, end):.2f} mm off the path",
        )
        if view is not None:
            print("the loop and the view stay on until Ctrl-C")
            view.wait_for_interrupt()
    if loop.error is not None:
        print(f"the loop stopped by itself: {loop.error}")


def main() -> int:
    parser = argparse.ArgumentParser(description="one guided trial on a virtual arm")
    add_view_option(parser)
    arguments = parser.parse_args()

    def trial() -> None:
        with VirtualDevice("arm") as port:
            stream = T.SerialStream(port.path)
            run_trial(T.Armillar(stream), arguments.view)

    return exit_status_of(trial)  # a view that cannot open: one line says why


if __name__ == "__main__":
    sys.exit(main())
