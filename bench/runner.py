"""The shared runner of the benches' rows: a row's timed loop and its
block of figures, the rounds in which rows take turns (a round slowed by
other work on the machine left out while enough clean ones remain), the
medians over the rounds, the machine's description and the results' files.
A row is a Row: measure(seconds) returns the figures of one block (see
stats.summarize_block) plus the number of requests its device served.

Each row makes untimed exchanges for WARMUP_SECONDS, then times single
exchanges in a tight loop for a given number of seconds. The warm-up is long
enough for the scheduler to settle a process that has just started or woken
up (the first tens of milliseconds run slower). Python rows time each call
with perf_counter_ns around the call alone and take the process CPU time of
this interpreter around the whole loop."""

import itertools
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

import TorviHardwareAPI as T
from stats import median_figures, paired_median, ratio, summarize_block

WARMUP_SECONDS = 0.1

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

# Before starting, and after a round slowed by other work, wait for the
# machine to be quiet (within --quiet-wait seconds for the whole run): other
# work on its cores slows a busy-waiting client far more than a sleeping one.
QUIET_BUSY_SHARE = 0.15
QUIET_SAMPLE_SECONDS = 0.5
QUIET_PAUSE_SECONDS = 2.0


class BlockFailed(RuntimeError):
    """An exchange in a block did not get its proper reply: the block's
    figures would not measure what they claim to."""


class Row:
    """A measured row: `key` names it in the results, `label` in the
    tables; `device` is the virtual device that serves it, if any."""

    key = ""
    label = ""
    device = None  # which virtual device serves the row, if any

    def measure(self, seconds):
        raise NotImplementedError

    def summary(self, own):
        """What the row adds to its summary, from its blocks `own`."""
        return {}

    def close(self):
        pass


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


def log(text):
    print(text, file=sys.stderr, flush=True)


def verdict(met):
    return "met" if met else "MISSED"


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


def round_is_clean(round_blocks, keys):
    """Whether the busy-waiting rows `keys` kept their processor in a round."""
    shares = [round_blocks[key]["on_cpu_share"] for key in keys]
    return statistics.median(shares) >= MIN_ROUND_ON_CPU_SHARE


def measure_all(rows, devices, repeats, seconds, quiet_wait, is_clean):
    """Rounds of one block per row, in an order rotated each round, until
    `repeats` rounds ran undisturbed by other work on the machine or twice
    that many rounds ran; after a disturbed round, waits for the machine to
    settle. `is_clean(round_blocks)` tells a round undisturbed. Returns every
    round."""
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
        clean = is_clean(round_blocks)
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
    """One row's medians over its blocks `own`, against the reference's."""
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
    entry.update(row.summary(own))
    return entry


def summarize(rows, blocks, reference):
    """Every row's summary, its mean latency against the row `reference`."""
    return {row.key: summarize_row(row, blocks[row.key], blocks[reference]) for row in rows}


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


def write_results(directory, result, text):
    """The run's JSON, copied to latest.json, and the table as latest.md."""
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / f"bench-{result['when']}.json"
    path.write_text(json.dumps(result, indent=1) + "\n")
    shutil.copyfile(path, directory / "latest.json")
    (directory / "latest.md").write_text(text + "\n")
    log(f"written {path}")
