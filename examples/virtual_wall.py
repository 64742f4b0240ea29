"""A haptic loop: a hand pushes the end effector along +z into a virtual wall
that pushes back like a damped spring. One force request per loop turn; each
reply carries the position and velocity the next force is computed from.
Runs against a virtual arm."""

from __future__ import annotations

import time

import TorviHardwareAPI as T
from torvi.virtual import virtual_arm

SECONDS = 0.3
REPORT_EVERY = 0.03  # s
HAND_FORCE = 1.0  # N along +z
WALL_DISTANCE = 0.01  # m in front of the starting position
STIFFNESS = 300.0  # N/m
DAMPING = 5.0  # N s/m, inside the wall only


def wall_force(z: float, vz: float, wall: float) -> float:
    """The hand's push, less the wall's reaction once the end effector is in."""
    depth = z - wall
    if depth <= 0.0:
        return HAND_FORCE
    return HAND_FORCE - STIFFNESS * depth - DAMPING * vz


def run_loop(arm: T.Armillar) -> None:
    position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    wall = position[2] + WALL_DISTANCE
    print(f"wall at z = {wall:.4f} m; the hand pushes with {HAND_FORCE} N")
    force = [0.0, 0.0, HAND_FORCE]
    turns = 0
    start = time.monotonic()
    next_report = start + REPORT_EVERY
    while True:
        position, velocity = arm.end_effector_force(force)
        force[2] = wall_force(position[2], velocity[2], wall)
        turns += 1
        now = time.monotonic()
        if now >= next_report:
            print(
                f"  t={now - start:4.2f} s  z={position[2]:.4f} m  "
                f"in the wall {max(0.0, position[2] - wall) * 1000:5.2f} mm  "
                f"force {force[2]:+.3f} N"
            )
            next_report += REPORT_EVERY
            if now - start >= SECONDS:
                break
    arm.end_effector_force([0.0, 0.0, 0.0])  # let go
    print(
        f"{turns} loop turns, {turns / (now - start):.0f} per second; the spring balances the "
        f"hand at {HAND_FORCE / STIFFNESS * 1000:.2f} mm in the wall"
    )


def main() -> None:
    with virtual_arm() as arm:
        run_loop(arm)


if __name__ == "__main__":
    main()
