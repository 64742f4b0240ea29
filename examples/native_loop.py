"""A haptic loop on a native thread: a hand pushes the end effector along +z
into a virtual wall, with a damper for calm; halfway through, the wall is
made four times stiffer while the loop runs. The loop's thread exchanges a
force request a thousand times a second and never waits for this
interpreter; this thread only sets parameters and reads the state. Runs
against a virtual arm."""

from __future__ import annotations

import time

import TorviHardwareAPI as T
from torvi.loops import report
from torvi.virtual import virtual_arm
from TorviHardwareAPI.haptics import Damper, HapticLoop, Plane

RATE_HZ = 1000.0
MAX_FORCE = 5.0  # N: the loop never asks for more
HAND_FORCE = 1.0  # N along +z, added to the effects as an external force
WALL_DISTANCE = 0.01  # m in front of the starting position
SOFT_WALL = 300.0  # N/m
STIFF_WALL = 1200.0  # N/m
WALL_DAMPING = 2.0  # N s/m, inside the wall only
DAMPER = 0.5  # N s/m, everywhere
SECONDS_PER_WALL = 0.5
REPORT_EVERY = 0.1  # s


def run_loop(arm: T.Armillar) -> None:
    position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    wall_z = position[2] + WALL_DISTANCE
    print(f"wall at z = {wall_z:.4f} m; the hand pushes with {HAND_FORCE} N")
    with HapticLoop(arm, rate_hz=RATE_HZ, max_force=MAX_FORCE) as loop:
        # The solid is above the wall: its normal points down, into free space.
        wall = loop.add(
            Plane(
                point=(0.0, 0.0, wall_z),
                normal=(0, 0, -1),
                stiffness=SOFT_WALL,
                damping=WALL_DAMPING,
            )
        )
        loop.add(Damper(coefficient=DAMPER))
        loop.set_force((0.0, 0.0, HAND_FORCE))
        for stiffness in (SOFT_WALL, STIFF_WALL):
            wall.stiffness = stiffness
            print(f"  {wall!r}")
            end = time.monotonic() + SECONDS_PER_WALL
            while time.monotonic() < end and loop.running:
                time.sleep(REPORT_EVERY)
                state = loop.state()
                depth_mm = max(0.0, state.position[2] - wall_z) * 1000
                print(
                    f"    cycle {state.cycle:5d}  in the wall {depth_mm:5.2f} mm  "
                    f"force {state.force[2]:+.3f} N"
                )
            print(f"  balance expected at {HAND_FORCE / stiffness * 1000:.2f} mm in the wall")
        stats = loop.stats()
    report(loop, stats)


def main() -> None:
    with virtual_arm() as arm:
        run_loop(arm)


if __name__ == "__main__":
    main()
