"""Readers of the record and the LSL streams, on the virtual arm:

- the free-running loop's rate with 0, 1 and 3 readers draining it (each a
  thread taking reader.samples() every 10 ms), the conditions taking turns
  over several rounds, each figure the median over the rounds;
- what readers cost the loop's thread alone: one push into the record
  with 0, 1 and 3 reader threads draining (torvi-bench-ring, C++), the
  writer unpaced and paced at one push every 20 us;
- the LSL stream of a 1 kHz loop (torvi.lsl.stream_loop): the share of one
  core its pushing thread uses, and the whole process's against the same
  loop without a stream (which also counts liblsl's own threads);
- the latency from a cycle (its reply time) to an inlet in another process
  on the same machine, p50 and p99, which includes the stream's 10 ms
  pushing interval.

Run by bench/run.sh after the passivity bench (`bash bench/run.sh --streams`
runs this alone). Writes bench/results/streams-latest.json and
streams-latest.md."""

import argparse
import json
import os
import pathlib
import platform
import resource
import subprocess
import sys
import threading
import time

import numpy as np

import torvi.lsl
import TorviHardwareAPI as T
from options import write_results
from torvi.virtual import VirtualDevice
from TorviHardwareAPI.haptics import HapticLoop

READERS = (0, 1, 3)
ROUNDS = 7
BLOCK_S = 1.0
DRAIN_INTERVAL_S = 0.01
STREAM_RATE_HZ = 1000.0
STREAM_S = 5.0
LATENCY_S = 5.0
RESULTS = pathlib.Path(__file__).resolve().parent / "results"

# The inlet in a process of its own: every sample's age when it is pulled,
# on LSL's clock (the sample's stamp is its cycle's reply time).
INLET = """
import json, sys, pylsl
found = pylsl.resolve_byprop("name", sys.argv[1], timeout=10.0)
inlet = pylsl.StreamInlet(found[0], max_buflen=60)
inlet.open_stream(timeout=10.0)
print("open", flush=True)
ages, end = [], pylsl.local_clock() + float(sys.argv[2])
while pylsl.local_clock() < end:
    # One sample at a time: a chunk pulled with a time-out waits for its
    # buffer to fill.
    _, stamp = inlet.pull_sample(timeout=0.05)
    if stamp is not None:
        ages.append(pylsl.local_clock() - stamp)
inlet.close_stream()
print(json.dumps(ages))
"""


def drain(reader, stopping, taken):
    while not stopping.wait(DRAIN_INTERVAL_S):
        taken[0] += len(reader.samples())
    taken[0] += len(reader.samples())


def rate_with_readers(arm, readers, seconds):
    """The free-running loop's cycles per second over `seconds` with
    `readers` threads draining readers of their own; and whether each got
    every cycle."""
    loop = HapticLoop(arm)
    stopping = threading.Event()
    counts = [[0] for _ in range(readers)]
    threads = [
        threading.Thread(target=drain, args=(loop.reader(), stopping, count)) for count in counts
    ]
    for thread in threads:
        thread.start()
    with loop:
        time.sleep(seconds)
    stopping.set()
    for thread in threads:
        thread.join()
    stats = loop.stats()
    return stats.rate_hz, all(count[0] == stats.cycles for count in counts)


def reader_rates(arm, rounds, seconds):
    rates = {n: [] for n in READERS}
    complete = True
    for round_index in range(rounds):
        order = READERS[round_index % len(READERS) :] + READERS[: round_index % len(READERS)]
        for readers in order:
            rate, whole = rate_with_readers(arm, readers, seconds)
            rates[readers].append(rate)
            complete = complete and whole
    medians = {n: float(np.median(values)) for n, values in rates.items()}
    ratio = [three / one for three, one in zip(rates[3], rates[1])]
    return {
        "rates_hz": rates,
        "median_hz": medians,
        "three_over_one_median": float(np.median(ratio)),
        "one_reader_spread": float((max(rates[1]) - min(rates[1])) / medians[1]),
        "every_reader_got_every_cycle": complete,
    }


def ring_cost(program):
    if program is None:
        return None
    output = subprocess.run([program], capture_output=True, text=True, check=True).stdout
    return json.loads(output)


def process_cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def stream_cpu(arm, seconds):
    """A 1 kHz loop for `seconds` with and without a stream (no consumer):
    the process's share of a core each way, and the pushing thread's."""
    figures = {}
    for streamed in (False, True):
        loop = HapticLoop(arm, rate_hz=STREAM_RATE_HZ)
        stream = torvi.lsl.stream_loop(loop, name="TorviArmBench") if streamed else None
        before, started = process_cpu(), time.perf_counter()
        if stream is not None:
            stream.start()
        with loop:
            time.sleep(seconds)
        if stream is not None:
            stream.stop()
        elapsed = time.perf_counter() - started
        key = "with_stream" if streamed else "without_stream"
        figures[key] = (process_cpu() - before) / elapsed
        if stream is not None:
            figures["pusher_share"] = stream.cpu_seconds / elapsed
            figures["pushed"] = stream.pushed
            figures["cycles"] = loop.stats().cycles
    figures["stream_share"] = figures["with_stream"] - figures["without_stream"]
    return figures


def latency(arm, seconds):
    """A 1 kHz loop streamed to an inlet in another process: the age of each
    sample when the inlet pulled it."""
    loop = HapticLoop(arm, rate_hz=STREAM_RATE_HZ)
    with torvi.lsl.stream_loop(loop, name="TorviArmLatency") as stream:
        inlet = subprocess.Popen(
            [sys.executable, "-c", INLET, "TorviArmLatency", str(seconds)],
            stdout=subprocess.PIPE,
            text=True,
        )
        assert inlet.stdout is not None
        if inlet.stdout.readline().strip() != "open":
            raise RuntimeError("the inlet did not open")
        with loop:
            time.sleep(seconds + 0.5)
        ages = np.array(json.loads(inlet.stdout.readline())) * 1e3
        inlet.wait(timeout=30)
    return {
        "received": len(ages),
        "pushed": stream.pushed,
        "p50_ms": float(np.percentile(ages, 50)),
        "p99_ms": float(np.percentile(ages, 99)),
        "max_ms": float(ages.max()),
    }


def lines(result):
    readers, cpu, lag = result["readers"], result["stream_cpu"], result["latency"]
    ring = result["ring"]
    pushes = (
        [
            "One push into the record (torvi-bench-ring), readers draining every 1 ms: "
            + "; ".join(
                f"{n} readers {ring[str(n)]['unpaced_ns']:.1f} ns unpaced, "
                f"{ring[str(n)]['paced_p50_ns']:.0f} ns p50 / {ring[str(n)]['paced_p99_ns']:.0f} "
                f"ns p99 paced"
                for n in READERS
            )
            + f"; every reader accounted for every sample: "
            f"{ring['every_reader_accounted_for_every_sample']}",
            "",
        ]
        if ring
        else []
    )
    rates = ", ".join(f"{n}: {readers['median_hz'][n]:,.0f}/s" for n in READERS)
    return [
        f"Machine: {result['machine']['nproc']} cores, Linux {result['machine']['kernel']}, "
        f"Python {result['machine']['python']}; load average "
        f"{result['machine']['load_start']:.1f} at the start, "
        f"{result['machine']['load_end']:.1f} at the end (other work on the machine)",
        "",
        f"Free-running loop on the virtual arm, readers draining every "
        f"{DRAIN_INTERVAL_S * 1e3:.0f} ms (median of {result['settings']['rounds']} rounds of "
        f"{result['settings']['block_s']:g} s): {rates}",
        f"  3 readers / 1 reader, median of the rounds' ratios: "
        f"{readers['three_over_one_median']:.3f}; one reader's spread over the rounds "
        f"(max - min) / median: {readers['one_reader_spread']:.1%}; every reader got every "
        f"cycle: {readers['every_reader_got_every_cycle']}",
        "",
        *pushes,
        f"LSL stream of a 1 kHz loop, no consumer, {STREAM_S:g} s: pushing thread "
        f"{cpu['pusher_share']:.1%} of a core; the process {cpu['with_stream']:.1%} with the "
        f"stream against {cpu['without_stream']:.1%} without ({cpu['stream_share']:+.1%}); "
        f"pushed {cpu['pushed']} of {cpu['cycles']} cycles",
        f"Cycle to an inlet in another process, {LATENCY_S:g} s at 1 kHz: p50 "
        f"{lag['p50_ms']:.2f} ms, p99 {lag['p99_ms']:.2f} ms, max {lag['max_ms']:.2f} ms "
        f"({lag['received']} of {lag['pushed']} received; the stream pushes every "
        f"{torvi.lsl.PUSH_INTERVAL * 1e3:.0f} ms)",
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--virtual-device", default=None, help="the torvi-virtual-device program")
    parser.add_argument("--ring-program", default=None, help="the torvi-bench-ring program")
    parser.add_argument("--rounds", type=int, default=ROUNDS)
    parser.add_argument("--seconds", type=float, default=BLOCK_S)
    parser.add_argument("--results", type=pathlib.Path, default=RESULTS)
    args = parser.parse_args()
    with VirtualDevice("arm", program=args.virtual_device) as device:
        arm = T.Armillar(T.SerialStream(device.path))
        result = {
            "when": time.strftime("%Y%m%dT%H%M%S"),
            "machine": {
                "nproc": os.cpu_count(),
                "kernel": platform.release(),
                "python": platform.python_version(),
                "load_start": os.getloadavg()[0],
            },
            "settings": {"rounds": args.rounds, "block_s": args.seconds},
            "readers": reader_rates(arm, args.rounds, args.seconds),
            "ring": ring_cost(args.ring_program),
            "stream_cpu": stream_cpu(arm, STREAM_S),
            "latency": latency(arm, LATENCY_S),
        }
    result["machine"]["load_end"] = os.getloadavg()[0]
    text = "\n".join(lines(result))
    write_results(args.results, "streams", result, text)


if __name__ == "__main__":
    main()
