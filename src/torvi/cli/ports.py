"""Opening a port for the command: a readable error instead of the library's
error lines, and the way to tell an arm from a handle on it."""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import sys
import tempfile
import termios
import time
from dataclasses import dataclass, field
from typing import Iterator

import TorviHardwareAPI as T

ARM_MODEL = 4
# How long a flush waits for the rest of an answer that was not read.
SETTLE_SECONDS = 0.2
# The prefixes of the ports the detections probe.
SERIAL_PREFIXES = ("ttyACM", "ttyUSB", "rfcomm")
DIALOUT_FIX = (
    "add your user to the group that owns it (usually dialout): "
    "sudo usermod -aG dialout $USER, then log in again"
)


class CommandError(Exception):
    """A failure the command reports in one line, with exit status 1."""


# What a path that is not a terminal is, by its file type.
FILE_KINDS = (
    (stat.S_ISREG, "a regular file"),
    (stat.S_ISDIR, "a directory"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISFIFO, "a named pipe"),
    (stat.S_ISSOCK, "a socket"),
)


def file_kind(mode: int) -> str:
    return next((kind for test, kind in FILE_KINDS if test(mode)), "not a device")


def not_a_terminal(port: str, mode: int) -> CommandError:
    return CommandError(f"{port} is not a terminal ({file_kind(mode)})")


def check_access(port: str) -> None:
    """Raises CommandError when `port` cannot be opened for reading and
    writing (naming the fix for the usual cause, permissions) or is not a
    terminal, before any device is tried: a file or /dev/null would only
    cost the library's waits and then look like a silent device."""
    try:
        fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as error:
        if error.errno in (errno.EACCES, errno.EPERM):
            raise CommandError(f"cannot open {port}: permission denied; {DIALOUT_FIX}") from error
        if error.errno == errno.EISDIR:
            raise not_a_terminal(port, os.stat(port).st_mode) from error
        raise CommandError(f"cannot open {port}: {error.strerror}") from error
    try:
        if not os.isatty(fd):
            raise not_a_terminal(port, os.fstat(fd).st_mode)
    finally:
        os.close(fd)


def unreadable_ports(dev: str = "/dev") -> list[str]:
    """The serial ports under `dev` that the detections would probe but this
    user cannot open."""
    try:
        names = sorted(os.listdir(dev))
    except OSError:
        return []
    paths = [os.path.join(dev, n) for n in names if any(p in n for p in SERIAL_PREFIXES)]
    return [p for p in paths if os.path.exists(p) and not os.access(p, os.R_OK | os.W_OK)]


def flush_input(port: str) -> None:
    """Drops what the device sent and nobody read (the answer to a wakeup
    that was meant for the other kind of device)."""
    time.sleep(SETTLE_SECONDS)
    fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        termios.tcflush(fd, termios.TCIFLUSH)
    finally:
        os.close(fd)


@contextlib.contextmanager
def library_output_held(
    keep: list[str] | None = None, fds: tuple[int, ...] = (2,)
) -> Iterator[None]:
    """Holds back what the library writes on the descriptors `fds` (its error
    lines on 2; the arm probe also prints on 1) while devices are tried: the
    command reports the outcome in its own words. The held lines are
    appended to `keep` when it is given."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(fd) for fd in fds]
    with tempfile.TemporaryFile() as held:
        for fd in fds:
            os.dup2(held.fileno(), fd)
        try:
            yield
        finally:
            for fd, copy in zip(fds, saved):
                os.dup2(copy, fd)
                os.close(copy)
            if keep is not None:
                held.seek(0)
                keep.extend(held.read().decode(errors="replace").splitlines())


class InfoCatcher(T.Handle):
    """A handle that keeps what its receive step decodes."""

    def __init__(self, stream: T.SerialStream) -> None:
        super().__init__(stream)
        self.info: tuple[int, int, int, int, int] | None = None
        self.status: tuple[int, list[float], int, int] | None = None
        self.error: tuple[int, int] | None = None

    # The handlers' parameters are the module's, named as in its stub: every
    # Handle subclass (examples/handle_events.py's too) spells them out.
    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
    ) -> None:
        self.info = (
            tool_data_remaining,
            device_id,
            device_model_number,
            hardware_version,
            firmware_version,
        )

    def OnReceiveHandleStatusMessage(  # type: ignore[override]
        self,
        device_id: int,
        quaternion: list[float],
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: list[int],
    ) -> None:
        self.status = (device_id, list(quaternion), error_flag, hall_effect_sensor_level)

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        self.error = (device_id, error_code)


@dataclass
class Connection:
    """An open port and the device found on it. `stream` outlives `arm` or
    `handle`, which borrow it."""

    port: str
    kind: str  # "arm" or "handle"
    stream: T.SerialStream
    arm: T.Armillar | None = None
    handle: InfoCatcher | None = None
    arm_info: tuple[int, int, int, int, list[int]] | None = None
    library_lines: list[str] = field(default_factory=list)


def wake_arm(
    stream: T.SerialStream,
) -> tuple[T.Armillar, tuple[int, int, int, int, list[int]]] | None:
    arm = T.Armillar(stream)
    info = arm.device_wakeup()
    return (arm, info) if info[1] == ARM_MODEL else None


def wake_handle(stream: T.SerialStream) -> InfoCatcher | None:
    handle = InfoCatcher(stream)
    handle.SendDeviceWakeup()
    if handle.Receive() <= 0:
        return None
    if handle.info is None and handle.status is None:
        return None
    return handle


def connect(port: str, kind: str | None) -> Connection:
    """Opens `port` and wakes the device on it: the arm's wakeup first, then
    the handle's (or only the one `kind` names). Raises CommandError when no
    device answers within the library's waits."""
    check_access(port)
    lines: list[str] = []
    with library_output_held(lines):
        stream = T.SerialStream(port)
        if kind in (None, "arm"):
            woken = wake_arm(stream)
            if woken is not None:
                return Connection(port, "arm", stream, arm=woken[0], arm_info=woken[1])
            if kind is None:
                flush_input(port)
        if kind in (None, "handle"):
            handle = wake_handle(stream)
            if handle is not None:
                return Connection(port, "handle", stream, handle=handle)
    tried = {"arm": "the arm's", "handle": "the handle's"}.get(
        kind or "", "the arm's or the handle's"
    )
    raise CommandError(f"no device answered {tried} wakeup on {port}")
