"""The exchange rows: the module's Armillar calls in tight Python loops, the
C client's force exchange (the floor), a pyserial client, the handle's
Receive and status rows, and the rows without a device (a responder that
answers at once, replies already queued); the targets they are held to."""

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
import time
import tty

import TorviHardwareAPI as T
from pyserial_arm import PySerialArm
from runner import (
    WARMUP_SECONDS,
    BlockFailed,
    Row,
    block,
    timed_with_argument,
    timed_without_argument,
    verdict,
    warm_up,
)
from stats import difference, paired_median, ratio

REFERENCE = "c_force"
INSTANT = "c_instant"
C_QUEUED = "c_queued"
MODULE_QUEUED = "module_force_queued"
# Beside a busy Python process the C client is what any client of the arm
# gets under that load: the floor of the native loop's busy rows.
C_BUSY = "c_force_busy"

# The targets: the module's force exchange against the C client (its mean
# latency, in alternate rounds: alternate.py) and against pyserial (its
# rate), what host kinematics adds to a joint-state exchange, and the share
# of a round trip that the virtual arm may take.
MAX_LATENCY_RATIO_TO_C = 1.10
MIN_RATE_RATIO_TO_PYSERIAL = 3.5
MAX_KINEMATICS_ADDED_US = 2.0
MAX_DEVICE_SHARE = 0.5

# A busy-waiting client keeps its processor: the rows whose share of the wall
# time on a processor tells whether other work took it during a round.
BUSY_WAITING_ARM_ROWS = (
    REFERENCE,
    INSTANT,
    C_QUEUED,
    MODULE_QUEUED,
    "module_force",
    "module_joint_torques",
    "module_host_position",
    "module_temperature",
)

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


def require_state(key, result):
    """A state exchange that failed returns the all-zero fallback."""
    position, velocity = result
    if not any(position) and not any(velocity):
        raise BlockFailed(f"{key}: the last exchange returned the fallback zeros")


def require_temperature(key, result):
    if not result:
        raise BlockFailed(f"{key}: the last exchange returned the fallback 0.0")


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


def force_rows(client, arm_path, arm):
    """The C client's force exchange and the module's, the two rows that
    the others and the alternate rounds are measured against."""
    return [
        CClientRow(client, arm_path, REFERENCE, "C client: force exchange (the floor)"),
        ArmRow(arm, "module_force", "module: end_effector_force", "end_effector_force", FORCES),
    ]


def exchange_rows(client, arm, arm_path, stream_path, status_path):
    """The exchange rows in the run's order: `client` the C client program,
    `arm` an Armillar on the virtual arm at `arm_path`, the two handles'
    ports."""
    return [
        *force_rows(client, arm_path, arm),
        ArmRow(arm, "module_joint_torques", "module: joint_torques", "joint_torques", TORQUES),
        ArmRow(
            arm,
            "module_host_position",
            "module: get_end_effector_position(False)",
            "get_end_effector_position",
            [False],
        ),
        ArmRow(
            arm,
            "module_temperature",
            "module: get_temperature",
            "get_temperature",
            check=require_temperature,
        ),
        PySerialRow(arm_path),
        HandleReceiveRow(stream_path),
        HandleStatusRow(status_path),
        CClientRow(client, "--instant", INSTANT, "C client vs instant responder (pty only)"),
        CClientRow(client, "--queued", C_QUEUED, "C client, reply already queued (no device)"),
        QueuedReplyRow(),
        CClientRow(
            client, arm_path, C_BUSY, "C client: force exchange, busy Python process", busy=True
        ),
    ]


def client_targets(rows, blocks, summary, kinematics):
    """The module's and the virtual arm's figures against their targets."""

    def paired(a, b, name, combine):
        return paired_median([x[name] for x in blocks[a]], [x[name] for x in blocks[b]], combine)

    latency_ratio = summary["module_force"]["median"]["ratio_to_c"]
    client_added_us = paired(MODULE_QUEUED, C_QUEUED, "mean_us", difference)
    rate_ratio = paired("module_force", "pyserial_force", "rate", ratio)
    c_rate_ratio = paired(REFERENCE, "pyserial_force", "rate", ratio)
    added_us = paired("module_host_position", "module_joint_torques", "mean_us", difference)
    added_cpu_us = paired("module_host_position", "module_joint_torques", "cpu_us", difference)
    service_us = paired(REFERENCE, INSTANT, "mean_us", difference)
    round_trip_us = summary[REFERENCE]["median"]["mean_us"]
    arm_rows = [
        row.key for row in rows if row.device == "arm" and getattr(row, "in_device_target", True)
    ]
    busiest = max(arm_rows, key=lambda key: summary[key]["device_busy_share"])
    busiest_share = summary[busiest]["device_busy_share"]
    targets = {
        "latency_ratio_to_c": {
            "value": latency_ratio,
            "limit": MAX_LATENCY_RATIO_TO_C,
            "module_client_us": summary[MODULE_QUEUED]["median"]["mean_us"],
            "c_client_us": summary[C_QUEUED]["median"]["mean_us"],
            "added_over_c_us": client_added_us,
            "met": latency_ratio <= MAX_LATENCY_RATIO_TO_C,
        },
        "rate_ratio_to_pyserial": {
            "value": rate_ratio,
            "c_client_value": c_rate_ratio,
            "needed_rate": MIN_RATE_RATIO_TO_PYSERIAL * summary["pyserial_force"]["median"]["rate"],
            "instant_rate": summary[INSTANT]["median"]["rate"],
            "limit": MIN_RATE_RATIO_TO_PYSERIAL,
            "met": rate_ratio >= MIN_RATE_RATIO_TO_PYSERIAL,
        },
        "host_kinematics_added_us": {
            "value": added_us,
            "cpu_value": added_cpu_us,
            "computation_ns": kinematics["wall_ns"],
            "limit": MAX_KINEMATICS_ADDED_US,
            "met": added_us < MAX_KINEMATICS_ADDED_US,
        },
        "virtual_arm": {
            "service_us": service_us,
            "round_trip_us": round_trip_us,
            "service_share": service_us / round_trip_us,
            "device_cpu_us_per_request": summary[REFERENCE]["device_cpu_us_per_request"],
            "busiest_row": busiest,
            "busiest_share": busiest_share,
            "limit": MAX_DEVICE_SHARE,
            "met": service_us / round_trip_us < MAX_DEVICE_SHARE
            and busiest_share < MAX_DEVICE_SHARE,
        },
    }
    return targets


def target_lines(targets, summary):
    t1 = targets["latency_ratio_to_c"]
    t2 = targets["rate_ratio_to_pyserial"]
    t3 = targets["host_kinematics_added_us"]
    t4 = targets["virtual_arm"]
    return [
        f"- end_effector_force mean latency ÷ C client: {t1['value']:.3f} in alternate rounds "
        f"(range {t1['min']:.3f} to {t1['max']:.3f}; {t1['in_round_value']:.3f} with the rows "
        f"seconds apart; target ≤ {t1['limit']}): {verdict(t1['met'])}; with the reply already "
        f"queued the "
        f"module's own cost is {t1['module_client_us']:.2f} µs against the C client's "
        f"{t1['c_client_us']:.2f} µs ({t1['added_over_c_us']:+.2f} µs of binding, library and "
        f"Python)",
        f"- end_effector_force rate ÷ pyserial client: {t2['value']:.2f} "
        f"(target ≥ {t2['limit']}; the C client's: {t2['c_client_value']:.2f}): "
        f"{verdict(t2['met'])}; {t2['limit']} times pyserial is {t2['needed_rate']:,.0f} "
        f"exchanges/s, the C client makes {t2['instant_rate']:,.0f} against a responder that "
        f"does nothing",
        f"- get_end_effector_position(False) − joint_torques: {t3['value']:+.2f} µs mean latency, "
        f"{t3['cpu_value']:+.2f} µs CPU; the kinematics alone {t3['computation_ns']:.0f} ns "
        f"(target < {t3['limit']} µs): {verdict(t3['met'])}",
        f"- virtual arm service time: {t4['service_us']:.1f} µs of the C client's "
        f"{t4['round_trip_us']:.1f} µs round trip ({t4['service_share']:.0%}; C vs the arm minus "
        f"C vs an instant responder); device CPU {t4['device_cpu_us_per_request']:.1f} µs per "
        f"request; busiest row {summary[t4['busiest_row']]['label']}: device busy "
        f"{t4['busiest_share']:.0%} (target: both < {t4['limit']:.0%}): {verdict(t4['met'])}",
    ]


def device_lines(rows, summary):
    lines = []
    for row in rows:
        entry = summary[row.key]
        if row.device and row.device != "arm":
            lines.append(
                f"- {row.label}: device CPU {entry['device_cpu_us_per_request']:.1f} µs "
                f"per message, device busy {entry['device_busy_share']:.0%}"
            )
    return lines


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
