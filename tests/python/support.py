"""Test helpers: a pseudo-terminal whose master side plays the device, a
scripted device that answers requests from a table of rows, and wire-format
helpers."""

import fcntl
import os
import select
import struct
import subprocess
import sys
import termios
import threading
import time
import tty


class Pty:
    """The master side of a pty; the library opens `path` like any tty."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        os.set_inheritable(self.master, False)
        os.set_inheritable(self.slave, False)
        # Raw from the start: nothing the device writes before the library
        # configures the line is echoed or translated.
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)

    def write(self, data: bytes) -> None:
        view = memoryview(bytes(data))
        while view:
            written = os.write(self.master, view)
            view = view[written:]

    def read(self, n: int, timeout: float = 2.0) -> bytes:
        """Up to n bytes the host wrote, waiting at most `timeout` seconds."""
        out = b""
        deadline = time.monotonic() + timeout
        while len(out) < n:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            out += os.read(self.master, n - len(out))
        return out

    def drain(self, settle: float = 0.05) -> bytes:
        """Everything the host has written and not yet been read."""
        out = b""
        while True:
            more = self.read(4096, settle)
            if not more:
                return out
            out += more

    def queued_for_host(self) -> int:
        """Bytes written by the device that the host has not read yet."""
        count = struct.pack("i", 0)
        return struct.unpack("i", fcntl.ioctl(self.slave, termios.FIONREAD, count))[0]

    def close(self) -> None:
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


class ScriptedDevice:
    """Plays rows of (expected request, reply, delay in seconds) on a pty
    master in a thread; `received` holds what the host actually sent for each
    row, so tests compare the bytes on the wire."""

    REQUEST_WAIT = 8.0

    def __init__(self, pty: Pty, rows):
        self.pty = pty
        self.rows = [row if len(row) == 3 else (*row, 0.0) for row in rows]
        self.received = []
        self.thread = threading.Thread(target=self._play, daemon=True)
        self.thread.start()

    def _play(self):
        for request, reply, delay in self.rows:
            got = self.pty.read(len(request), self.REQUEST_WAIT)
            self.received.append(got)
            if len(got) != len(request):
                return
            if delay:
                time.sleep(delay)
            self.pty.write(reply)

    def finish(self, timeout: float = 15.0):
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "scripted device still waiting for a request"
        return self.received


def floats(*values) -> bytes:
    """Little-endian binary32 values, as on the wire."""
    return struct.pack(f"<{len(values)}f", *values)


def reply_later(pty: Pty, data: bytes, delay: float) -> subprocess.Popen:
    """Writes `data` on the pty's master after `delay` seconds, from another
    process: the reply arrives even while this interpreter's lock is held by
    a call that waits for it. Wait on the returned process."""
    program = "import os, sys, time; time.sleep(float(sys.argv[1])); os.write(int(sys.argv[2]), bytes.fromhex(sys.argv[3]))"
    return subprocess.Popen(
        [sys.executable, "-c", program, str(delay), str(pty.master), bytes(data).hex()],
        pass_fds=(pty.master,),
    )


def open_descriptors(path):
    """How many of this process's file descriptors refer to `path`."""
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == path:
                count += 1
        except OSError:
            pass
    return count
