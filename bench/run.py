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

The rows are those of exchange.py, native_loop.py and mesh_loop.py; the
record (recording.py) and the handle's listener (listener.py) are measured
once after the rounds; runner.py runs the rounds.
"""

import datetime
import os
import pathlib
import time

import alternate
import exchange
import listener
import mesh_loop
import native_loop
import recording
import runner
import TorviHardwareAPI as T
from devices import MeasuredDevice
from exchange import BUSY_WAITING_ARM_ROWS, REFERENCE
from options import REQUIRED, RESULTS, options_parser
from runner import log, select_rounds


def round_is_clean(round_blocks):
    """Whether the busy-waiting arm rows kept their processor in a round."""
    return runner.round_is_clean(round_blocks, BUSY_WAITING_ARM_ROWS)


def build_rows(tools, arm_path, stream_path, status_path):
    """Every row of the rounds, in order, and what must stay alive while
    they run (the arm's stream and the arm)."""
    stream = T.SerialStream(arm_path)
    arm = T.Armillar(stream)
    client = str(tools / "torvi-bench-client")
    rows = [
        *exchange.exchange_rows(client, arm, arm_path, stream_path, status_path),
        *native_loop.native_loop_rows(arm),
        *mesh_loop.mesh_loop_rows(arm),
    ]
    return rows, (stream, arm)


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
        native_loop.KILOHERTZ_RUN_SECONDS,
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
    (
        "--alternate-rounds",
        int,
        alternate.ROUNDS,
        "alternate rounds of the C client and each rival",
    ),
    (
        "--alternate-seconds",
        float,
        alternate.SECONDS,
        "length of one block in the alternate rounds",
    ),
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
                f"(at most {runner.MAX_ROUNDS_FACTOR * args.repeats} rounds)"
            )
            rounds = runner.measure_all(
                rows, devices, args.repeats, args.seconds, quiet_wait, round_is_clean
            )
            kilohertz = {}
            for key in (native_loop.NATIVE_1KHZ, mesh_loop.NATIVE_1KHZ_MESH):
                log(f"  {key} for {args.kilohertz_seconds:g} s")
                row = next(row for row in rows if row.key == key)
                kilohertz[key] = row.measure(args.kilohertz_seconds)
                kilohertz[key]["seconds"] = args.kilohertz_seconds
            kilohertz["alternate"] = alternate.measure_alternate(rows, keep[1], args)
            log(f"  the record: samples() of {args.samples_count:,} cycles, recorders at 1 kHz")
            kilohertz["record"] = recording.measure(
                keep[1], args.samples_count, args.recorder_seconds
            )
        finally:
            for row in rows:
                row.close()
            del keep
    return rows, rounds, kilohertz


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
            runner.table(rows, summary),
            "",
            "Targets:",
            *exchange.target_lines(targets, summary),
            *native_loop.native_loop_lines(targets),
            *recording.recording_lines(targets),
            *mesh_loop.mesh_lines(targets),
            "",
            "Native loop, CPU time per second of loop:",
            *native_loop.native_cpu_lines(rows, summary),
            "",
            "Virtual handles:",
            *exchange.device_lines(rows, summary),
        ]
    )


def main():
    args = parse_arguments()
    if args.alternate_only:
        alternate.alternate_only(args)
        return
    root = pathlib.Path(__file__).resolve().parent.parent
    info = runner.machine()
    quiet_wait = runner.QuietWait(args.quiet_wait, log)
    info["busy_share_before"] = quiet_wait()
    info["load_average_start"] = os.getloadavg()
    started = time.time()
    rows, rounds, kilohertz = run_rounds(args, quiet_wait)
    kinematics = exchange.kinematics_cost(str(args.tools / "torvi-bench-kinematics"))
    log("  the handle's listener")
    handle_listener = listener.measure(str(args.virtual_device))
    info["load_average_end"] = os.getloadavg()
    blocks, used = select_rounds(rounds)
    summary = runner.summarize(rows, blocks, REFERENCE)
    targets = exchange.client_targets(rows, blocks, summary, kinematics)
    targets["native_loop"] = native_loop.native_loop_targets(
        blocks, kilohertz[native_loop.NATIVE_1KHZ]
    )
    targets["mesh"] = mesh_loop.mesh_targets(blocks, kilohertz[mesh_loop.NATIVE_1KHZ_MESH])
    targets["recording"] = recording.recording_targets(kilohertz.pop("record"))
    alternates = kilohertz.pop("alternate")
    alternate.alternate_targets(targets, alternates)

    stamp = datetime.datetime.now().strftime("%Y%m%dT%H%M%S")
    text = report(info, args, rounds, used, time.time() - started, rows, summary, targets)
    text += "\n\n" + "\n".join(alternate.lines(alternates))
    text += "\n\n" + "\n".join(listener.lines(handle_listener))
    print(text)
    result = {
        "when": stamp,
        "revision": runner.git_revision(root),
        "machine": info,
        "settings": {
            "repeats": args.repeats,
            "seconds": args.seconds,
            "warmup_seconds": runner.WARMUP_SECONDS,
        },
        "rows": summary,
        "targets": targets,
        "kinematics": kinematics,
        "listener": handle_listener,
        "alternate": alternates,
        "rounds_used": used,
        "rounds": rounds,
        "order": [row.key for row in rows],
    }
    runner.write_results(args.results, result, text)


if __name__ == "__main__":
    main()
