"""`torvi monitor PORT`: one device's readings, live, about 20 times a
second; optionally recorded (--csv) and charted (--plot)."""

from __future__ import annotations

import argparse
import contextlib
import csv
import os
import select
import sys
import termios
import time
import tty
from typing import IO, Callable, Dict, Iterator, List, Tuple

from .charts import label_panel, pyplot, save_figure
from .extras import missing
from .ports import Connection, connect

SAMPLE_PERIOD = 0.05  # 20 samples and refreshes a second
QUIT_KEYS = ("q", "Q")

Sample = Dict[str, float]
# Chart panels: a title with its unit, and the sample columns drawn in it.
Panels = List[Tuple[str, List[str]]]
# Columns that hold whole numbers: drawn as steps, not slopes.
STEPPED_COLUMNS = ("buttons", "hall_level")


def xyz(name: str, values: list[float]) -> Sample:
    return {f"{name}_{axis}": v for axis, v in zip("xyz", values)}


def arm_sampler(connection: Connection) -> Callable[[], Sample]:
    arm = connection.arm
    assert arm is not None

    def sample() -> Sample:
        # A zero force reads the state without acting on the arm.
        position, velocity = arm.end_effector_force([0.0, 0.0, 0.0])
        currents = arm.get_motor_currents()
        values = {**xyz("position", position), **xyz("velocity", velocity)}
        values["temperature"] = arm.get_temperature()
        values.update({f"current_{i}": c for i, c in enumerate(currents)})
        return values

    return sample


ARM_PANELS: Panels = [
    ("position (device units)", ["position_x", "position_y", "position_z"]),
    ("velocity (device units)", ["velocity_x", "velocity_y", "velocity_z"]),
    ("temperature (device units)", ["temperature"]),
    ("motor current (device units)", ["current_0", "current_1", "current_2"]),
]


def handle_sampler(connection: Connection) -> Callable[[], Sample]:
    handle = connection.handle
    assert handle is not None

    def sample() -> Sample:
        handle.RequestStatus()
        status = handle.GetQuillonetStatus()
        values = {f"q{i}": q for i, q in enumerate(status["quaternion"])}
        values["buttons"] = float(status["buttons"])
        values["hall_level"] = float(status["hall_effect_sensor_level"])
        values["battery_V"] = status["battery_level"]
        return values

    return sample


HANDLE_PANELS: Panels = [
    ("orientation (quaternion)", ["q0", "q1", "q2", "q3"]),
    ("buttons (bits)", ["buttons"]),
    ("hall-effect level (0-31)", ["hall_level"]),
    ("battery (V)", ["battery_V"]),
]


@contextlib.contextmanager
def keys_without_enter() -> Iterator[int | None]:
    """Standard input in cbreak mode while the view runs, so that q quits at
    once; None when it is not a terminal."""
    if not sys.stdin.isatty():
        yield None
        return
    fd = sys.stdin.fileno()
    saved = termios.tcgetattr(fd)
    tty.setcbreak(fd)
    try:
        yield fd
    finally:
        termios.tcsetattr(fd, termios.TCSADRAIN, saved)


def wait_for_quit(keys: int | None, seconds: float) -> bool:
    """Sleeps `seconds`; True when q was pressed meanwhile."""
    if keys is None:
        time.sleep(max(seconds, 0.0))
        return False
    if select.select([keys], [], [], max(seconds, 0.0))[0]:
        return os.read(keys, 1).decode(errors="replace") in QUIT_KEYS
    return False


class Display:
    """The live table in a terminal (rich); one plain line per sample when
    standard output is not a terminal."""

    def __init__(self, title: str) -> None:
        self.title = title
        self.live: object | None = None
        if sys.stdout.isatty():
            try:
                from rich.live import Live
            except ImportError as error:
                raise missing("rich", "the live view") from error
            self.live = Live(auto_refresh=False)

    def __enter__(self) -> Display:
        if self.live is not None:
            self.live.__enter__()  # type: ignore[attr-defined]
        return self

    def __exit__(self, *exception: object) -> None:
        if self.live is not None:
            self.live.__exit__(None, None, None)  # type: ignore[attr-defined]

    def show(self, elapsed: float, sample: Sample) -> None:
        if self.live is None:
            fields = " ".join(f"{k}={v:.6g}" for k, v in sample.items())
            print(f"{elapsed:.3f} {fields}", flush=True)
            return
        from rich.table import Table

        table = Table(title=self.title, caption=f"{elapsed:.1f} s; q or Ctrl-C quits")
        table.add_column("reading")
        table.add_column("value", justify="right")
        for key, value in sample.items():
            table.add_row(key, f"{value:.5g}")
        self.live.update(table, refresh=True)  # type: ignore[attr-defined]


def check_plotting() -> None:
    """Fails before the run, not after it, when --plot cannot be drawn."""
    try:
        import matplotlib  # noqa: F401
    except ImportError as error:
        raise missing("matplotlib", "--plot") from error


def write_plot(
    path: str, title: str, panels: Panels, times: list[float], samples: list[Sample]
) -> None:
    figure, axes = pyplot().subplots(len(panels), 1, sharex=True, figsize=(8, 2.2 * len(panels)))
    for axis, (label, columns) in zip(axes, panels):
        for column in columns:
            style = "steps-post" if column in STEPPED_COLUMNS else "default"
            axis.plot(times, [s[column] for s in samples], label=column, drawstyle=style)
        label_panel(axis, label)
        if len(columns) > 1:
            axis.legend(fontsize=8, loc="upper right")
    save_figure(figure, axes[-1], "time since start (s)", title, path)


def run_monitor(arguments: argparse.Namespace) -> int:
    if arguments.plot:
        check_plotting()
    connection = connect(arguments.port, arguments.kind)
    is_arm = connection.kind == "arm"
    sample = arm_sampler(connection) if is_arm else handle_sampler(connection)
    panels = ARM_PANELS if is_arm else HANDLE_PANELS
    title = f"{connection.kind} on {connection.port}"
    times: list[float] = []
    samples: list[Sample] = []
    # Closed in the finally below, after the live view has ended.
    record: IO[str] | None = open(arguments.csv, "w", newline="") if arguments.csv else None  # noqa: SIM115
    writer: csv.DictWriter[str] | None = None
    start = time.monotonic()
    try:
        with Display(title) as display, keys_without_enter() as keys:
            while arguments.seconds is None or time.monotonic() - start < arguments.seconds:
                due = time.monotonic() + SAMPLE_PERIOD
                values = sample()
                elapsed = time.monotonic() - start
                times.append(elapsed)
                samples.append(values)
                if record is not None:
                    if writer is None:
                        writer = csv.DictWriter(record, ["time_s", *values])
                        writer.writeheader()
                    writer.writerow({"time_s": f"{elapsed:.6f}", **values})
                display.show(elapsed, values)
                if wait_for_quit(keys, due - time.monotonic()):
                    break
    except KeyboardInterrupt:
        pass
    finally:
        if record is not None:
            record.close()
    if arguments.plot and samples:
        write_plot(arguments.plot, title, panels, times, samples)
    return 0
