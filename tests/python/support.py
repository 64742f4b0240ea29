"""Test helpers: a pseudo-terminal whose master side plays the device, a
scripted device that answers requests from a table of rows, wire-format
helpers, and the headless browser of the view's tests."""

import array
import contextlib
import fcntl
import functools
import json
import operator
import os
import pathlib
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
import tty

import TorviHardwareAPI as T

# The torvi command from the source tree, and the environment of child
# Python processes (the tree's package and the module the suite runs on).
SRC = str(pathlib.Path(__file__).resolve().parents[2] / "src")
TORVI = [sys.executable, "-m", "torvi.cli"]
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([SRC, os.environ.get("PYTHONPATH", "")])}

HALF = 0.01  # m: a cube of 2 cm about the origin, for the Mesh
CUBE_VERTICES = [[x, y, z] for x in (-HALF, HALF) for y in (-HALF, HALF) for z in (-HALF, HALF)]
# Two triangles per side, counter-clockwise seen from outside.
CUBE_FACES = [
    [0, 1, 3], [0, 3, 2], [4, 6, 7], [4, 7, 5], [0, 4, 5], [0, 5, 1],
    [2, 3, 7], [2, 7, 6], [0, 2, 6], [0, 6, 4], [1, 5, 7], [1, 7, 3],
]  # fmt: skip


def restore_stop_signals():
    """SIGINT and SIGTERM back at their default dispositions, as a program
    started from a terminal finds them. A shell starts a background job with
    SIGINT ignored (pytest-xdist its workers too), children inherit that, and
    Python then installs no KeyboardInterrupt handler: Ctrl-C would do
    nothing."""
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, signal.SIG_DFL)


def start_interruptible(command, **options):
    """subprocess.Popen(command, **options) for a child that a test stops
    with a signal: the child starts with the stop signals at their defaults
    (restore_stop_signals), wherever the suite itself was started."""
    return subprocess.Popen(command, preexec_fn=restore_stop_signals, **options)


class Trace:
    """`torvi trace PORT *options` running; `path` is its pty. stop() ends it
    with SIGTERM and returns its exit status and what it printed after the
    path (the decoded trace)."""

    def __init__(self, port, *options):
        self.process = subprocess.Popen(
            [*TORVI, "trace", port, *map(str, options)], stdout=subprocess.PIPE, text=True, env=ENV
        )
        self.path = self.process.stdout.readline().strip()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(10)
        output = self.process.stdout.read()
        self.process.stdout.close()
        return status, output


class Descriptor:
    """Writes and time-limited reads on one descriptor `fd`: the pty's master
    where a test plays the device, a tty where a test plays the host."""

    fd = -1

    def write(self, data: bytes) -> None:
        view = memoryview(bytes(data))
        while view:
            # A non-blocking tty may be full for a moment.
            select.select([], [self.fd], [], 1.0)
            view = view[os.write(self.fd, view) :]

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


def queued_bytes(fd: int) -> int:
    """Bytes waiting to be read on the tty `fd`, as FIONREAD counts them."""
    count = array.array("i", [0])
    fcntl.ioctl(fd, termios.FIONREAD, count)
    return count[0]


class Pty(Descriptor):
    """The master side of a pty; the library opens `path` like any tty. The
    test plays the device: read() takes what the host wrote."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.fd = self.master
        os.set_inheritable(self.master, False)
        os.set_inheritable(self.slave, False)
        # Raw from the start: nothing the device writes before the library
        # configures the line is echoed or translated.
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)

    def queued_for_host(self) -> int:
        """Bytes written by the device that the host has not read yet."""
        return queued_bytes(self.slave)

    def close(self) -> None:
        for fd in (self.master, self.slave):
            with contextlib.suppress(OSError):
                os.close(fd)


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


# The keys of the handle's status dict, in the order the module builds them.
STATUS_KEYS = [
    "device_id",
    "quaternion",
    "error_flag",
    "hall_effect_sensor_level",
    "buttons",
    "battery_level",
]

# What the status reader returns for a frame it cannot unstuff.
BAD_FRAME_STATUS = {
    "device_id": 0,
    "quaternion": [0.0] * 4,
    "error_flag": 1,
    "hall_effect_sensor_level": 0,
    "buttons": 0,
    "battery_level": 0.0,
}


def floats(*values) -> bytes:
    """Little-endian binary32 values, as on the wire."""
    return struct.pack(f"<{len(values)}f", *values)


# The handle's replies, written out by hand.
INFO = bytes.fromhex("D0 11 22 33 44 55 66")
ERROR = bytes.fromhex("DF 34 12 07")
QUATERNION = (0.5, -1.0, 0.25, 2.0)
# error 03, buttons 5 / hall 22, device 42, quaternion 00 80 / 00 40 / FF 7F /
# 00 00, battery 100; the last raw byte is never examined.
VALID_FRAME = bytes.fromhex("DA AA BB 03 B6 42 01 02 03 00 80 00 40 FF 7F 00 00 64 09 77")


def status_message(device_id, user_data=b"", error_flag=2, hall=31):
    """A status message with QUATERNION (0xDA, the receive loop's form)."""
    return (
        bytes([0xDA, device_id & 0xFF, device_id >> 8, error_flag, hall])
        + floats(*QUATERNION)
        + bytes([len(user_data)])
        + bytes(user_data)
    )


def reply_later(pty: Pty, data: bytes, delay: float) -> subprocess.Popen:
    """Writes `data` on the pty's master after `delay` seconds, from another
    process: the reply arrives even while this interpreter's lock is held by
    a call that waits for it. Wait on the returned process."""
    program = (
        "import os, sys, time; time.sleep(float(sys.argv[1])); "
        "os.write(int(sys.argv[2]), bytes.fromhex(sys.argv[3]))"
    )
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


# --- A raw host-side port ----------------------------------------------------
# Virtual devices are started with torvi.virtual.VirtualDevice (src/torvi).


class RawPort(Descriptor):
    """The host side of a port without the library: opens the tty raw and
    non-blocking, writes requests and reads the replies byte for byte."""

    def __init__(self, path: str):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
        # TCSANOW: the default TCSAFLUSH would throw away what has already
        # arrived, possibly half a message.
        tty.setraw(self.fd, termios.TCSANOW)

    def exchange(self, request: bytes, reply_length: int, timeout: float = 2.0) -> bytes:
        self.write(request)
        return self.read(reply_length, timeout)

    def queued(self) -> int:
        """Bytes waiting to be read, as FIONREAD counts them."""
        return queued_bytes(self.fd)

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


# Run by run_in_private_dev in a new mount namespace: replaces /dev by a
# temporary directory of links (keeping the real /dev/pts reachable inside
# it), then runs the command given after the links.
PRIVATE_DEV = r"""
import json, os, subprocess, sys, tempfile
links = json.loads(sys.argv[1])
fake = tempfile.mkdtemp(prefix="torvi-dev-")
os.mkdir(os.path.join(fake, "pts"))
subprocess.run(["mount", "--rbind", "/dev/pts", os.path.join(fake, "pts")], check=True)
for name, target in links:
    os.symlink(target, os.path.join(fake, name))
subprocess.run(["mount", "--rbind", fake, "/dev"], check=True)
os.execvp(sys.argv[2], sys.argv[2:])
"""


def namespace_unavailable():
    """Why a private /dev cannot be made here, or None when it can."""
    if os.geteuid() != 0:
        return "needs root to mount a private /dev"
    if shutil.which("unshare") is None:
        return "needs unshare (util-linux)"
    probe = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "true"], capture_output=True
    )
    if probe.returncode != 0:
        return f"cannot make a mount namespace: {probe.stderr.decode().strip()}"
    return None


def run_in_private_dev(links, command, timeout=120, env=None):
    """Runs `command` (a list) where /dev holds only `links` ({name: target})
    and /dev/pts, in the environment `env` (default: this one's); returns the
    completed process, output as text."""
    links_argument = json.dumps(list(links.items()))
    return subprocess.run(
        [
            "unshare",
            "--mount",
            "--propagation",
            "private",
            sys.executable,
            "-c",
            PRIVATE_DEV,
            links_argument,
            *command,
        ],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=os.environ if env is None else env,
    )


SWITCH_INTERVAL = 1e-4  # s: the spinner asks for the lock soon after it waits
HOLD = functools.partial(sum, range(200_000))  # a few ms in C, holding the lock


class Spinner:
    """Counts its turns while the main thread's innermost Python frame is
    turns_during's, i.e. while the main thread is inside the C call made
    there. A call that releases the interpreter lock lets it turn (see
    turns_during); one that keeps the lock never does."""

    def __init__(self):
        self.count = [0]
        self.main = threading.get_ident()
        self.running = True
        self.thread = threading.Thread(target=self._spin, daemon=True)

    def _spin(self):
        # No reference to the main thread's frame outlives the check: a frame
        # kept between turns would keep its locals alive.
        frames = sys._current_frames
        while self.running:
            if getattr(frames().get(self.main), "f_code", None) is turns_during.__code__:
                self.count[0] += 1

    def __enter__(self):
        self.previous_interval = sys.getswitchinterval()
        sys.setswitchinterval(SWITCH_INTERVAL)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.running = False
        self.thread.join()
        sys.setswitchinterval(self.previous_interval)


def turns_during(call, spinner):
    """How often the spinner turned while `call` ran. The call is made from C
    (map over operator.call), so no Python code of this thread runs between
    the two reads of the count, and a C loop before it holds the lock long
    enough for the spinner to ask for it: the interpreter then hands the lock
    over at the first release, however short."""
    read = functools.partial(operator.getitem, spinner.count, 0)
    _, before, _, after = list(map(operator.call, [HOLD, read, call, read]))
    return after - before


FORCE_REQUEST = 0x2A
FORCE_REQUEST_LENGTH = 13
STATE_REPLY = b"\x2b"
ZERO = (0.0, 0.0, 0.0)


def wait_until(condition, timeout=10.0, what="the condition"):
    """Polls `condition` until it returns something true, which it returns;
    fails naming `what` after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            break
        time.sleep(0.01)
    assert value, f"{what} did not happen within {timeout} s"
    return value


class ForceResponder:
    """Plays an arm on the pty: answers each force request with a state
    reply and records the forces received. The reply holds `position` and
    `velocity`, or, when `positions` is given, positions(n) for the n-th
    request (from 1) and `velocity`. After `answers` replies it falls
    silent (keeps reading, never answers)."""

    def __init__(self, pty, position=ZERO, velocity=ZERO, answers=None, positions=None):
        self.pty = pty
        self.reply = STATE_REPLY + floats(*position, *velocity)
        self.positions = positions
        self.velocity = velocity
        self.answers = answers
        self.forces = []
        self.stray = b""
        self.silent = threading.Event()
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._play, daemon=True)
        self.thread.start()

    def _play(self):
        while not self.done.is_set():
            request = self.pty.read(FORCE_REQUEST_LENGTH, 0.05)
            if not request:
                continue
            if len(request) != FORCE_REQUEST_LENGTH or request[0] != FORCE_REQUEST:
                self.stray += request
                continue
            self.forces.append(struct.unpack("<3f", request[1:]))
            if self.answers is not None and len(self.forces) > self.answers:
                self.silent.set()
                continue
            if self.positions is None:
                self.pty.write(self.reply)
            else:
                position = self.positions(len(self.forces))
                self.pty.write(STATE_REPLY + floats(*position, *self.velocity))

    def wait_for(self, count, timeout=10.0):
        deadline = time.monotonic() + timeout
        while len(self.forces) < count and time.monotonic() < deadline:
            time.sleep(0.005)
        assert len(self.forces) >= count, f"only {len(self.forces)} requests"

    def settled_count(self, timeout=2.0):
        """The number of requests received once every byte the host wrote
        has been read: requests written before a stop may still be queued."""
        deadline = time.monotonic() + timeout
        while queued_bytes(self.pty.master) and time.monotonic() < deadline:
            time.sleep(0.005)
        time.sleep(0.02)  # the last one read is recorded
        return len(self.forces)

    def close(self):
        self.done.set()
        self.thread.join(1.0)


# The browser of the view's tests. Headless Chromium draws WebGL only with
# its software renderer, which recent versions no longer fall back to by
# themselves: ANGLE's SwiftShader backend is asked for by name and allowed
# although Chromium deems it unsafe for untrusted pages (these load only
# the tests' own). The flags are pinned here alone.
CHROMIUM = "/usr/bin/chromium"
CHROMIUM_FLAGS = ["--use-angle=swiftshader", "--enable-unsafe-swiftshader"]


# The browser's software drawing can take both cores; at a lower priority it
# cannot starve the virtual arm of the 250 ms in which the loop expects its
# reply.
CHROMIUM_NICENESS = 10


def launch_chromium(playwright, folder):
    """The system's Chromium, headless, through Playwright's client, started
    at CHROMIUM_NICENESS by a launcher script written into `folder`."""
    launcher = pathlib.Path(folder) / "chromium"
    launcher.write_text(f'#!/bin/sh\nexec nice -n {CHROMIUM_NICENESS} {CHROMIUM} "$@"\n')
    launcher.chmod(0o755)
    return playwright.chromium.launch(executable_path=str(launcher), args=CHROMIUM_FLAGS)


def pixels_like(png, colour, region):
    """The (x, y) of the pixels of the screenshot `png` inside `region`
    ((left, top, right, bottom)) of the hue of `colour`, strong enough in
    saturation and brightness to be a lit surface of it (which the light
    makes paler or darker, but leaves its hue) and not the white page, the
    grey text or an edge blended into either."""
    import colorsys
    import io

    import numpy as np
    from PIL import Image

    left, top, right, bottom = region
    hsv = np.asarray(Image.open(io.BytesIO(png)).convert("RGB").convert("HSV"), dtype=float) / 255
    hsv = hsv[top:bottom, left:right]
    hue = colorsys.rgb_to_hsv(*(c / 255 for c in colour))[0]
    apart = np.abs(hsv[..., 0] - hue)
    apart = np.minimum(apart, 1 - apart)  # hue goes round
    ys, xs = np.nonzero((apart < HUE_TOLERANCE) & (hsv[..., 1] > 0.4) & (hsv[..., 2] > 0.3))
    return np.stack([xs + left, ys + top], axis=1)


HUE_TOLERANCE = 0.08  # of the circle, 29 degrees: the lights turn a green towards yellow
