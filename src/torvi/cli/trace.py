"""`torvi trace PORT`: a pseudo-terminal for a program to open in place of
PORT. Bytes go through both ways unchanged; each request and reply is
printed decoded on standard output, with the time since the request it
answers, and with --out FILE the session is recorded there, chunk by chunk,
for `torvi-virtual-device replay FILE`."""

from __future__ import annotations

import argparse
import os
import select
import signal
import sys
import termios
import time
import tty
from types import FrameType
from typing import IO

import TorviHardwareAPI as T

from .ports import CommandError, check_access
from .wire import Conversation, Decoded, describe

# The line settings of the library's ports, and how a session file's header
# names them.
BAUD = termios.B115200
PORT_SETTINGS = "baud=115200 data_bits=8 parity=none stop_bits=1"
CHUNK = 4096
# The session file's format and version, as tools/virtual_device/Session.hpp
# reads them.
SESSION_FORMAT = "torvi-session"
SESSION_VERSION = 1
# A message whose bytes stop coming for this long is shown as hex.
INCOMPLETE_AFTER = 0.5


def open_raw(path: str) -> int:
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    attributes = termios.tcgetattr(fd)
    attributes[4] = attributes[5] = BAUD
    termios.tcsetattr(fd, termios.TCSANOW, attributes)
    return fd


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        select.select([], [fd], [])
        view = view[os.write(fd, view) :]


class Printer:
    """One line per message: time since the trace started, the direction
    (> to the device, < from it), the name and fields, and for a reply the
    time since the last request."""

    def __init__(self, out: IO[str], start: float) -> None:
        self.out = out
        self.start = start
        self.last_request: float | None = None

    def show(self, arrow: str, messages: list[Decoded]) -> None:
        now = time.monotonic()
        for message in messages:
            name, fields = describe(message)
            line = f"{now - self.start:10.6f} {arrow} {name} {fields}".rstrip()
            if arrow == ">" and message.layout is not None:
                self.last_request = now
            elif arrow == "<" and self.last_request is not None:
                line += f"  (+{(now - self.last_request) * 1e3:.3f} ms)"
            print(line, file=self.out, flush=True)


class SessionRecord:
    """The session file: a header line (format and version, the port's
    settings and path, the library's version, the monotonic clock's reading
    at the start), then one line per chunk as it was read: seconds since the
    start, the direction (> to the device, < from it, ! the port hung up)
    and the bytes in hex. Written line by line, so that a trace that is
    killed keeps what it saw."""

    def __init__(self, out: IO[str] | None, port: str, start: float) -> None:
        self.out = out
        self.start = start
        self.write(
            f"{SESSION_FORMAT} {SESSION_VERSION} {PORT_SETTINGS} port={port} "
            f"library={T.get_cpp_version()} monotonic_start={start:.6f}"
        )

    def write(self, line: str) -> None:
        if self.out is not None:
            self.out.write(line + "\n")

    def chunk(self, arrow: str, data: bytes) -> None:
        self.write(f"{time.monotonic() - self.start:.6f} {arrow} {data.hex(' ')}")

    def hangup(self) -> None:
        self.write(f"{time.monotonic() - self.start:.6f} ! hangup")


STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)


def note_signal(number: int, frame: FrameType | None) -> None:
    """Does nothing: the signal's byte on the wake-up pipe ends the relay
    between two messages, so that what went through is also printed."""


def relay(device: int, master: int, printer: Printer, record: SessionRecord, stop: int) -> None:
    """Forwards until `stop` is readable. A pty master reads EIO while no
    program has the terminal open; the trace keeps a descriptor of the slave
    itself, so programs may open and close it as often as they like."""
    conversation = Conversation()
    while True:
        waiting = conversation.requests.pending() or conversation.replies.pending()
        timeout = INCOMPLETE_AFTER if waiting else None
        ready = select.select([device, master, stop], [], [], timeout)[0]
        if stop in ready:
            printer.show(">", conversation.requests.flush())
            printer.show("<", conversation.replies.flush())
            return
        if not ready:
            printer.show(">", conversation.requests.flush())
            printer.show("<", conversation.replies.flush())
            continue
        if master in ready:
            data = os.read(master, CHUNK)
            record.chunk(">", data)
            write_all(device, data)
            printer.show(">", conversation.from_host(data))
        if device in ready:
            try:
                data = os.read(device, CHUNK)
            except OSError as error:  # EIO: the device hung up
                record.hangup()
                raise CommandError(f"the port stopped: {error.strerror}") from error
            if not data:
                record.hangup()
                raise CommandError("the port closed")
            record.chunk("<", data)
            write_all(master, data)
            printer.show("<", conversation.from_device(data))


def run_trace(arguments: argparse.Namespace) -> int:
    check_access(arguments.port)
    device = open_raw(arguments.port)
    master, slave = os.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    # Closed once the relay ends; line-buffered, so that each chunk is in
    # the file as soon as it went through.
    out = open(arguments.out, "w", buffering=1) if arguments.out else None  # noqa: SIM115
    stop, wake = os.pipe()
    os.set_blocking(wake, False)
    signal.set_wakeup_fd(wake)
    for number in STOP_SIGNALS:
        signal.signal(number, note_signal)
    try:
        if arguments.link:
            try:
                os.symlink(path, arguments.link)
            except OSError as error:
                raise CommandError(f"cannot make {arguments.link}: {error.strerror}") from error
        start = time.monotonic()
        record = SessionRecord(out, arguments.port, start)
        print(path, flush=True)
        relay(device, master, Printer(sys.stdout, start), record, stop)
    finally:
        if (
            arguments.link
            and os.path.islink(arguments.link)
            and os.readlink(arguments.link) == path
        ):
            os.unlink(arguments.link)
        for fd in (device, master, slave, stop, wake):
            os.close(fd)
        if out is not None:
            out.close()
    return 0
