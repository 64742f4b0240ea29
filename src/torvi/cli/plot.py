"""`torvi plot FILE`: charts a HapticLoop recording (a .csv or .parquet file
that torvi.recording.Recorder or Samples.to_csv wrote): the hand's position,
each axis about where it started (so that a millimetre shows), the force
requested and the force sent, and each cycle's period with the cycles that
overran marked, over time; for a loop made with passivity also the
observer's energy and the damping added."""

from __future__ import annotations

import argparse
import csv
import math
import statistics
from pathlib import Path
from typing import Any, Dict, List

from .charts import LABEL_FONT_SIZE, label_panel, pyplot, save_figure
from .extras import missing
from .ports import CommandError

Columns = Dict[str, List[float]]

AXES = ("x", "y", "z")
COLOURS = ("tab:red", "tab:green", "tab:blue")
NEEDED = (
    "time",
    "period_us",
    *(f"{vector}_{axis}" for vector in ("position", "requested", "force") for axis in AXES),
)
# The columns of a loop made with passivity, drawn in a panel of their own.
PASSIVITY = ("energy", "passivity_damping")
MM_PER_M = 1000.0
# A cycle overran when its period is this many times the median period (a
# fixed-rate loop's period, or a free-running one's usual exchange).
OVERRUN_FACTOR = 1.5
OVERRUN_COLOUR = "tab:red"


def read_csv(path: Path) -> Columns:
    with open(path, newline="") as file:
        reader = csv.DictReader(file)
        columns: Columns = {name: [] for name in reader.fieldnames or ()}
        for row in reader:
            for name, value in row.items():
                columns[name].append(float(value))
    return columns


def read_parquet(path: Path) -> Columns:
    # Also what an unfinished recording (its process killed) left.
    from ..recording import read_parquet as read_table

    try:
        table = read_table(path)
    except ImportError as error:
        raise CommandError(str(error)) from error
    return {name: [float(v) for v in table.column(name).to_pylist()] for name in table.column_names}


def read_recording(path: Path) -> Columns:
    """The recording's columns; CommandError when it cannot be read or is
    not a recording."""
    readers = {".csv": read_csv, ".parquet": read_parquet}
    reader = readers.get(path.suffix.lower())
    if reader is None:
        raise CommandError(f"{path}: a recording ends in .csv or .parquet")
    try:
        columns = reader(path)
    except (OSError, ValueError) as error:
        raise CommandError(f"cannot read {path}: {error}") from error
    absent = [name for name in NEEDED if name not in columns]
    if absent:
        raise CommandError(f"{path} is not a HapticLoop recording (no column {absent[0]})")
    if not columns["time"]:
        raise CommandError(f"{path} holds no samples")
    return columns


def draw_passivity(axis: Any, times: list[float], columns: Columns) -> None:
    """The passivity observer's energy, and on its own scale the damping its
    controller added, in the record of a loop made with passivity."""
    axis.plot(times, columns["energy"], color="black", linewidth=0.8, label="energy")
    label_panel(axis, "energy (J)")
    damping = axis.twinx()
    damping.plot(times, columns["passivity_damping"], color="tab:orange", linewidth=0.6)
    damping.set_ylabel("damping added (N·s/m)", fontsize=LABEL_FONT_SIZE, color="tab:orange")


def overran(periods: list[float]) -> list[int]:
    """The indices of the cycles whose period is OVERRUN_FACTOR times the
    median one or more (the first cycle's NaN is none)."""
    known = [p for p in periods if not math.isnan(p)]
    if not known:
        return []
    limit = OVERRUN_FACTOR * statistics.median(known)
    return [i for i, p in enumerate(periods) if p >= limit]


def draw_positions(axis: Any, times: list[float], columns: Columns) -> None:
    """Each axis of the position about its first value, in millimetres."""
    for name, colour in zip(AXES, COLOURS):
        values = columns[f"position_{name}"]
        start = values[0]
        offsets = [(v - start) * MM_PER_M for v in values]
        axis.plot(times, offsets, color=colour, label=f"{name} (from {start:+.4f} m)")
    label_panel(axis, "position from start (mm)")


def draw_periods(axis: Any, times: list[float], periods: list[float]) -> None:
    # A first cycle has no period (NaN): matplotlib leaves it out.
    axis.plot(times, periods, color="black", linewidth=0.6)
    late = overran(periods)
    if late:
        axis.scatter(
            [times[i] for i in late],
            [periods[i] for i in late],
            color=OVERRUN_COLOUR,
            s=8,
            zorder=3,
            label=f"{len(late)} cycles overran (≥ {OVERRUN_FACTOR} times the median period)",
        )
        axis.legend(fontsize=7, loc="upper right")
    label_panel(axis, "period (µs)")


def draw(columns: Columns, title: str, out: Path) -> None:
    start = columns["time"][0]
    times = [t - start for t in columns["time"]]
    passivity = PASSIVITY[0] in columns
    figure, panels = pyplot().subplots(
        4 if passivity else 3, 1, sharex=True, figsize=(9, 9 if passivity else 7)
    )
    position, force, period = panels[:3]
    draw_positions(position, times, columns)
    for axis, colour in zip(AXES, COLOURS):
        force.plot(
            times,
            columns[f"requested_{axis}"],
            color=colour,
            linestyle="--",
            alpha=0.6,
            label=f"requested {axis}",
        )
        force.plot(times, columns[f"force_{axis}"], color=colour, label=f"sent {axis}")
    draw_periods(period, times, columns["period_us"])
    label_panel(force, "force (device units)")
    if passivity:
        draw_passivity(panels[3], times, columns)
    position.legend(fontsize=8, loc="upper right")
    force.legend(fontsize=7, loc="upper right", ncol=2)
    save_figure(figure, panels[-1], "time since the first sample (s)", title, out)


def run_plot(arguments: argparse.Namespace) -> int:
    try:
        import matplotlib  # noqa: F401
    except ImportError as error:
        raise missing("matplotlib", "plotting") from error
    path = Path(arguments.file)
    columns = read_recording(path)
    out = Path(arguments.out) if arguments.out else path.with_suffix(".png")
    times = columns["time"]
    seconds = times[-1] - times[0]
    rate = f", {(len(times) - 1) / seconds:.0f} cycles/s" if seconds > 0 else ""
    periods = [p for p in columns["period_us"] if not math.isnan(p)]
    worst = f", longest period {max(periods):.0f} µs" if periods else ""
    draw(columns, f"{path.name}: {len(times)} cycles{rate}{worst}", out)
    print(f"wrote {out}")
    return 0
