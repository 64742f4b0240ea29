"""Starts torvi-virtual-device: an emulated arm or handle on a
pseudo-terminal, so that programs and tests run without hardware.

    with VirtualDevice("arm") as arm:
        stream = TorviHardwareAPI.SerialStream(arm.path)

    with VirtualDevice("replay", "session.txt") as handle:   # a recorded session
        ...

    with virtual_arm() as arm:      # a TorviHardwareAPI.Armillar on a virtual arm
        arm.device_wakeup()

    with virtual_arm("--hand", "400,5") as arm:    # held by a simulated hand
        ...

The program prints the path of the port as its first line and runs until it
is signalled or its standard input closes; that input is a pipe held by this
process, so the device also goes when this process dies.
"""

from __future__ import annotations

import contextlib
import os
import select
import shutil
import signal
import subprocess
import sysconfig
import tempfile
import time
from types import TracebackType
from typing import IO, TYPE_CHECKING, Iterator, Union

if TYPE_CHECKING:
    import TorviHardwareAPI

PROGRAM = "torvi-virtual-device"
# Names the program to run, ahead of any search.
PROGRAM_VARIABLE = "TORVI_VIRTUAL_DEVICE"
# How long the program may take to print its port, and to end once stopped.
START_WAIT = 10.0
STOP_WAIT = 5.0

PathLike = Union[str, "os.PathLike[str]"]


class VirtualDeviceError(RuntimeError):
    """The program could not be found, did not start or died at start-up."""


def find_program() -> str:
    """The torvi-virtual-device program: the one $TORVI_VIRTUAL_DEVICE names,
    else the one on PATH (a build tree's tools/ put there wins over an
    installed copy), else the one next to this interpreter's scripts, where
    `pip install` puts it (the environment need not be activated)."""
    named = os.environ.get(PROGRAM_VARIABLE)
    if named:
        return named
    found = shutil.which(PROGRAM)
    if found:
        return found
    beside = os.path.join(sysconfig.get_path("scripts"), PROGRAM)
    if os.access(beside, os.X_OK):
        return beside
    raise VirtualDeviceError(
        f"{PROGRAM} not found on PATH nor in {sysconfig.get_path('scripts')}: install "
        f"TorviHardwareAPI with pip, put a build's tools/ directory on PATH, or set "
        f"{PROGRAM_VARIABLE}"
    )


class VirtualDevice:
    """One torvi-virtual-device process playing one device. `kind` is "arm"
    or "handle", or "replay" with the session file as the first option
    (`VirtualDevice("replay", FILE)` plays a session recorded by `torvi trace
    PORT --out FILE`); `options` are its further command-line arguments
    (str() is applied to each, so paths may be given as they are), `link` a
    symbolic link the device makes to its port, `program` the program to run
    instead of find_program()'s. With `own_session`, the device runs in a
    session of its own, so that a Ctrl-C at the terminal reaches only this
    process, which then stops the device itself. `path` is the port to open.
    stop() ends the device, also at the end of a `with` block.
    Raises VirtualDeviceError when the program is missing, exits or prints
    no path within START_WAIT seconds."""

    def __init__(
        self,
        kind: str,
        *options: object,
        link: PathLike | None = None,
        program: PathLike | None = None,
        own_session: bool = False,
    ) -> None:
        arguments = [os.fspath(program) if program is not None else find_program(), kind]
        arguments += [str(option) for option in options]
        if link is not None:
            arguments += ["--link", os.fspath(link)]
        self.returncode: int | None = None
        self._stderr_text = ""
        # Diagnostics go to a file, not a pipe: nobody reads them while the
        # device runs, and a full pipe would stall it. It outlives this call
        # (stderr() reads it back), so stop() closes it, not a with block.
        self._stderr: IO[bytes] = tempfile.TemporaryFile()  # noqa: SIM115
        try:
            self.process = subprocess.Popen(
                arguments,
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=self._stderr,
                start_new_session=own_session,
            )
        except OSError as error:
            self._stderr.close()
            raise VirtualDeviceError(f"cannot start {arguments[0]}: {error}") from error
        try:
            self.path = self._read_path()
        except BaseException:
            self.stop()
            raise

    def _read_path(self) -> str:
        """The first line of standard output, read byte by byte so that
        nothing after it is taken from the pipe."""
        assert self.process.stdout is not None
        fd = self.process.stdout.fileno()
        line = b""
        deadline = time.monotonic() + START_WAIT
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise VirtualDeviceError(
                    f"{PROGRAM} printed no port within {START_WAIT:g} s: {self.stderr()}"
                )
            chunk = os.read(fd, 1)
            if not chunk:
                self.wait()
                raise VirtualDeviceError(
                    f"{PROGRAM} exited with {self.returncode}: {self.stderr()}"
                )
            line += chunk
        return line.decode().strip()

    def stderr(self) -> str:
        """What the device wrote on standard error (kept after stop())."""
        if self._stderr.closed:
            return self._stderr_text
        self._stderr.seek(0)
        return self._stderr.read().decode(errors="replace")

    def alive(self) -> bool:
        """Whether the device still runs; once it has ended, `returncode`
        holds its exit status (negative: the signal that ended it)."""
        self.returncode = self.process.poll()
        return self.returncode is None

    def send_signal(self, number: int) -> None:
        if self.alive():
            self.process.send_signal(number)

    def wait(self, timeout: float = STOP_WAIT) -> int:
        """Waits for the device to end and returns its exit status."""
        self.returncode = self.process.wait(timeout)
        return self.returncode

    def stop(self, timeout: float = STOP_WAIT) -> int:
        """Ends the device with SIGTERM (killing it if it has not gone after
        `timeout` seconds) and returns its exit status."""
        if self.alive():
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for pipe in (self.process.stdin, self.process.stdout):
            if pipe is not None and not pipe.closed:
                pipe.close()
        if not self._stderr.closed:
            self._stderr_text = self.stderr()
            self._stderr.close()
        self.returncode = self.process.returncode
        return self.returncode

    def __enter__(self) -> VirtualDevice:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        self.stop()


@contextlib.contextmanager
def virtual_arm(*options: object) -> Iterator[TorviHardwareAPI.Armillar]:
    """An Armillar on the port of a new virtual arm (`options` as
    VirtualDevice takes them), which stops at the end of the `with` block.
    With a real arm, open its port instead:
    `TorviHardwareAPI.Armillar(TorviHardwareAPI.SerialStream(port))`."""
    # Imported here: the launcher itself needs only the standard library.
    import TorviHardwareAPI

    with VirtualDevice("arm", *options) as device:
        # The arm keeps its stream alive.
        yield TorviHardwareAPI.Armillar(TorviHardwareAPI.SerialStream(device.path))
