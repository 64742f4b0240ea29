"""Arm telemetry: what an arm says about itself, then its end-effector state
while a small force pushes it along +z. Runs against a virtual arm."""

from __future__ import annotations

import time
from collections.abc import Sequence

import TorviHardwareAPI as T
from torvi.virtual import virtual_arm

PUSH = [0.0, 0.0, 0.1]  # N
SAMPLES = 5
SAMPLE_EVERY = 0.05  # s


def numbers(values: Sequence[float]) -> str:
    return "[" + ", ".join(f"{v:+.4f}" for v in values) + "]"


def show_identity(arm: T.Armillar) -> None:
    info = arm.device_wakeup_dict()
    print(
        f"device id {info['device_id']:#06x}, model {info['device_model_number']}, "
        f"hardware {info['hardware_version']}, firmware {info['firmware_version']}"
    )
    print(f"extended id      {info['device_id_ext']}")
    print(f"identifier       {arm.get_device_id()}")
    print(f"firmware version {arm.get_firmware_version()}")


def show_status(arm: T.Armillar) -> None:
    print(f"powered {arm.get_power_status()}, temperature {arm.get_temperature():.1f}")
    print(f"motor currents   {numbers(arm.get_motor_currents())} A")
    print(f"base orientation {numbers(arm.get_device_orientation())}")


def show_motion(arm: T.Armillar) -> None:
    print(f"pushing with {PUSH[2]} N along +z:")
    for sample in range(SAMPLES):
        deadline = time.monotonic() + SAMPLE_EVERY
        position, velocity = arm.end_effector_force(PUSH)
        while time.monotonic() < deadline:
            position, velocity = arm.end_effector_force(PUSH)
        print(
            f"  t={(sample + 1) * SAMPLE_EVERY:.2f} s  position {numbers(position)} m  "
            f"velocity {numbers(velocity)} m/s"
        )
    print(f"motor currents   {numbers(arm.get_motor_currents())} A while pushing")
    arm.end_effector_force([0.0, 0.0, 0.0])  # let go


def main() -> None:
    with virtual_arm() as arm:
        show_identity(arm)
        show_status(arm)
        show_motion(arm)


if __name__ == "__main__":
    main()
