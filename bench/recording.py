"""The haptic loop's record, measured once per run outside the rounds: how
long samples() takes for a full record of a million cycles (first in new
memory, then in memory the process has used before), and what share of one
core a Recorder's thread uses writing CSV and Parquet at 1 kHz."""

import os
import tempfile
import time

import numpy as np

from runner import verdict
from torvi.recording import Recorder
from TorviHardwareAPI.haptics import HapticLoop

SAMPLES_COUNT = 1_000_000
SAMPLES_FILL_LIMIT_S = 300.0
RECORDER_RATE_HZ = 1000.0
RECORDER_SECONDS = 10.0
RECORDER_FORMATS = (".csv", ".parquet")
# The target: one samples() call for a full record of SAMPLES_COUNT cycles.
MAX_SAMPLES_MS = 50.0


def filled_loop(arm, count):
    """A stopped loop whose record holds `count` cycles, run free-running."""
    loop = HapticLoop(arm, record=count)
    with loop:
        deadline = time.monotonic() + SAMPLES_FILL_LIMIT_S
        while loop.stats().cycles < count and loop.running:
            if time.monotonic() > deadline:
                raise RuntimeError(f"the loop ran {loop.stats().cycles} of {count} cycles")
            time.sleep(0.1)
    if loop.error is not None:
        raise RuntimeError(f"the loop stopped: {loop.error}")
    return loop


def use_and_free(count):
    """Arrays of the samples' shapes and types, written to and freed: memory
    the process has used, for the allocator to hand back."""
    shapes = [((count,), np.uint64), ((count,), np.float64), *[((count, 3), np.float32)] * 4]
    arrays = [np.ones(shape, dtype) for shape, dtype in [*shapes, ((count,), np.float32)]]
    del arrays


def samples_cost(arm, count=SAMPLES_COUNT):
    """The one samples() call that takes a full record of `count` cycles,
    twice: first in memory the process never used (each page of the new
    arrays faulted in by the kernel), then again once the allocator has
    that much memory to hand back (as in a program that takes its samples
    over and over)."""
    figures = {}
    for key in ("first_ms", "later_ms"):
        loop = filled_loop(arm, count)
        if key == "later_ms":
            use_and_free(count)
        started = time.perf_counter()
        samples = loop.samples()
        figures[key] = (time.perf_counter() - started) * 1e3
        figures["samples"] = len(samples)
        del samples, loop
    return {**figures, "ms": figures["later_ms"]}


def recorder_cpu(arm, suffix, seconds=RECORDER_SECONDS):
    """A 1 kHz loop recorded to a file for `seconds`: the recorder thread's
    share of one core, and what it wrote."""
    loop = HapticLoop(arm, rate_hz=RECORDER_RATE_HZ)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, f"run{suffix}")
        started = time.perf_counter()
        with Recorder(loop, path) as recorder, loop:
            time.sleep(seconds)
        elapsed = time.perf_counter() - started
        size = os.path.getsize(path)
    return {
        "format": suffix,
        "seconds": elapsed,
        "written": recorder.written,
        "dropped": recorder.dropped,
        "bytes_per_sample": size / max(recorder.written, 1),
        "cpu_share_of_one_core": recorder.cpu_seconds / elapsed,
    }


def measure(arm, count=SAMPLES_COUNT, seconds=RECORDER_SECONDS):
    return {
        "samples_call": samples_cost(arm, count),
        "recorders": [recorder_cpu(arm, suffix, seconds) for suffix in RECORDER_FORMATS],
    }


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
