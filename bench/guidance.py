"""What guidance and the gentle forces cost per cycle. Two measures in one
run: the C++ cost of each guidance effect's cycle and of the arithmetic
that a fade, the soft start and the rate limit add (torvi-bench-guidance),
and the free-running HapticLoop on one virtual arm (its cycles per second
and the process's CPU time per cycle, nearly all of it the loop thread's)
with three sets of effects, taking turns round by round: a spring and a damper (the
reference), the guidance effects (MoveTo, Line, Fence), and the same with
every effect fading in, a soft start and a rate limit, all of them working
through the whole measured second.

Run by bench/run.sh (after the mesh bench; `bash bench/run.sh --guidance`
runs this alone). Writes bench/results/guidance-latest.json and
guidance-latest.md."""

import argparse
import json
import pathlib
import platform
import statistics
import subprocess
import sys
import time

import TorviHardwareAPI as T
from options import write_results
from torvi.virtual import VirtualDevice
from TorviHardwareAPI.haptics import Damper, Fence, HapticLoop, Line, MoveTo, Spring

ROUNDS = 15
SECONDS = 0.5  # measured per row and round
WARMUP_S = 0.1
# Long enough that the fades and the soft start still ramp at the end of a
# row, and a rate limit that the forces' changes keep reaching.
NEVER_OVER_S = 1000.0
MAX_FORCE_RATE = 0.5  # N/s
MAX_FORCE = 5.0
ROWS = ("spring and damper", "MoveTo, Line, Fence", "the same, faded, soft start, rate limit")
COSTS = [
    ("spring_render_ns", "Spring (for reference)"),
    ("move_to_render_ns", "MoveTo"),
    ("line_render_ns", "Line"),
    ("fence_render_ns", "Fence"),
    ("clamp_ns", "the clamp (every cycle, for reference)"),
    ("fade_ns", "a fade or the soft start: ramp and scaling"),
    ("rate_limit_ns", "the rate limit (LimitChange)"),
    ("passivity_observe_ns", "passivity: observing (the controller not needed)"),
    ("passivity_damp_ns", "passivity: observing and damping"),
    ("record_ns", "the record: one sample written to the ring"),
]


def effects(row, rest):
    """The effects of a row, placed around the arm's resting position."""
    if row == 0:
        return [Spring(anchor=rest, stiffness=300.0), Damper(coefficient=1.0)]
    near = (rest[0] + 0.01, rest[1], rest[2])
    box = 0.03
    return [
        MoveTo(target=near, stiffness=300.0, damping=5.0, max_speed=0.05),
        Line(start=rest, end=near, stiffness=400.0, damping=2.0),
        Fence(
            minimum=tuple(c - box for c in rest),
            maximum=tuple(c + box for c in rest),
            stiffness=800.0,
            damping=2.0,
        ),
    ]


def loop_figures(arm, row, rest):
    """Cycles per second of the free-running loop over SECONDS, and the
    process's CPU microseconds per cycle (this thread only sleeps)."""
    gentle = row == 2
    loop = HapticLoop(
        arm,
        max_force=MAX_FORCE,
        soft_start_s=NEVER_OVER_S if gentle else 0.0,
        max_force_rate=MAX_FORCE_RATE if gentle else None,
    )
    for effect in effects(row, rest):
        loop.add(effect, fade_s=NEVER_OVER_S if gentle else 0.0)
    with loop:
        time.sleep(WARMUP_S)
        before, started, cpu = loop.stats().cycles, time.monotonic(), time.process_time()
        time.sleep(SECONDS)
        after, ended, cpu = loop.stats().cycles, time.monotonic(), time.process_time() - cpu
    if loop.error is not None:
        raise RuntimeError(f"the loop stopped: {loop.error}")
    return {"rate": (after - before) / (ended - started), "cpu_us": cpu * 1e6 / (after - before)}


def loop_rounds(virtual_device):
    """Each row's figures per round; the rows take turns within each round."""
    rounds = [[] for _ in ROWS]
    with VirtualDevice("arm", program=virtual_device) as device:
        arm = T.Armillar(T.SerialStream(device.path))
        rest, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        for number in range(ROUNDS):
            print(f"  round {number + 1} of {ROUNDS}", file=sys.stderr, flush=True)
            for row in range(len(ROWS)):
                rounds[row].append(loop_figures(arm, row, tuple(rest)))
    return rounds


def paired(rounds, row, figure):
    """The median over the rounds of the row's figure ÷ the first row's."""
    return statistics.median(a[figure] / b[figure] for a, b in zip(rounds[row], rounds[0]))


def report(costs, rounds):
    baseline = costs["baseline_ns"]
    lines = [
        f"Guidance bench, {platform.machine()}, Python {platform.python_version()}",
        "",
        "| per cycle | ns |",
        "|---|---:|",
        *[f"| {label} | {costs[key] - baseline:.1f} |" for key, label in COSTS],
        "",
        f"(timed in C++ as the loop's thread runs it, net of the harness's own "
        f"{baseline:.1f} ns per call)",
        "",
        f"| free-running HapticLoop on the virtual arm, {ROUNDS} rounds of {SECONDS} s "
        "| cycles/s | ÷ first row | CPU µs/cycle | ÷ first row |",
        "|---|---:|---:|---:|---:|",
    ]
    for row, label in enumerate(ROWS):
        rate = statistics.median(r["rate"] for r in rounds[row])
        cpu = statistics.median(r["cpu_us"] for r in rounds[row])
        lines.append(
            f"| {label} | {rate:,.0f} | {paired(rounds, row, 'rate'):.3f} | {cpu:.2f} "
            f"| {paired(rounds, row, 'cpu_us'):.3f} |"
        )
    lowest = min(r["rate"] for row in rounds for r in row)
    highest = max(r["rate"] for row in rounds for r in row)
    lines += [
        "",
        f"(medians over the rounds; a ratio is the median of the rounds' own ratios; "
        f"the rounds' rates spread from {lowest:,.0f} to {highest:,.0f} cycles/s)",
    ]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", required=True, help="the torvi-bench-guidance program")
    parser.add_argument("--virtual-device", required=True, help="the torvi-virtual-device program")
    parser.add_argument(
        "--results", type=pathlib.Path, default=pathlib.Path(__file__).resolve().parent / "results"
    )
    args = parser.parse_args()
    done = subprocess.run([args.program], capture_output=True, text=True, timeout=120, check=True)
    costs = json.loads(done.stdout)
    rounds = loop_rounds(args.virtual_device)
    text = report(costs, rounds)
    results = {"costs_ns": costs, "rows": list(ROWS), "rounds": rounds}
    write_results(args.results, "guidance", results, text)


if __name__ == "__main__":
    main()
