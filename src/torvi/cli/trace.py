"""`torvi trace PORT`: a pseudo-terminal for a program to open in place of
PORT. Bytes go through both ways unchanged; each request and reply is
printed decoded, with the time since the request it answers."""

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

from .ports import CommandError, check_access
from .wire import Conversation, Decoded, describe

# The line settings of the library's ports.
BAUD = termios.B115200
CHUNK = 4096
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

    def __init__(self, out: IO[str]) -> None:
        self.out = out
        self.start = time.monotonic()
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


STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)


def note_signal(number: int, frame: FrameType | None) -> None:
    """Does nothing: the signal's byte on the wake-up pipe ends the relay
    between two messages, so that what went through is also printed."""


def relay(device: int, master: int, printer: Printer, stop: int) -> None:
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
            write_all(device, data)
            printer.show(">", conversation.from_host(data))
        if device in ready:
            try:
                data = os.read(device, CHUNK)
            except OSError as error:  # EIO: the device hung up
                raise CommandError(f"the port stopped: {error.strerror}") from error
            if not data:
                raise CommandError("the port closed")
            write_all(master, data)
            printer.show("<", conversation.from_device(data))


def run_trace(arguments: argparse.Namespace) -> int:
    check_access(arguments.port)
    device = open_raw(arguments.port)
    master, slave = os.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    # Closed once the relay ends (standard output is left open).
    out: IO[str] = open(arguments.out, "w") if arguments.out else sys.stdout  # noqa: SIM115
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
        print(path, flush=True)
        relay(device, master, Printer(out), stop)
    finally:
        if (
            arguments.link
            and os.path.islink(arguments.link)
            and os.readlink(arguments.link) == path
        ):
            os.unlink(arguments.link)
        for fd in (device, master, slave, stop, wake):
            os.close(fd)
        if out is not sys.stdout:
            out.close()
    return 0
