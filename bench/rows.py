"""The measured rows. Each row makes untimed exchanges for WARMUP_SECONDS,
then times single exchanges in a tight loop for a given number of seconds,
and returns the block's figures (see stats.summarize_block) plus the number
of requests the device served, warm-up included. The warm-up is long enough
for the scheduler to settle a process that has just started or woken up
(the first tens of milliseconds run slower).

Python rows time each call with perf_counter_ns around the call alone and
take the process CPU time of this interpreter around the whole loop."""

import array
import fcntl
import itertools
import json
import math
import os
import struct
import subprocess
import sys
import termios
import threading
import time
import tty

import meshes
import TorviHardwareAPI as T
from pyserial_arm import PySerialArm
from stats import summarize_block
from TorviHardwareAPI.haptics import Damper, HapticLoop, Mesh, Plane

WARMUP_SECONDS = 0.1
FORCE_TABLE_SIZE = 64

# Varying forces, the same circle in the x-z plane as the C client's table;
# small torques for joint_torques.
FORCES = [
    [
        0.05 * math.cos(2 * math.pi * k / FORCE_TABLE_SIZE),
        0.0,
        0.2 * math.sin(2 * math.pi * k / FORCE_TABLE_SIZE),
    ]
    for k in range(FORCE_TABLE_SIZE)
]
TORQUES = [
    [
        0.002 * math.cos(2 * math.pi * k / FORCE_TABLE_SIZE),
        0.001,
        -0.002 * math.sin(2 * math.pi * k / FORCE_TABLE_SIZE),
    ]
    for k in range(FORCE_TABLE_SIZE)
]

# The status reader's markers for a bad frame and for no answer.
STATUS_FAILURE_FLAGS = (1, 2)


class BlockFailed(RuntimeError):
    """An exchange in a block did not get its proper reply: the block's
    figures would not measure what they claim to."""


def warm_up(step):
    """Runs step() for WARMUP_SECONDS; returns how many times."""
    count = 0
    deadline = time.perf_counter() + WARMUP_SECONDS
    while time.perf_counter() < deadline:
        step()
        count += 1
    return count


class TimedLoop:
    """What surrounds a timed loop: the latencies, the start, the deadline
    and the process CPU time. The loop itself stays in the caller, with the
    clock, append and the deadline in locals: an attribute lookup inside the
    loop would be measured with every exchange."""

    clock = time.perf_counter_ns

    def __init__(self, seconds):
        self.latencies = []
        self.cpu_start = time.process_time()
        self.start = TimedLoop.clock()
        self.deadline = self.start + int(seconds * 1e9)

    def finish(self, last_end, result, untimed):
        """The loop's figures, as the timed_* functions return them."""
        cpu = time.process_time() - self.cpu_start
        return self.latencies, (last_end - self.start) / 1e9, cpu, result, untimed


def timed_with_argument(call, arguments, seconds):
    """call(argument) for the arguments in turn, over and over. Returns the
    latencies, the elapsed and CPU time of the timed loop, the last result
    and the number of untimed calls before it."""
    cycle = itertools.cycle(arguments)
    untimed = warm_up(lambda: call(next(cycle)))
    loop = TimedLoop(seconds)
    append, clock, deadline = loop.latencies.append, TimedLoop.clock, loop.deadline
    for argument in cycle:
        t0 = clock()
        result = call(argument)
        t1 = clock()
        append(t1 - t0)
        if t1 >= deadline:
            break
    return loop.finish(t1, result, untimed)


def timed_without_argument(call, seconds):
    """call() over and over, timed as timed_with_argument does. A loop of its
    own rather than a wrapper around that one: a wrapping lambda would add a
    Python call to every measured exchange."""
    untimed = warm_up(call)
    loop = TimedLoop(seconds)
    append, clock, deadline = loop.latencies.append, TimedLoop.clock, loop.deadline
    while True:
        t0 = clock()
        result = call()
        t1 = clock()
        append(t1 - t0)
        if t1 >= deadline:
            break
    return loop.finish(t1, result, untimed)


def block(latencies, elapsed, cpu, untimed):
    figures = summarize_block(latencies, elapsed, cpu)
    figures["requests"] = untimed + len(latencies)
    return figures


def require_state(key, result):
    """A state exchange that failed returns the all-zero fallback."""
    position, velocity = result
    if not any(position) and not any(velocity):
        raise BlockFailed(f"{key}: the last exchange returned the fallback zeros")


class Row:
    key = ""
    label = ""
    device = None  # which virtual device serves the row, if any

    def measure(self, seconds):
        raise NotImplementedError

    def close(self):
        pass


class CClientRow(Row):
    """The force exchange in C: a process of its own for each block."""

    device = "arm"

    def __init__(self, program, target, key, label, busy=False):
        """`target` is the port, or --instant or --queued (see the program);
        `busy`: a Python process spins beside each block."""
        self.program = program
        self.target = target
        self.key = key
        self.label = label
        self.busy = busy
        if target.startswith("--"):
            self.device = None
        if busy:
            # It shares the processors on purpose: not a measure of the
            # device's service time.
            self.in_device_target = False

    def measure(self, seconds):
        spinner = BusyProcess() if self.busy else None
        try:
            done = subprocess.run(
                [self.program, "--warmup", f"{WARMUP_SECONDS:.3f}", self.target, f"{seconds:.3f}"],
                capture_output=True,
                text=True,
                timeout=seconds + 60,
            )
        finally:
            if spinner:
                spinner.close()
        if done.returncode != 0:
            raise BlockFailed(f"{self.key}: exit {done.returncode}: {done.stdout} {done.stderr}")
        out = json.loads(done.stdout)
        return {
            "exchanges": out["exchanges"],
            "rate": out["exchanges"] / out["elapsed_s"],
            "mean_us": out["mean_us"],
            "p50_us": out["p50_us"],
            "p99_us": out["p99_us"],
            "cpu_us": out["cpu_s"] / out["exchanges"] * 1e6,
            "requests": out["warmup_exchanges"] + out["exchanges"],
        }


class ArmRow(Row):
    """One Armillar method in a tight loop, on one stream kept open."""

    device = "arm"

    def __init__(self, arm, key, label, method, arguments=None, check=require_state):
        self.key = key
        self.label = label
        self.call = getattr(arm, method)
        self.arguments = arguments
        self.check = check

    def measure(self, seconds):
        if self.arguments is None:
            latencies, elapsed, cpu, result, untimed = timed_without_argument(self.call, seconds)
        else:
            latencies, elapsed, cpu, result, untimed = timed_with_argument(
                self.call, self.arguments, seconds
            )
        self.check(self.key, result)
        return block(latencies, elapsed, cpu, untimed)


class QueuedReplyRow(Row):
    """end_effector_force with no device: a pty of this process's own whose
    master side has the replies queued in batches before the calls that read
    them, so that only the client's own cost is timed. Queuing the replies
    and throwing away the requests is not timed, nor counted as CPU time."""

    key = "module_force_queued"
    label = "module: end_effector_force, reply already queued (no device)"
    BATCH = 100

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave, termios.TCSANOW)
        os.set_blocking(self.master, False)
        self.stream = T.SerialStream(os.ttyname(self.slave))
        self.arm = T.Armillar(self.stream)
        reply = bytes([0x2B]) + struct.pack("<6f", 0.1, 0.2, 0.3, 0.4, 0.5, 0.6)
        self.replies = reply * self.BATCH

    def queued(self):
        count = array.array("i", [0])
        fcntl.ioctl(self.slave, termios.FIONREAD, count)
        return count[0]

    def refill(self):
        try:
            while os.read(self.master, 65536):
                pass
        except BlockingIOError:
            pass
        os.write(self.master, self.replies)
        deadline = time.monotonic() + 5.0
        while self.queued() < len(self.replies):
            if time.monotonic() > deadline:
                raise BlockFailed(f"{self.key}: the queued replies did not reach the port")

    def measure(self, seconds):
        call = self.arm.end_effector_force
        forces = itertools.cycle(FORCES)

        def batch():
            self.refill()
            for force in itertools.islice(forces, self.BATCH):
                call(force)

        warm_up(batch)
        latencies = []
        append = latencies.append
        clock = time.perf_counter_ns
        cpu = 0.0
        elapsed = 0
        limit = int(seconds * 1e9)
        while elapsed < limit:
            self.refill()
            cpu_mark = time.process_time()
            for force in itertools.islice(forces, self.BATCH):
                t0 = clock()
                result = call(force)
                t1 = clock()
                append(t1 - t0)
                elapsed += t1 - t0
            cpu += time.process_time() - cpu_mark
        require_state(self.key, result)
        return block(latencies, elapsed / 1e9, cpu, 0)

    def close(self):
        del self.arm
        del self.stream
        os.close(self.master)
        os.close(self.slave)


def require_temperature(key, result):
    if not result:
        raise BlockFailed(f"{key}: the last exchange returned the fallback 0.0")


class PySerialRow(Row):
    key = "pyserial_force"
    label = "pyserial client: force exchange"
    device = "arm"

    def __init__(self, path):
        self.arm = PySerialArm(path)

    def measure(self, seconds):
        latencies, elapsed, cpu, result, untimed = timed_with_argument(
            self.arm.end_effector_force, FORCES, seconds
        )
        require_state(self.key, result)
        return block(latencies, elapsed, cpu, untimed)

    def close(self):
        self.arm.close()


class EventCounter(T.Handle):
    """A subclass as a user writes one: keeps the latest orientation."""

    def __init__(self, stream):
        super().__init__(stream)
        self.events = 0
        self.quaternion = None

    def OnReceiveHandleStatusMessage(
        self,
        device_id,
        quaternion,
        error_flag,
        hall_effect_sensor_level,
        user_data_length,
        user_data,
    ):
        self.events += 1
        self.quaternion = quaternion


class HandleReceiveRow(Row):
    """Receive on a handle that streams status messages as fast as the pty
    takes them. The port is opened for each block and closed after it: the
    device streams only while a host holds the port, so each block starts
    without a backlog."""

    key = "handle_receive"
    label = "module: Handle subclass Receive (streamed status)"
    device = "handle_stream"

    def __init__(self, path):
        self.path = path

    def measure(self, seconds):
        stream = T.SerialStream(self.path)
        handle = EventCounter(stream)
        try:
            latencies, elapsed, cpu, _, untimed = timed_without_argument(handle.Receive, seconds)
            calls = untimed + len(latencies)
            if handle.events != calls:
                raise BlockFailed(
                    f"{self.key}: {calls - handle.events} of {calls} Receive calls "
                    "delivered no status message"
                )
        finally:
            del handle
            del stream
        return block(latencies, elapsed, cpu, untimed)


class HandleStatusRow(Row):
    """RequestStatus then GetQuillonetStatus: one status frame each time."""

    key = "handle_status"
    label = "module: RequestStatus + GetQuillonetStatus"
    device = "handle_status"

    def __init__(self, path):
        self.stream = T.SerialStream(path)
        self.handle = T.Handle(self.stream)

    def status_frame(self):
        self.handle.RequestStatus()
        return self.handle.GetQuillonetStatus()

    def measure(self, seconds):
        latencies, elapsed, cpu, status, untimed = timed_without_argument(
            self.status_frame, seconds
        )
        if status["error_flag"] in STATUS_FAILURE_FLAGS:
            raise BlockFailed(f"{self.key}: the last status read failed: {status}")
        return block(latencies, elapsed, cpu, untimed)

    def close(self):
        del self.handle
        del self.stream


class BusyThread:
    """A Python thread doing pure-Python work, as a GUI or a simulation
    beside a haptic loop would. It keeps its own CPU time in `cpu`, so that
    the loop's share can be told apart from it."""

    def __init__(self):
        self.cpu = 0.0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._spin, daemon=True)
        self.thread.start()

    def _spin(self):
        clock = time.thread_time
        while not self.stop.is_set():
            sum(range(100))
            self.cpu = clock()

    def close(self):
        self.stop.set()
        self.thread.join()


class BusyProcess:
    """A Python process spinning, as BusyThread does in the bench's own
    process: the same load on the machine's processors for a client of
    another process, without the interpreter lock to share."""

    def __init__(self):
        self.process = subprocess.Popen(
            [sys.executable, "-c", "while True: sum(range(100))"], stdin=subprocess.DEVNULL
        )
        time.sleep(WARMUP_SECONDS)  # under way before the client starts

    def close(self):
        self.process.kill()
        self.process.wait()


# The wall the native-loop rows render: the virtual arm rests above it, so
# the loop sends small damping forces and the arm stays where it is.
WALL = {"point": (0.0, 0.0, 0.1), "normal": (0.0, 0.0, 1.0), "stiffness": 800.0, "damping": 2.0}
WALL_DAMPING = 0.5
WALL_MAX_FORCE = 5.0
# The mesh rows add a torus whose tube hangs MESH_CLEARANCE above the arm
# and push the hand up into it: the proxy is in contact at every cycle.
MESH_CLEARANCE = 0.001  # m
MESH_PUSH = (0.0, 0.0, 1.0)  # N
MESH_STIFFNESS = 800.0  # N/m


class NativeLoopRow(Row):
    """A HapticLoop rendering a wall and a damper (or the damper alone) on
    the arm, free-running or at a fixed rate, alone or beside a busy Python
    thread. The periods are the loop's cycle periods; the CPU time is the
    loop thread's: the process's CPU time less that of this thread and of
    the busy thread. Not part of the virtual arm's service-time target: the
    loop paces the device differently from a client in a tight loop."""

    device = "arm"
    in_device_target = False
    SERIES_LENGTH = 2000

    def __init__(
        self,
        arm,
        key,
        label,
        rate_hz=None,
        busy=False,
        record=True,
        mesh_triangles=None,
        wall=True,
    ):
        self.arm = arm
        self.wall = wall  # False: the damper alone
        self.key = key
        self.label = label
        self.rate_hz = rate_hz
        self.busy = busy
        self.record = record  # False: the loop keeps no record of its cycles
        self.period_series_us = []
        self.mesh = None
        if mesh_triangles:
            self.mesh = Mesh(*meshes.torus(mesh_triangles), stiffness=MESH_STIFFNESS)

    def _add_mesh(self, loop):
        """The torus, its tube's underside just above where the arm is now."""
        position, _ = self.arm.end_effector_force([0.0, 0.0, 0.0])
        self.mesh.set_pose(
            position=(
                position[0] + meshes.RING,
                position[1],
                position[2] + MESH_CLEARANCE + meshes.TUBE,
            )
        )
        loop.add(self.mesh)
        loop.set_force(MESH_PUSH)

    def measure(self, seconds):
        busy = BusyThread() if self.busy else None
        loop = HapticLoop(
            self.arm,
            rate_hz=self.rate_hz,
            max_force=WALL_MAX_FORCE,
            **({} if self.record else {"record": 0}),
        )
        if self.wall:
            loop.add(Plane(**WALL))
        loop.add(Damper(coefficient=WALL_DAMPING))
        if self.mesh is not None:
            self._add_mesh(loop)
        try:
            with loop:
                time.sleep(WARMUP_SECONDS)
                before = self._marks(loop, busy)
                time.sleep(seconds)
                after = self._marks(loop, busy)
                periods = loop.periods_us()
        finally:
            if busy:
                busy.close()
        if loop.error is not None:
            raise BlockFailed(f"{self.key}: the loop stopped: {loop.error}")
        cycles = after["cycles"] - before["cycles"]
        elapsed = after["wall"] - before["wall"]
        loop_cpu = (after["process"] - before["process"]) - (after["own"] - before["own"])
        loop_cpu -= after["busy"] - before["busy"]
        latest = periods[-min(cycles, len(periods)) :]
        self.period_series_us = latest[-self.SERIES_LENGTH :]
        figures = summarize_block([p * 1000.0 for p in latest], elapsed, max(loop_cpu, 0.0))
        figures["rate"] = cycles / elapsed
        figures["cpu_us"] = max(loop_cpu, 0.0) / max(cycles, 1) * 1e6
        figures["lateness_p99_us"] = after["lateness_p99_us"]
        figures["overruns"] = after["overruns"]
        figures["realtime"] = after["realtime"]
        # The final zero-force request and the warm-up's exchanges reached the
        # device too.
        figures["requests"] = after["cycles"] + 1
        return figures

    @staticmethod
    def _marks(loop, busy):
        stats = loop.stats()
        return {
            "cycles": stats.cycles,
            "lateness_p99_us": stats.lateness_p99_us,
            "overruns": stats.overruns,
            "realtime": stats.realtime,
            "wall": time.perf_counter(),
            "process": time.process_time(),
            "own": time.thread_time(),
            "busy": busy.cpu if busy else 0.0,
        }


def native_loop_rows(arm):
    """The native loop's rows: free-running and at 1 kHz, each alone and
    beside a busy Python thread, all recording every cycle; free-running
    without a record, to see what recording costs; and free-running with a
    100k-triangle mesh and at 1 kHz with a 1M-triangle one, each pressed
    into."""
    rows = []
    for rate, rate_key, rate_label in ((None, "free", "free-running"), (1000.0, "1khz", "1 kHz")):
        for busy in (False, True):
            rows.append(
                NativeLoopRow(
                    arm,
                    f"native_loop_{rate_key}" + ("_busy" if busy else ""),
                    f"native HapticLoop, {rate_label}" + (", busy Python thread" if busy else ""),
                    rate_hz=rate,
                    busy=busy,
                )
            )
    rows.append(
        NativeLoopRow(
            arm,
            "native_loop_free_unrecorded",
            "native HapticLoop, free-running, record=0",
            record=False,
        )
    )
    rows.append(
        NativeLoopRow(
            arm,
            "native_loop_free_mesh",
            "native HapticLoop, free-running, 100k-triangle mesh",
            mesh_triangles=100_000,
        )
    )
    rows.append(
        NativeLoopRow(
            arm,
            "native_loop_1khz_mesh",
            "native HapticLoop, 1 kHz, 1M-triangle mesh",
            rate_hz=1000.0,
            mesh_triangles=1_000_000,
        )
    )
    return rows


def kinematics_cost(program, seconds=0.5):
    """Nanoseconds per call of the host-side forward kinematics alone."""
    done = subprocess.run(
        [program, f"{seconds:.3f}"],
        capture_output=True,
        text=True,
        timeout=seconds + 30,
        check=True,
    )
    return json.loads(done.stdout)


def damper_loop_row(arm):
    """The native loop free-running with one Damper: the loop's own cost
    beside the C client's, in alternate rounds (bench/alternate.py)."""
    return NativeLoopRow(
        arm, "native_loop_damper", "native HapticLoop, free-running, one Damper", wall=False
    )
