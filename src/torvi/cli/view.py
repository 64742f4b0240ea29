"""`torvi view FILE`: replays a HapticLoop recording (a .csv or .parquet
file, as torvi plot reads it) in the view of torvi.view, served until
Ctrl-C: the hand's path, and the hand and force at a time chosen on the
page or played back in real time."""

from __future__ import annotations

import argparse
from pathlib import Path

from .plot import read_recording
from .ports import CommandError


def run_view(arguments: argparse.Namespace) -> int:
    path = Path(arguments.file)
    columns = read_recording(path)
    try:
        from ..view import PortInUse, Replay
    except ImportError as error:
        raise CommandError(str(error)) from None
    try:
        replay = Replay(columns, path.name, port=arguments.port)
    except (ImportError, PortInUse) as error:
        raise CommandError(str(error)) from None
    with replay:
        print(f"replaying {path} at {replay.url} (Ctrl-C to end)", flush=True)
        replay.wait_for_interrupt()
    return 0
