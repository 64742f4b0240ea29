"""Host versus device kinematics. get_end_effector_position(True) returns the
position the arm computes; with False the host reads the raw joint angles
and computes it with its own model (link lengths, gear ratios, angle offsets,
base orientation), which adjust_lengths and friends change. The model is
shared by every Armillar of the process. Runs against a virtual arm."""

from __future__ import annotations

from collections.abc import Sequence

import TorviHardwareAPI as T
from torvi.virtual import virtual_arm

POSES = [[0.0, -45.0, 45.0], [20.0, -30.0, 60.0], [-25.0, -60.0, 30.0]]  # degrees
SETTLE_TURNS = 3000  # joint-angle requests per pose; the virtual arm settles in ~2000
LONGER_INNER_ARM = 0.15  # m; the default is 0.14


def millimetres(values: Sequence[float]) -> str:
    return "[" + ", ".join(f"{v * 1000:+8.3f}" for v in values) + "]"


def distance(a: Sequence[float], b: Sequence[float]) -> float:
    return float(sum((x - y) ** 2 for x, y in zip(a, b)) ** 0.5)


def move_to(arm: T.Armillar, pose: Sequence[float]) -> list[float]:
    """Commands the joint angles until the arm is there; the raw angles read."""
    angles: list[float] = []
    for _ in range(SETTLE_TURNS):
        angles, _ = arm.joint_angles(pose)
    return angles


def compare(arm: T.Armillar) -> None:
    on_device, _ = arm.get_end_effector_position(True)
    on_host, _ = arm.get_end_effector_position(False)
    print(f"  device {millimetres(on_device)} mm")
    print(
        f"  host   {millimetres(on_host)} mm  ({distance(on_device, on_host) * 1000:.3f} mm apart)"
    )


def main() -> None:
    with virtual_arm() as arm:
        for pose in POSES:
            angles = move_to(arm, pose)
            print("joints at", ", ".join(f"{a:+.1f}" for a in angles), "degrees:")
            compare(arm)

        print(
            f"host model with a {LONGER_INNER_ARM * 1000:.0f} mm first inner arm "
            "(the arm keeps its own):"
        )
        arm.adjust_lengths(inner_arm_1=LONGER_INNER_ARM)
        compare(arm)
        arm.adjust_lengths()  # back to the default lengths
        arm.end_effector_force([0.0, 0.0, 0.0])


if __name__ == "__main__":
    main()
