"""The haptic loop's record, measured once per run outside the rounds: how
long samples() takes for a full record of a million cycles, and what share
of one core a Recorder's thread uses writing CSV and Parquet at 1 kHz."""

import os
import tempfile
import time

from torvi.recording import Recorder
from TorviHardwareAPI.haptics import HapticLoop

SAMPLES_COUNT = 1_000_000
SAMPLES_FILL_LIMIT_S = 300.0
RECORDER_RATE_HZ = 1000.0
RECORDER_SECONDS = 10.0
RECORDER_FORMATS = (".csv", ".parquet")


def samples_cost(arm, count=SAMPLES_COUNT):
    """Fills a record of `count` cycles with a free-running loop, stops it,
    then times the one samples() call that takes them all."""
    loop = HapticLoop(arm, record=count)
    with loop:
        deadline = time.monotonic() + SAMPLES_FILL_LIMIT_S
        while loop.stats().cycles < count and loop.running:
            if time.monotonic() > deadline:
                raise RuntimeError(f"the loop ran {loop.stats().cycles} of {count} cycles")
            time.sleep(0.1)
    if loop.error is not None:
        raise RuntimeError(f"the loop stopped: {loop.error}")
    started = time.perf_counter()
    samples = loop.samples()
    took = time.perf_counter() - started
    return {"samples": len(samples), "ms": took * 1e3}


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
