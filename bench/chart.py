"""Draws the bench's results as a PNG beside latest.md: the latency of every
row, one mark per round (median and 99th percentile), and, when the results
hold native haptic-loop rows, each loop's cycle period over time.

    python bench/chart.py bench/results/latest.json bench/results/latest.png
"""

import argparse
import itertools
import json
import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt

# The key of a row that carries a loop's cycle periods, in microseconds.
PERIOD_SERIES = "period_series_us"
WIDTH_INCHES = 10
ROW_HEIGHT_INCHES = 0.42
PERIOD_PANEL_INCHES = 2.6
PERIOD_PANELS_PER_ROW = 2
# Left out of the period panels' titles, which all begin with it.
LOOP_LABEL_PREFIX = "native HapticLoop, "
DPI = 110


def period_rows(result):
    """{label: periods} of the rows that carry a period series, from the
    summary rows, else from the last round that has them."""
    found = {
        row.get("label", name): row[PERIOD_SERIES]
        for name, row in result["rows"].items()
        if row.get(PERIOD_SERIES)
    }
    if found:
        return found
    for round_ in reversed(result.get("rounds", [])):
        found = {
            result["rows"].get(name, {}).get("label", name): block[PERIOD_SERIES]
            for name, block in round_["blocks"].items()
            if block.get(PERIOD_SERIES)
        }
        if found:
            return found
    return {}


def used_rounds(result):
    """(rounds in the medians, rounds left out): the clean ones when the run
    used only those, as the runner's select_rounds chose (bench/runner.py)."""
    rounds = result.get("rounds", [])
    clean = [r for r in rounds if r.get("clean")]
    if len(clean) == result.get("rounds_used") and len(clean) < len(rounds):
        return clean, [r for r in rounds if not r.get("clean")]
    return rounds, []


def latency_rows(result, rounds):
    """[(label, [p50 per round], [p99 per round])] of the rows with latencies,
    in `rounds`, in the order of the summary rows."""
    rows = []
    for name, row in result["rows"].items():
        blocks = [r["blocks"][name] for r in rounds if name in r["blocks"]]
        p50 = [b["p50_us"] for b in blocks if b.get("p50_us")]
        p99 = [b["p99_us"] for b in blocks if b.get("p99_us")]
        rows.append((row.get("label", name), p50, p99))
    return rows


def draw_latencies(axis, rows, left_out):
    """Filled marks for the rounds in the medians, hollow grey ones for the
    rounds left out; the first row at the top."""
    top = len(rows) - 1
    for y, (_label, p50, p99) in enumerate(rows):
        axis.plot(p99, [top - y] * len(p99), "x", color="tab:red", alpha=0.7, markersize=5)
        axis.plot(p50, [top - y] * len(p50), "o", color="tab:blue", alpha=0.6, markersize=5)
    position = {label: top - y for y, (label, _, _) in enumerate(rows)}
    for label, p50, p99 in left_out:
        if label in position:
            marks = p50 + p99
            axis.plot(marks, [position[label]] * len(marks), "o", mfc="none", color="grey")
    axis.set_yticks(range(len(rows)), [label for label, _, _ in reversed(rows)], fontsize=9)
    axis.set_xscale("log")
    axis.set_xlabel("latency of one exchange (µs, log scale)")
    axis.grid(axis="x", which="both", alpha=0.3)
    axis.plot([], [], "o", color="tab:blue", label="median, one mark per round")
    axis.plot([], [], "x", color="tab:red", label="99th percentile, one mark per round")
    if any(p50 for _, p50, _ in left_out):
        axis.plot([], [], "o", mfc="none", color="grey", label="a round left out (machine busy)")
    axis.legend(fontsize=8, loc="upper right")
    axis.set_title("Latency per row", fontsize=11)


def draw_periods(axes, series):
    """One panel per loop on one period scale, so that a noisier loop does
    not hide a quieter one."""
    for index, (axis, (label, periods)) in enumerate(zip(axes, series.items())):
        elapsed_s = [t / 1e6 for t in itertools.accumulate(periods)]
        axis.plot(elapsed_s, periods, linewidth=0.7, color="tab:green")
        axis.set_xlabel("time since the loop started (s)")
        axis.set_title(label.removeprefix(LOOP_LABEL_PREFIX), fontsize=10)
        axis.grid(alpha=0.3)
        if index % PERIOD_PANELS_PER_ROW == 0:
            axis.set_ylabel("cycle period (µs)")


def chart(result, path):
    used, left_out = used_rounds(result)
    rows = [r for r in latency_rows(result, used) if r[1]]
    left_out_rows = latency_rows(result, left_out)
    series = period_rows(result)
    period_grid_rows = -(-len(series) // PERIOD_PANELS_PER_ROW)
    heights = [max(2.0, ROW_HEIGHT_INCHES * len(rows) + 1.2)]
    heights += [PERIOD_PANEL_INCHES] * period_grid_rows
    figure = plt.figure(figsize=(WIDTH_INCHES, sum(heights)))
    grid = figure.add_gridspec(len(heights), PERIOD_PANELS_PER_ROW, height_ratios=heights)
    draw_latencies(figure.add_subplot(grid[0, :]), rows, left_out_rows)
    if series:
        places = [
            grid[1 + i // PERIOD_PANELS_PER_ROW, i % PERIOD_PANELS_PER_ROW]
            for i in range(len(series))
        ]
        first = figure.add_subplot(places[0])
        others = [figure.add_subplot(place, sharey=first) for place in places[1:]]
        draw_periods([first, *others], series)
    machine = result.get("machine", {})
    figure.suptitle(
        f"Bench {result.get('when', '')} at {result.get('revision', '')}: "
        f"{machine.get('nproc', '?')} cores, Python {machine.get('python', '?')}",
        fontsize=10,
    )
    # Room at the top for the figure's title above the first panel's own.
    figure.tight_layout(rect=(0.0, 0.0, 1.0, 0.985))
    figure.savefig(path, dpi=DPI)
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", type=pathlib.Path)
    parser.add_argument("png", type=pathlib.Path)
    args = parser.parse_args()
    chart(json.loads(args.results.read_text()), args.png)
    print(f"written {args.png}")


if __name__ == "__main__":
    main()
