"""The stable-stiffness map: how stiff a wall each loop rate renders without
a buzz, with passivity off and on, against the passive bound 2 b / T.

A simulated hand (a spring and a damper on the virtual arm) presses into a
Plane at the arm's home position (normal along z, where the arm's mass and
damping are those set) or taps it (its target stroking through the
surface); the wall's stiffness is swept from a tenth of the bound to twenty
times it. A wall is stable when, from 1 s to 2 s after contact, the record's
energy does not grow by more than 0.5 mJ and, for a pressing hand, the
position's buzz (its peak-to-peak about a 20 ms moving average) stays under
0.1 mm (a tapping hand jolts at each tap, whatever the wall). For each
rate the largest stiffness that is stable, with every lower one, is set
beside the bound; for a pressed wall with passivity on the force against
penetration is held against the wall's stiffness.

Run by bench/run.sh after the guidance bench (`bash bench/run.sh
--passivity` runs this alone). Writes bench/results/passivity-latest.json,
passivity-latest.md and passivity-latest.png."""

import platform
import time

import numpy as np

import TorviHardwareAPI as T
from options import VIRTUAL_ARM_OPTIONS, options_parser, write_results
from torvi.virtual import VirtualDevice
from TorviHardwareAPI import haptics as H

RATES_HZ = (1000.0, 500.0, 250.0)
MULTIPLES = (0.1, 0.2, 0.3, 0.5, 0.7, 1.0, 1.5, 2.0, 4.0, 8.0, 20.0)
HAND = (200.0, 5.0)  # N/m, N*s/m
ARM_DAMPING = 2.6  # N*s/m: the virtual arm's default along z at home
PRESS_M = 0.005  # the pressing hand's target below the surface
TAP = "0,0,0.006,2"  # the tapping hand's stroke about 2 mm below: DX,DY,DZ (m), Hz
TAP_DEPTH_M = 0.002
RUN_S = 2.4
WINDOW_S = (1.0, 2.0)  # after contact
STILL_M = 1e-4  # a buzz under this is still
ENERGY_GROWTH_J = 5e-4
SMOOTH_S = 0.02
MAX_FORCE = 20.0


def home(program):
    with VirtualDevice("arm", program=program) as device:
        arm = T.Armillar(T.SerialStream(device.path))
        return arm.end_effector_force([0.0, 0.0, 0.0])[0]


def hand_options(surface, scenario):
    depth = PRESS_M if scenario == "press" else TAP_DEPTH_M
    target = f"{surface[0]},{surface[1]},{surface[2] - depth}"
    options = ["--hand", f"{HAND[0]},{HAND[1]}", "--hand-target", target]
    return options + (["--hand-stroke", TAP] if scenario == "tap" else [])


def record(program, surface, scenario, rate_hz, stiffness, passivity):
    with VirtualDevice("arm", *hand_options(surface, scenario), program=program) as device:
        arm = T.Armillar(T.SerialStream(device.path))
        loop = H.HapticLoop(arm, rate_hz=rate_hz, max_force=MAX_FORCE, passivity=True)
        loop.passivity = passivity
        loop.add(H.Plane(point=tuple(surface), normal=(0, 0, 1), stiffness=stiffness, damping=0.0))
        with loop:
            time.sleep(RUN_S)
        return loop.samples()


def judge(samples, surface, stiffness):
    """Buzz (m), energy growth (J) and, for a still hand, the stiffness felt
    (force over penetration) in the window after the first contact."""
    z = samples.position[:, 2].astype(np.float64)
    inside = np.flatnonzero(z < surface[2])
    since = samples.time - samples.time[inside[0] if len(inside) else 0]
    window = (since > WINDOW_S[0]) & (since < WINDOW_S[1])
    width = max(1, int(round(SMOOTH_S / np.nanmedian(samples.period_us[1:]) * 1e6)))
    trend = np.convolve(z, np.ones(width) / width, mode="same")
    buzz = float(np.ptp((z - trend)[window]))
    energy = samples.energy[window]
    depth = surface[2] - float(np.median(z[window]))
    felt = float(np.median(samples.force[window, 2])) / depth if depth > 1e-6 else float("nan")
    return buzz, float(energy[-1] - energy[0]), felt / stiffness


def sweep(program, surface, scenario, rate_hz, passivity):
    bound = H.passive_stiffness(rate_hz, ARM_DAMPING + HAND[1])
    points = []
    for multiple in MULTIPLES:
        samples = record(program, surface, scenario, rate_hz, multiple * bound, passivity)
        buzz, growth, felt = judge(samples, surface, multiple * bound)
        # A tapping hand jolts at every tap whatever the wall: there the
        # energy alone tells a wall that gives out more than it takes.
        stable = growth < ENERGY_GROWTH_J and (scenario == "tap" or buzz < STILL_M)
        points.append(
            {
                "multiple": multiple,
                "buzz_mm": buzz * 1e3,
                "energy_growth_mj": growth * 1e3,
                "felt_over_set": felt,
                "stable": stable,
            }
        )
        print(
            f"  {scenario} {rate_hz:.0f} Hz {multiple:5.2f} x bound, passivity "
            f"{'on ' if passivity else 'off'}: buzz {buzz * 1e3:.4f} mm, energy "
            f"{growth * 1e3:+.3f} mJ{'' if stable else '  (unstable)'}",
            flush=True,
        )
    largest = 0.0
    for point in points:
        if not point["stable"]:
            break
        largest = point["multiple"]
    return {"bound_n_per_m": bound, "largest_stable_multiple": largest, "points": points}


def report(results):
    lines = [
        "| rate | bound 2b/T (N/m) | scenario | largest stable, off | largest stable, on |",
        "|---|---|---|---|---|",
    ]
    for rate, scenarios in results["rates"].items():
        for scenario, sides in scenarios.items():
            off, on = sides["off"], sides["on"]
            lines.append(
                f"| {rate} Hz | {off['bound_n_per_m']:.0f} | {scenario} | "
                f"{off['largest_stable_multiple']:.2f} x | {on['largest_stable_multiple']:.2f} x |"
            )
    return "\n".join(lines)


def chart(results, out):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axis = plt.subplots(figsize=(7, 4.5))
    rates = [float(rate) for rate in results["rates"]]
    bounds = [H.passive_stiffness(rate, ARM_DAMPING + HAND[1]) for rate in rates]
    axis.plot(rates, bounds, "k--", label="bound 2 b / T")
    for scenario, marker in (("press", "o"), ("tap", "s")):
        for side, colour in (("off", "tab:red"), ("on", "tab:blue")):
            stiff = [
                results["rates"][str(int(rate))][scenario][side]["largest_stable_multiple"] * bound
                for rate, bound in zip(rates, bounds)
            ]
            axis.plot(
                rates, stiff, marker=marker, color=colour, label=f"{scenario}, passivity {side}"
            )
    axis.set_xscale("log")
    axis.set_yscale("log")
    axis.set_xlabel("loop rate (Hz)")
    axis.set_ylabel("largest stable stiffness (N/m)")
    axis.grid(alpha=0.3, which="both")
    axis.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(out, dpi=110)


def main():
    args = options_parser(__doc__, VIRTUAL_ARM_OPTIONS).parse_args()
    program = str(args.virtual_device) if args.virtual_device else None
    surface = home(program)
    results = {"machine": platform.node(), "hand": HAND, "arm_damping": ARM_DAMPING, "rates": {}}
    for rate in RATES_HZ:
        results["rates"][str(int(rate))] = {
            scenario: {
                side: sweep(program, surface, scenario, rate, side == "on")
                for side in ("off", "on")
            }
            for scenario in ("press", "tap")
        }
    text = report(results)
    write_results(args.results, "passivity", results, text)
    chart(results, args.results / "passivity-latest.png")


if __name__ == "__main__":
    main()
