"""Exchange rate and latency of the module, side by side with a raw C client
and a pyserial client, on the same virtual arm in one run; and the handle's
event and status rates on virtual handles.

Run through bench/run.sh, which builds what this needs and sets the paths.
Every row is measured in blocks; the rows take turns, in a rotated order, for
--repeats rounds, and each figure in the table is the median over the
rounds. Ratios and differences between two rows are taken within each round
and their median reported, so a slow spell of the machine hits both sides.
The module's latency and the native loop's rate against the C client are
measured once more in alternate rounds, the two sides back to back
(alternate.py): those are the figures held against their targets.
"""

import datetime
import json
import os
import pathlib
import platform
import shutil
import statistics
import subprocess
import sys
import time

import alternate as A
import listener as L
import recording
import rows as R
import TorviHardwareAPI as T
from devices import MeasuredDevice
from options import REQUIRED, RESULTS, options_parser
from stats import difference, median_figures, paired_median, ratio

REFERENCE = "c_force"
INSTANT = "c_instant"
C_QUEUED = "c_queued"
MODULE_QUEUED = "module_force_queued"

# The targets: the module's force exchange against pyserial, what host
# kinematics adds to a joint-state exchange, and the share of a round trip
# that the virtual arm may take. The module's and the native loop's against
# the C client are alternate.py's.
MIN_RATE_RATIO_TO_PYSERIAL = 3.5
MAX_KINEMATICS_ADDED_US = 2.0
MAX_DEVICE_SHARE = 0.5

# The native loop's targets: free-running against the C client's exchange
# rate; beside a busy Python thread against its own figures alone; at 1 kHz,
# over one run of KILOHERTZ_RUN_SECONDS, the rate, the lateness of its
# wake-ups and its share of one core.
NATIVE_FREE = "native_loop_free"
NATIVE_FREE_BUSY = "native_loop_free_busy"
NATIVE_1KHZ = "native_loop_1khz"
NATIVE_1KHZ_BUSY = "native_loop_1khz_busy"
NATIVE_FREE_MESH = "native_loop_free_mesh"
NATIVE_1KHZ_MESH = "native_loop_1khz_mesh"
MIN_MESH_RATE_RATIO = 0.9
MIN_BUSY_RATE_RATIO = 0.9
MAX_BUSY_P99_RATIO = 2.0
KILOHERTZ = 1000.0
KILOHERTZ_TOLERANCE = 2.0
KILOHERTZ_RUN_SECONDS = 10.0  # the default of --kilohertz-seconds
MAX_LATENESS_P99_US = 200.0
MAX_KILOHERTZ_CPU_SHARE = 0.15

# The record: free-running with it against without it, in the same rounds;
# one samples() call for a full record of a million cycles. Beside a busy
# Python process the C client is what any client of the arm gets under
# that load: the floor of the native loop's busy rows.
NATIVE_FREE_UNRECORDED = "native_loop_free_unrecorded"
C_BUSY = "c_force_busy"
MIN_RECORDING_RATE_RATIO = 0.98
MAX_SAMPLES_MS = 50.0

# One short untimed pass of every row before the rounds: a row that cannot
# run fails before any figure is taken.
TRIAL_SECONDS = 0.05

# A busy-waiting client keeps its processor. In a round where the
# busy-waiting arm rows ran, at the median, for less than this share of the
# wall time, other work on the machine took their processors: such rounds
# measure a busier machine and are left out of the medians as long as at
# least MIN_ROUNDS clean rounds remain. Rounds go on until --repeats clean
# ones ran, or MAX_ROUNDS_FACTOR times that many rounds in all.
MIN_ROUND_ON_CPU_SHARE = 0.8
MIN_ROUNDS = 5
MAX_ROUNDS_FACTOR = 2
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

# Before starting, and after a round slowed by other work, wait for the
# machine to be quiet (within --quiet-wait seconds for the whole run): other
# work on its cores slows a busy-waiting client far more than a sleeping one.
QUIET_BUSY_SHARE = 0.15
QUIET_SAMPLE_SECONDS = 0.5
QUIET_PAUSE_SECONDS = 2.0


def machine():
    def cpu_model():
        try:
            with open("/proc/cpuinfo") as info:
                for line in info:
                    if line.startswith("model name"):
                        return line.split(":", 1)[1].strip()
        except OSError:
            pass
        return platform.processor() or "unknown"

    return {
        "nproc": os.cpu_count(),
        "cpu_model": cpu_model(),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "module_version": T.__version__,
    }


def machine_busy_share(seconds=QUIET_SAMPLE_SECONDS):
    """Share of all cores busy over `seconds`, from /proc/stat."""

    def times():
        with open("/proc/stat") as stat:
            values = [int(v) for v in stat.readline().split()[1:]]
        idle = values[3] + values[4]  # idle and iowait
        return sum(values[:8]) - idle, sum(values[:8])

    busy_before, total_before = times()
    time.sleep(seconds)
    busy_after, total_after = times()
    total = total_after - total_before
    return (busy_after - busy_before) / total if total else 0.0


class QuietWait:
    """Waits for other work on the machine to settle, within one budget of
    seconds for the whole run. The bench's own processes are idle while it
    looks."""

    def __init__(self, budget, log):
        self.left = budget
        self.log = log

    def __call__(self):
        """Returns the last busy share seen."""
        start = time.monotonic()
        share = machine_busy_share()
        while share > QUIET_BUSY_SHARE and time.monotonic() - start < self.left:
            self.log(f"  the machine is {share:.0%} busy with other work; waiting for it to settle")
            time.sleep(QUIET_PAUSE_SECONDS)
            share = machine_busy_share()
        self.left = max(0.0, self.left - (time.monotonic() - start))
        return share


def git_revision(root):
    try:
        head = subprocess.run(
            ["git", "-C", str(root), "rev-parse", "--short", "HEAD"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        # The committed copy of the latest results is no change to the code.
        dirty = subprocess.run(
            [
                "git",
                "-C",
                str(root),
                "status",
                "--porcelain",
                "--untracked-files=no",
                "--",
                ".",
                ":!bench/results",
            ],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        return head + ("+changes" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def force_rows(client, arm_path, arm):
    """The C client's force exchange and the module's, the two rows that
    the others and the alternate rounds are measured against."""
    return [
        R.CClientRow(client, arm_path, REFERENCE, "C client: force exchange (the floor)"),
        R.ArmRow(arm, "module_force", "module: end_effector_force", "end_effector_force", R.FORCES),
    ]


def build_rows(tools, arm_path, stream_path, status_path):
    client = str(tools / "torvi-bench-client")
    stream = T.SerialStream(arm_path)
    arm = T.Armillar(stream)
    rows = [
        *force_rows(client, arm_path, arm),
        R.ArmRow(arm, "module_joint_torques", "module: joint_torques", "joint_torques", R.TORQUES),
        R.ArmRow(
            arm,
            "module_host_position",
            "module: get_end_effector_position(False)",
            "get_end_effector_position",
            [False],
        ),
        R.ArmRow(
            arm,
            "module_temperature",
            "module: get_temperature",
            "get_temperature",
            check=R.require_temperature,
        ),
        R.PySerialRow(arm_path),
        R.HandleReceiveRow(stream_path),
        R.HandleStatusRow(status_path),
        R.CClientRow(client, "--instant", INSTANT, "C client vs instant responder (pty only)"),
        R.CClientRow(client, "--queued", C_QUEUED, "C client, reply already queued (no device)"),
        R.QueuedReplyRow(),
        R.CClientRow(
            client, arm_path, C_BUSY, "C client: force exchange, busy Python process", busy=True
        ),
        *R.native_loop_rows(arm),
    ]
    return rows, (stream, arm)


def round_is_clean(round_blocks):
    """Whether the busy-waiting arm rows kept their processor in a round."""
    shares = [round_blocks[key]["on_cpu_share"] for key in BUSY_WAITING_ARM_ROWS]
    return statistics.median(shares) >= MIN_ROUND_ON_CPU_SHARE


def measure_all(rows, devices, repeats, seconds, quiet_wait, log):
    """Rounds of one block per row, in an order rotated each round, until
    `repeats` rounds ran undisturbed by other work on the machine or twice
    that many rounds ran; after a disturbed round, waits for the machine to
    settle. Returns every round."""
    for row in rows:
        row.measure(TRIAL_SECONDS)
    rounds = []
    while sum(r["clean"] for r in rounds) < repeats and len(rounds) < MAX_ROUNDS_FACTOR * repeats:
        shift = len(rounds) % len(rows)
        round_blocks = {}
        for row in rows[shift:] + rows[:shift]:
            device = devices.get(row.device)
            before = device.cpu_seconds() if device else 0.0
            figures = row.measure(seconds)
            # Process CPU time over wall time of the timed loop.
            figures["on_cpu_share"] = figures["cpu_us"] * figures["rate"] / 1e6
            figures["device_cpu_s"] = device.cpu_seconds() - before if device else None
            round_blocks[row.key] = figures
        clean = round_is_clean(round_blocks)
        rounds.append({"clean": clean, "blocks": round_blocks})
        log(f"  round {len(rounds)}: {'clean' if clean else 'slowed by other work on the machine'}")
        if not clean:
            quiet_wait()
    return rounds


def select_rounds(rounds):
    """The clean rounds when there are enough of them, else all."""
    clean = [r for r in rounds if r["clean"]]
    chosen = clean if len(clean) >= MIN_ROUNDS else rounds
    return {key: [r["blocks"][key] for r in chosen] for key in rounds[0]["blocks"]}, len(chosen)


def summarize_row(row, own, reference):
    """One row's medians over its blocks `own`, against the C client's."""
    figures = median_figures(own)
    figures["ratio_to_c"] = paired_median(
        [b["mean_us"] for b in own], [b["mean_us"] for b in reference], ratio
    )
    entry = {
        "label": row.label,
        "median": figures,
        "on_cpu_share": statistics.median(b["on_cpu_share"] for b in own),
    }
    if row.device:
        cpu = sum(b["device_cpu_s"] for b in own)
        requests = sum(b["requests"] for b in own)
        per_request_us = cpu / requests * 1e6
        entry["device_cpu_us_per_request"] = per_request_us
        entry["device_busy_share"] = per_request_us * figures["rate"] / 1e6
    if isinstance(row, R.NativeLoopRow):
        entry["cpu_share_of_one_core"] = statistics.median(b["on_cpu_share"] for b in own)
        entry["lateness_p99_us"] = statistics.median(b["lateness_p99_us"] for b in own)
        entry["overruns"] = sum(b["overruns"] for b in own)
        entry["realtime"] = all(b["realtime"] for b in own)
        # The last block's cycle periods in order, for a chart over time.
        entry["period_series_us"] = row.period_series_us
    return entry


def summarize(rows, blocks, kinematics):
    summary = {row.key: summarize_row(row, blocks[row.key], blocks[REFERENCE]) for row in rows}
    return summary, client_targets(rows, blocks, summary, kinematics)


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
            "limit": A.MAX_LATENCY_RATIO_TO_C,
            "module_client_us": summary[MODULE_QUEUED]["median"]["mean_us"],
            "c_client_us": summary[C_QUEUED]["median"]["mean_us"],
            "added_over_c_us": client_added_us,
            "met": latency_ratio <= A.MAX_LATENCY_RATIO_TO_C,
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


def mesh_targets(blocks, kilohertz):
    """The mesh rows: free-running with a 100k mesh against without; the
    long run at 1 kHz with a 1M mesh."""
    rate_ratio = paired_median(
        [x["rate"] for x in blocks[NATIVE_FREE_MESH]],
        [x["rate"] for x in blocks[NATIVE_FREE]],
        ratio,
    )
    rate = kilohertz["rate"]
    return {
        "free_rate_ratio": {
            "value": rate_ratio,
            "limit": MIN_MESH_RATE_RATIO,
            "met": rate_ratio >= MIN_MESH_RATE_RATIO,
        },
        "kilohertz": {
            "seconds": kilohertz["seconds"],
            "rate": rate,
            "lateness_p99_us": kilohertz["lateness_p99_us"],
            "overruns": kilohertz["overruns"],
            "met": abs(rate - KILOHERTZ) <= KILOHERTZ_TOLERANCE,
        },
    }


def mesh_lines(targets):
    free, khz = targets["mesh"]["free_rate_ratio"], targets["mesh"]["kilohertz"]
    return [
        f"- native loop, free-running, pressed into a 100k-triangle mesh: rate ÷ without "
        f"{free['value']:.2f} (target ≥ {free['limit']}): {verdict(free['met'])}",
        f"- native loop at 1 kHz pressed into a 1M-triangle mesh for {khz['seconds']:g} s: "
        f"{khz['rate']:.1f} cycles/s (target {KILOHERTZ:.0f} ± {KILOHERTZ_TOLERANCE:.0f}), p99 "
        f"lateness {khz['lateness_p99_us']:.0f} µs, {khz['overruns']} overruns: "
        + verdict(khz["met"]),
    ]


def native_loop_targets(blocks, kilohertz):
    """The native loop's figures against its targets (see the constants). The
    long run's cycle periods are the 1 kHz row's period_series_us."""

    def paired(a, b, name):
        return paired_median([x[name] for x in blocks[a]], [x[name] for x in blocks[b]], ratio)

    rate_ratio = paired(NATIVE_FREE, REFERENCE, "rate")
    busy_rate_ratio = paired(NATIVE_FREE_BUSY, NATIVE_FREE, "rate")
    busy_p99_ratio = paired(NATIVE_FREE_BUSY, NATIVE_FREE, "p99_us")
    recorded_ratio = paired(NATIVE_FREE, NATIVE_FREE_UNRECORDED, "rate")
    kilohertz_cpu = kilohertz["cpu_us"] * kilohertz["rate"] / 1e6
    return {
        "free_rate_ratio_to_c": {
            "value": rate_ratio,
            "limit": A.MIN_NATIVE_RATE_RATIO_TO_C,
            "met": rate_ratio >= A.MIN_NATIVE_RATE_RATIO_TO_C,
        },
        "busy_thread": {
            "rate_ratio": busy_rate_ratio,
            "p99_ratio": busy_p99_ratio,
            "rate_limit": MIN_BUSY_RATE_RATIO,
            "p99_limit": MAX_BUSY_P99_RATIO,
            "met": busy_rate_ratio >= MIN_BUSY_RATE_RATIO and busy_p99_ratio <= MAX_BUSY_P99_RATIO,
        },
        "recording_rate_ratio": {
            "value": recorded_ratio,
            "limit": MIN_RECORDING_RATE_RATIO,
            "met": recorded_ratio >= MIN_RECORDING_RATE_RATIO,
        },
        "busy_rate_ratio_to_c_busy": paired(NATIVE_FREE_BUSY, C_BUSY, "rate"),
        "kilohertz": {
            "seconds": kilohertz["seconds"],
            "rate": kilohertz["rate"],
            "lateness_p99_us": kilohertz["lateness_p99_us"],
            "cpu_share_of_one_core": kilohertz_cpu,
            "overruns": kilohertz["overruns"],
            "realtime": kilohertz["realtime"],
            "met": abs(kilohertz["rate"] - KILOHERTZ) <= KILOHERTZ_TOLERANCE
            and kilohertz["lateness_p99_us"] < MAX_LATENESS_P99_US
            and kilohertz_cpu < MAX_KILOHERTZ_CPU_SHARE,
        },
    }


def native_loop_lines(targets):
    t = targets["native_loop"]
    free, busy, khz = t["free_rate_ratio_to_c"], t["busy_thread"], t["kilohertz"]
    recorded = t["recording_rate_ratio"]
    return [
        f"- native loop, free-running, recording ÷ not recording: rate {recorded['value']:.3f} "
        f"(target ≥ {recorded['limit']}): {verdict(recorded['met'])}",
        f"- native loop beside a busy Python thread ÷ C client beside a busy Python process: "
        f"rate {t['busy_rate_ratio_to_c_busy']:.2f}",
        f"- native loop, free-running, one Damper: rate ÷ C client {free['value']:.3f} in "
        f"alternate rounds (range {free['min']:.3f} to {free['max']:.3f}; with a wall too and "
        f"the rows seconds apart {free['in_round_value']:.3f}; target ≥ {free['limit']}): "
        f"{verdict(free['met'])}",
        f"- native loop beside a busy Python thread: rate ÷ alone {busy['rate_ratio']:.2f} "
        f"(target ≥ {busy['rate_limit']}), p99 period ÷ alone {busy['p99_ratio']:.2f} "
        f"(target ≤ {busy['p99_limit']}): {verdict(busy['met'])}",
        f"- native loop at 1 kHz for {khz['seconds']:g} s: {khz['rate']:.1f} cycles/s "
        f"(target {KILOHERTZ:.0f} ± {KILOHERTZ_TOLERANCE:.0f}), p99 lateness "
        f"{khz['lateness_p99_us']:.0f} µs (target < {MAX_LATENESS_P99_US:.0f}), "
        f"{khz['cpu_share_of_one_core']:.1%} of one core (target < "
        f"{MAX_KILOHERTZ_CPU_SHARE:.0%}), {khz['overruns']} overruns, "
        f"{'SCHED_FIFO' if khz['realtime'] else 'normal priority'}: {verdict(khz['met'])}",
    ]


def alternate_targets(targets, alternate):
    """The module's latency and the native loop's rate against the C client
    as the alternate rounds measured them; the in-round ratios, taken with
    the rows seconds apart, kept beside as `in_round_value`."""
    pairs = (
        (targets["latency_ratio_to_c"], "module_force_latency"),
        (targets["native_loop"]["free_rate_ratio_to_c"], "native_loop_free_rate"),
    )
    for target, key in pairs:
        figures = alternate[key]
        target["in_round_value"] = target["value"]
        for name in ("value", "min", "q1", "q3", "max", "met"):
            target[name] = figures[name]


def recording_targets(record):
    call = record["samples_call"]
    return {
        "samples_call": {**call, "limit_ms": MAX_SAMPLES_MS, "met": call["ms"] < MAX_SAMPLES_MS},
        "recorders": record["recorders"],
    }


def recording_lines(targets):
    call = targets["recording"]["samples_call"]
    lines = [
        f"- samples() of {call['samples']:,} cycles: {call['ms']:.1f} ms in memory the process "
        f"used before (target < {call['limit_ms']:.0f}): {verdict(call['met'])}; the first "
        f"call, in new memory: {call['first_ms']:.1f} ms"
    ]
    for r in targets["recording"]["recorders"]:
        lines.append(
            f"- Recorder to {r['format']} at 1 kHz for {r['seconds']:.0f} s: its thread used "
            f"{r['cpu_share_of_one_core']:.2%} of one core; {r['written']:,} samples written, "
            f"{r['dropped']} dropped, {r['bytes_per_sample']:.0f} bytes each"
        )
    return lines


def native_cpu_lines(rows, summary):
    """The loop thread's CPU time per second of loop, for each native row."""
    return [
        f"- {row.label}: the loop's thread used {summary[row.key]['cpu_share_of_one_core']:.1%} "
        f"of one core; p99 wake-up lateness {summary[row.key]['lateness_p99_us']:.0f} µs"
        for row in rows
        if isinstance(row, R.NativeLoopRow)
    ]


def table(rows, summary):
    lines = [
        "| row | exchanges/s | mean µs | p50 µs | p99 µs | CPU µs/exchange | mean ÷ C |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for row in rows:
        m = summary[row.key]["median"]
        lines.append(
            f"| {row.label} | {m['rate']:,.0f} | {m['mean_us']:.1f} | {m['p50_us']:.1f} | "
            f"{m['p99_us']:.1f} | {m['cpu_us']:.1f} | {m['ratio_to_c']:.2f} |"
        )
    return "\n".join(lines)


def verdict(met):
    return "met" if met else "MISSED"


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


# The command line, one option a row (options.py says how a row reads).
OPTIONS = [
    ("--tools", pathlib.Path, REQUIRED, "directory with the bench programs (C client, kinematics)"),
    ("--virtual-device", pathlib.Path, REQUIRED, "the torvi-virtual-device program"),
    ("--repeats", int, 9, "clean interleaved rounds to run (at least 5)"),
    ("--seconds", float, 0.4, "length of one block"),
    (
        "--quiet-wait",
        float,
        120.0,
        "seconds to wait at most, in all, for other work on the machine to settle",
    ),
    (
        "--kilohertz-seconds",
        float,
        KILOHERTZ_RUN_SECONDS,
        "length of the native loop's one long run at 1 kHz",
    ),
    (
        "--samples-count",
        int,
        recording.SAMPLES_COUNT,
        "cycles in the record that one samples() call takes",
    ),
    (
        "--recorder-seconds",
        float,
        recording.RECORDER_SECONDS,
        "length of each Recorder's run at 1 kHz",
    ),
    ("--alternate-rounds", int, A.ROUNDS, "alternate rounds of the C client and each rival"),
    ("--alternate-seconds", float, A.SECONDS, "length of one block in the alternate rounds"),
    ("--alternate-only", bool, False, "measure the alternate rounds alone (on the virtual arm)"),
    ("--results", pathlib.Path, RESULTS, None),
]


def parse_arguments():
    parser = options_parser(__doc__, OPTIONS)
    args = parser.parse_args()
    if args.repeats < 5:
        parser.error("--repeats must be at least 5")
    if args.alternate_rounds < 2:
        parser.error("--alternate-rounds must be at least 2")
    return args


def log(text):
    print(text, file=sys.stderr, flush=True)


def run_rounds(args, quiet_wait):
    """Starts the three virtual devices and measures every row in rounds,
    then the native loop at 1 kHz in one long run; returns the rows (closed),
    the rounds and the long run's figures."""
    program = str(args.virtual_device)
    with MeasuredDevice("arm", program=program) as arm_device, MeasuredDevice(
        "handle", "--stream-hz", "max", program=program
    ) as stream_device, MeasuredDevice("handle", program=program) as status_device:
        devices = {
            "arm": arm_device,
            "handle_stream": stream_device,
            "handle_status": status_device,
        }
        rows, keep = build_rows(args.tools, arm_device.path, stream_device.path, status_device.path)
        try:
            log(
                f"{len(rows)} rows; {args.repeats} clean rounds of {args.seconds} s blocks "
                f"(at most {MAX_ROUNDS_FACTOR * args.repeats} rounds)"
            )
            rounds = measure_all(rows, devices, args.repeats, args.seconds, quiet_wait, log)
            kilohertz = {}
            for key in (NATIVE_1KHZ, NATIVE_1KHZ_MESH):
                log(f"  {key} for {args.kilohertz_seconds:g} s")
                row = next(row for row in rows if row.key == key)
                kilohertz[key] = row.measure(args.kilohertz_seconds)
                kilohertz[key]["seconds"] = args.kilohertz_seconds
            kilohertz["alternate"] = measure_alternate(rows, keep[1], args)
            log(f"  the record: samples() of {args.samples_count:,} cycles, recorders at 1 kHz")
            kilohertz["record"] = recording.measure(
                keep[1], args.samples_count, args.recorder_seconds
            )
        finally:
            for row in rows:
                row.close()
            del keep
    return rows, rounds, kilohertz


def measure_alternate(rows, arm, args):
    """The alternate rounds (alternate.py) on `rows` and a native loop with
    one Damper on `arm`."""
    damper = R.damper_loop_row(arm)
    try:
        by_key = {row.key: row for row in [*rows, damper]}
        return A.measure(by_key, args.alternate_rounds, args.alternate_seconds, log)
    finally:
        damper.close()


def alternate_only(args):
    """--alternate-only: the alternate rounds alone, on a virtual arm of
    their own; written as alternate-latest.json and .md."""
    with MeasuredDevice("arm", program=str(args.virtual_device)) as device:
        stream = T.SerialStream(device.path)
        arm = T.Armillar(stream)
        client = str(args.tools / "torvi-bench-client")
        results = measure_alternate(force_rows(client, device.path, arm), arm, args)
        del arm, stream
    text = "\n".join(A.lines(results))
    print(text)
    args.results.mkdir(parents=True, exist_ok=True)
    (args.results / "alternate-latest.json").write_text(json.dumps(results, indent=1) + "\n")
    (args.results / "alternate-latest.md").write_text(text + "\n")


def report(info, args, rounds, used, took_s, rows, summary, targets):
    """The table and notes printed and kept as latest.md."""
    dropped = len(rounds) - used if used < len(rounds) else 0
    clean = sum(r["clean"] for r in rounds)
    return "\n".join(
        [
            f"Machine: {info['nproc']} cores, {info['cpu_model']}, Linux {info['kernel']}, "
            f"Python {info['python']}; other work on the machine before the start: "
            f"{info['busy_share_before']:.0%} of its cores",
            f"Medians of {used} interleaved rounds of {args.seconds} s per row "
            f"({took_s:.0f} s in all); mean ÷ C is the C client's mean latency "
            f"ratio, taken within each round. "
            + (
                f"{dropped} more rounds were left out: other work on the machine took the "
                f"processors during them."
                if dropped
                else "Every round was clean."
                if clean == len(rounds)
                else f"Only {clean} of the {len(rounds)} rounds ran undisturbed by other work on "
                f"the machine; all are used, and the busy-waiting rows are slower than "
                f"the machine allows."
            ),
            "",
            table(rows, summary),
            "",
            "Targets:",
            *target_lines(targets, summary),
            *native_loop_lines(targets),
            *recording_lines(targets),
            *mesh_lines(targets),
            "",
            "Native loop, CPU time per second of loop:",
            *native_cpu_lines(rows, summary),
            "",
            "Virtual handles:",
            *device_lines(rows, summary),
        ]
    )


def write_results(directory, result, text):
    """The run's JSON, copied to latest.json, and the table as latest.md."""
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / f"bench-{result['when']}.json"
    path.write_text(json.dumps(result, indent=1) + "\n")
    shutil.copyfile(path, directory / "latest.json")
    (directory / "latest.md").write_text(text + "\n")
    log(f"written {path}")


def main():
    args = parse_arguments()
    if args.alternate_only:
        alternate_only(args)
        return
    root = pathlib.Path(__file__).resolve().parent.parent
    info = machine()
    quiet_wait = QuietWait(args.quiet_wait, log)
    info["busy_share_before"] = quiet_wait()
    info["load_average_start"] = os.getloadavg()
    started = time.time()
    rows, rounds, kilohertz = run_rounds(args, quiet_wait)
    kinematics = R.kinematics_cost(str(args.tools / "torvi-bench-kinematics"))
    log("  the handle's listener")
    listener = L.measure(str(args.virtual_device))
    info["load_average_end"] = os.getloadavg()
    blocks, used = select_rounds(rounds)
    summary, targets = summarize(rows, blocks, kinematics)
    targets["native_loop"] = native_loop_targets(blocks, kilohertz[NATIVE_1KHZ])
    targets["mesh"] = mesh_targets(blocks, kilohertz[NATIVE_1KHZ_MESH])
    targets["recording"] = recording_targets(kilohertz.pop("record"))
    alternate = kilohertz.pop("alternate")
    alternate_targets(targets, alternate)

    stamp = datetime.datetime.now().strftime("%Y%m%dT%H%M%S")
    text = report(info, args, rounds, used, time.time() - started, rows, summary, targets)
    text += "\n\n" + "\n".join(A.lines(alternate))
    text += "\n\n" + "\n".join(L.lines(listener))
    print(text)
    result = {
        "when": stamp,
        "revision": git_revision(root),
        "machine": info,
        "settings": {
            "repeats": args.repeats,
            "seconds": args.seconds,
            "warmup_seconds": R.WARMUP_SECONDS,
        },
        "rows": summary,
        "targets": targets,
        "kinematics": kinematics,
        "listener": listener,
        "alternate": alternate,
        "rounds_used": used,
        "rounds": rounds,
        "order": [row.key for row in rows],
    }
    write_results(args.results, result, text)


if __name__ == "__main__":
    main()
