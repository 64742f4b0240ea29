"""A wall rendered at 1 kHz for three seconds on a virtual arm, every cycle
recorded to a CSV file while it runs, then read back with numpy and
summarised: how many cycles, how deep the hand went into the wall, the
largest force sent and the cycles' periods.

    python record_session.py [FILE.csv]        (default: session.csv)

`torvi plot FILE.csv` charts the file afterwards.
"""

from __future__ import annotations

import sys
import time

import numpy as np

import TorviHardwareAPI as T
from torvi.recording import Recorder
from torvi.virtual import virtual_arm
from TorviHardwareAPI.haptics import HapticLoop, Plane

WALL_DISTANCE = 0.005  # m in front of where the hand starts
SECONDS = 3.0


def record(arm: T.Armillar, path: str) -> Recorder:
    position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    wall_z = position[2] + WALL_DISTANCE
    loop = HapticLoop(arm, rate_hz=1000.0, max_force=5.0)
    loop.add(Plane(point=(0.0, 0.0, wall_z), normal=(0.0, 0.0, -1.0), stiffness=800.0, damping=2.0))
    loop.set_force((0.0, 0.0, 1.0))  # the hand pushes into the wall
    # The recorder around the loop's run keeps the loop's last cycles too.
    with Recorder(loop, path) as recorder, loop:
        time.sleep(SECONDS)
    print(f"recorded {recorder.written} cycles to {path}, {recorder.dropped} dropped")
    return recorder


def summarise(path: str) -> None:
    data = np.genfromtxt(path, delimiter=",", names=True)
    seconds = data["time"][-1] - data["time"][0]
    periods = data["period_us"][~np.isnan(data["period_us"])]
    sent = np.sqrt(data["force_x"] ** 2 + data["force_y"] ** 2 + data["force_z"] ** 2)
    travel = data["position_z"].max() - data["position_z"][0]
    print(f"  {len(data)} cycles in {seconds:.2f} s: {(len(data) - 1) / seconds:.1f} cycles/s")
    print(f"  the hand moved {travel * 1000:.2f} mm along z; largest force sent {sent.max():.2f}")
    p50, p99 = np.percentile(periods, [50, 99])
    print(f"  period p50 {p50:.0f} µs, p99 {p99:.0f} µs, longest {periods.max():.0f} µs")


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else "session.csv"
    with virtual_arm() as arm:
        record(arm, path)
    summarise(path)


if __name__ == "__main__":
    main()
