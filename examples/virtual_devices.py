"""Starts torvi-virtual-device for the examples: an emulated arm or handle on
a pseudo-terminal, so that every example runs without hardware.

    with VirtualDevice("arm") as arm_port:
        stream = T.SerialStream(arm_port.path)

With a real device, open its port instead (see discovery.py).
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sysconfig
from types import TracebackType

PROGRAM = "torvi-virtual-device"


def find_program() -> str:
    """The program next to this interpreter's scripts, where `pip install`
    puts it (a virtual environment need not be activated), else on PATH."""
    beside = os.path.join(sysconfig.get_path("scripts"), PROGRAM)
    if os.access(beside, os.X_OK):
        return beside
    found = shutil.which(PROGRAM)
    if found is None:
        raise FileNotFoundError(f"{PROGRAM} not found: install the module with `pip install .`")
    return found


class VirtualDevice:
    """One virtual device process; `path` is the port to open. The program
    prints the path as its first line and runs until its standard input
    closes, so it also stops when this program dies."""

    def __init__(self, kind: str, *options: str) -> None:
        self.process = subprocess.Popen([find_program(), kind, *options],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.process.stdout is not None
        self.path = self.process.stdout.readline().strip()
        if not self.path:
            self.stop()
            raise RuntimeError(f"{PROGRAM} {kind} {' '.join(options)} did not start")

    def stop(self) -> None:
        if self.process.stdin is not None:
            self.process.stdin.close()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        if self.process.stdout is not None:
            self.process.stdout.close()

    def __enter__(self) -> VirtualDevice:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.stop()
