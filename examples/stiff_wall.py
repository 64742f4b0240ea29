"""A stiff wall with and without passivity: a simulated hand on the virtual
arm presses 5 mm into a wall as stiff as the passive bound 2 b / T (b the
arm's damping plus the hand's), at 500 Hz. The loop's force acts a cycle
after the reply it was computed from, so such a wall buzzes without help;
with passivity the loop damps out what the wall gives back beyond what it
took, and the wall holds the hand still. `--plot` draws both records."""

from __future__ import annotations

import argparse
import tempfile
import time
from pathlib import Path

import numpy as np

from torvi.virtual import virtual_arm
from TorviHardwareAPI import haptics as H

RATE_HZ = 500.0
HAND = (200.0, 5.0)  # the simulated hand: N/m, N*s/m
ARM_DAMPING = 2.6  # N*s/m: the virtual arm's along z at its home position
PRESS = 0.005  # m: the hand's target below the wall's surface
SECONDS = 2.5


def home() -> tuple[float, ...]:
    with virtual_arm() as arm:
        return tuple(arm.end_effector_force([0.0, 0.0, 0.0])[0])


def press(surface: tuple[float, ...], passivity: bool) -> H.Samples:
    """The record of the hand pressing into the wall at `surface`."""
    target = f"{surface[0]},{surface[1]},{surface[2] - PRESS}"
    hand = f"{HAND[0]},{HAND[1]}"
    with virtual_arm("--hand", hand, "--hand-target", target) as arm:
        loop = H.HapticLoop(arm, rate_hz=RATE_HZ, max_force=20.0, passivity=True)
        loop.passivity = passivity  # recorded either way: the energy shows what the wall gives
        stiffness = H.passive_stiffness(RATE_HZ, ARM_DAMPING + HAND[1])
        loop.add(H.Plane(point=surface, normal=(0, 0, 1), stiffness=stiffness, damping=0.0))
        with loop:
            time.sleep(SECONDS)
        stats = loop.stats()
        samples = loop.samples()
    since = samples.time - samples.time[0]
    settled = (since > 1.0) & (since < 2.0)
    swing_mm = float(np.ptp(samples.position[settled, 2])) * 1000
    print(
        f"passivity {'on ' if passivity else 'off'}: wall {stiffness:.0f} N/m, "
        f"{swing_mm:.3f} mm peak to peak a second after contact, "
        f"energy given out {samples.energy[-1] * 1000:+.2f} mJ, "
        f"damped out {stats.passivity_dissipated_j * 1000:.2f} mJ "
        f"in {stats.passivity_cycles} cycles"
    )
    return samples


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", action="store_true", help="chart both records (matplotlib)")
    arguments = parser.parse_args()
    surface = home()
    records = {on: press(surface, on) for on in (False, True)}
    if arguments.plot:
        from torvi.cli import main as torvi

        folder = Path(tempfile.mkdtemp(prefix="stiff-wall-"))
        for on, samples in records.items():
            path = folder / f"passivity-{'on' if on else 'off'}.csv"
            samples.to_csv(path)
            torvi(["plot", str(path)])


if __name__ == "__main__":
    main()
