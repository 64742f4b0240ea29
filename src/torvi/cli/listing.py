"""`torvi list`: the four detections, then one row per device found."""

from __future__ import annotations

import argparse
import json
import sys
from dataclasses import asdict, dataclass
from typing import Callable, Iterator, Sequence

import TorviHardwareAPI as T

from .ports import DIALOUT_FIX, InfoCatcher, library_output_held, unreadable_ports

ARM = "arm"
WIRED_HANDLE = "wired handle"
WIRELESS_HANDLE = "wireless handle"
# A handle on a port whose name tells neither (a ttyACM port, say).
OTHER_HANDLE = "handle"

# In the order they run; a port keeps the kind of the first that found it.
DETECTIONS: Sequence[tuple[str, str, Callable[[], list[str]]]] = (
    ("arms", ARM, T.detect_armillars),
    ("wired handles", WIRED_HANDLE, T.detect_wired_handles),
    ("wireless handles", WIRELESS_HANDLE, T.detect_wireless_handles),
    ("any handles", OTHER_HANDLE, T.detect_handles),
)
COLUMNS = ("port", "kind", "device_id", "model", "hardware_version", "firmware_version")


@dataclass
class Row:
    port: str
    kind: str
    device_id: int | None = None
    model: int | None = None
    hardware_version: int | None = None
    firmware_version: int | None = None


def identify(row: Row) -> Row:
    """Fills in what the device on `row.port` says about itself. A handle that
    answers its wakeup with a status message gives its id only."""
    stream = T.SerialStream(row.port)
    if row.kind == ARM:
        device_id, model, hardware, firmware, _ = T.Armillar(stream).device_wakeup()
        row.device_id, row.model = device_id, model
        row.hardware_version, row.firmware_version = hardware, firmware
        return row
    handle = InfoCatcher(stream)
    handle.SendDeviceWakeup()
    handle.Receive()
    if handle.info is not None:
        _, row.device_id, row.model, row.hardware_version, row.firmware_version = handle.info
    elif handle.status is not None:
        row.device_id = handle.status[0]
    return row


def progress_steps(labels: Sequence[str]) -> Iterator[None]:
    """Shows on stderr, when it is a terminal, which detection runs. The
    detections hold the interpreter lock, so the display moves between them,
    not during them."""
    if not sys.stderr.isatty():
        for _ in labels:
            yield
        return
    try:
        from rich.console import Console
        from rich.progress import Progress
    except ImportError:
        for number, label in enumerate(labels, 1):
            print(f"detecting {label} ({number}/{len(labels)})...", file=sys.stderr)
            yield
        return
    with Progress(console=Console(stderr=True), transient=True) as progress:
        task = progress.add_task("detecting", total=len(labels))
        for label in labels:
            progress.update(task, description=f"detecting {label}")
            progress.refresh()
            yield
            progress.advance(task)


def detect() -> list[Row]:
    rows: list[Row] = []
    seen = set()
    steps = progress_steps([label for label, _, _ in DETECTIONS])
    for (_, kind, detection), _ in zip(DETECTIONS, steps):
        with library_output_held(fds=(1, 2)):
            found = detection()
        for port in found:
            if port not in seen:
                seen.add(port)
                rows.append(Row(port, kind))
    with library_output_held(fds=(1, 2)):
        return [identify(row) for row in rows]


def text_table(rows: list[Row]) -> str:
    cells = [list(COLUMNS)] + [
        ["-" if v is None else str(v) for v in asdict(row).values()] for row in rows
    ]
    widths = [max(len(line[i]) for line in cells) for i in range(len(COLUMNS))]
    return "\n".join(
        "  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip() for line in cells
    )


def run_list(arguments: argparse.Namespace) -> int:
    for port in unreadable_ports():
        print(f"torvi list: cannot read {port}: {DIALOUT_FIX}", file=sys.stderr)
    rows = detect()
    if arguments.json:
        print(json.dumps([asdict(row) for row in rows], indent=1))
    elif rows:
        print(text_table(rows))
    else:
        print("no devices found")
    return 0
