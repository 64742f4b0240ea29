"""Test helpers: a pseudo-terminal whose master side plays the device, a
scripted device that answers requests from a table of rows, and wire-format
helpers."""

import array
import fcntl
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

import TorviHardwareAPI as T


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


# --- Virtual devices ---------------------------------------------------------
# torvi-virtual-device processes, and a raw host-side port to talk to them.


VIRTUAL_DEVICE_PROGRAM = "torvi-virtual-device"


def find_virtual_device() -> str:
    """The torvi-virtual-device program: $TORVI_VIRTUAL_DEVICE, else the one
    on PATH (scripts/test.sh puts the build's tools/ there)."""
    program = os.environ.get("TORVI_VIRTUAL_DEVICE") or shutil.which(VIRTUAL_DEVICE_PROGRAM)
    if not program:
        raise FileNotFoundError(
            f"{VIRTUAL_DEVICE_PROGRAM} not found: build the project and put its tools/ "
            "directory on PATH, or set TORVI_VIRTUAL_DEVICE")
    return program


class VirtualDevice:
    """A torvi-virtual-device process playing one device: `kind` is "arm" or
    "handle", `options` its further command-line arguments. `path` is the
    slave to open. stop() ends it (also at the end of a `with` block)."""

    START_WAIT = 10.0
    STOP_WAIT = 5.0

    def __init__(self, kind: str, *options, link=None):
        args = [find_virtual_device(), kind, *map(str, options)]
        if link is not None:
            args += ["--link", str(link)]
        # Diagnostics go to a file, not a pipe: nobody reads them while the
        # device runs, and a full pipe would stall it.
        self._stderr = tempfile.TemporaryFile()
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self._stderr)
        self.returncode = None
        try:
            self.path = self._read_first_line()
        except Exception:
            self.stop()
            raise

    def _read_first_line(self) -> str:
        fd = self.process.stdout.fileno()
        line = b""
        deadline = time.monotonic() + self.START_WAIT
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise TimeoutError(f"{VIRTUAL_DEVICE_PROGRAM} printed no path: {self.stderr()}")
            chunk = os.read(fd, 1)
            if not chunk:
                self.process.wait(self.STOP_WAIT)
                raise RuntimeError(f"{VIRTUAL_DEVICE_PROGRAM} exited with {self.process.returncode}: "
                                   f"{self.stderr()}")
            line += chunk
        return line.decode().strip()

    def stderr(self) -> str:
        """What the device wrote on standard error (kept after stop())."""
        if self._stderr.closed:
            return self._stderr_text
        self._stderr.seek(0)
        return self._stderr.read().decode(errors="replace")

    def alive(self) -> bool:
        return self.process.poll() is None

    def send_signal(self, number: int) -> None:
        if self.alive():
            self.process.send_signal(number)

    def wait(self, timeout: float = STOP_WAIT) -> int:
        self.returncode = self.process.wait(timeout)
        return self.returncode

    def stop(self, timeout: float = STOP_WAIT) -> int:
        """Ends the device with SIGTERM (killing it if it does not go) and
        returns its exit status."""
        if self.alive():
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for pipe in (self.process.stdin, self.process.stdout):
            if pipe and not pipe.closed:
                pipe.close()
        if not self._stderr.closed:
            self._stderr_text = self.stderr()
            self._stderr.close()
        self.returncode = self.process.returncode
        return self.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class RawPort:
    """The host side of a port without the library: opens the tty raw and
    non-blocking, writes requests and reads the replies byte for byte."""

    def __init__(self, path: str):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
        # TCSANOW: the default TCSAFLUSH would throw away what has already
        # arrived, possibly half a message.
        tty.setraw(self.fd, termios.TCSANOW)

    def write(self, data: bytes) -> None:
        view = memoryview(bytes(data))
        while view:
            select.select([], [self.fd], [], 1.0)
            view = view[os.write(self.fd, view):]

    def read(self, n: int, timeout: float = 2.0) -> bytes:
        """Up to n bytes, waiting at most `timeout` seconds for them."""
        out = b""
        deadline = time.monotonic() + timeout
        while len(out) < n:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                break
            chunk = os.read(self.fd, n - len(out))
            if not chunk:
                break
            out += chunk
        return out

    def drain(self, settle: float = 0.05) -> bytes:
        """Everything that arrives until the line is quiet for `settle` s."""
        out = b""
        while True:
            more = self.read(65536, settle)
            if not more:
                return out
            out += more

    def exchange(self, request: bytes, reply_length: int, timeout: float = 2.0) -> bytes:
        self.write(request)
        return self.read(reply_length, timeout)

    def queued(self) -> int:
        """Bytes waiting to be read, as FIONREAD counts them."""
        count = array.array("i", [0])
        fcntl.ioctl(self.fd, termios.FIONREAD, count)
        return count[0]

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class RecordingHandle(T.Handle):
    """Overrides all three field-wise handlers and records, in order, each
    event's kind ("info", "status", "error") and arguments."""

    def __init__(self, stream):
        super().__init__(stream)
        self.events = []

    def OnReceiveHandleInfo(self, *fields):
        self.events.append(("info", fields))

    def OnReceiveHandleStatusMessage(self, *fields):
        self.events.append(("status", fields))

    def OnReceiveHandleErrorResponse(self, *fields):
        self.events.append(("error", fields))
