"""Summaries of measured blocks: latency percentiles of one block, and the
median over interleaved repeats of a figure or of a paired ratio."""

import math
import statistics


def percentile(sorted_values, p):
    """Nearest-rank percentile of an ascending sequence (the C client uses
    the same definition)."""
    if not sorted_values:
        raise ValueError("no values")
    rank = max(1, math.ceil(p / 100.0 * len(sorted_values)))
    return sorted_values[rank - 1]


def summarize_block(latencies_ns, elapsed_s, cpu_s):
    """The figures of one measured block: latencies of single exchanges in
    nanoseconds, the wall time of the whole loop and the process CPU time
    it used."""
    count = len(latencies_ns)
    if count == 0 or elapsed_s <= 0:
        raise ValueError("an empty block")
    ordered = sorted(latencies_ns)
    return {
        "exchanges": count,
        "rate": count / elapsed_s,
        "mean_us": sum(ordered) / count / 1000.0,
        "p50_us": percentile(ordered, 50) / 1000.0,
        "p99_us": percentile(ordered, 99) / 1000.0,
        "cpu_us": cpu_s / count * 1e6,
    }


FIGURES = ("rate", "mean_us", "p50_us", "p99_us", "cpu_us")


def median_figures(blocks):
    """Each figure's median over the repeats of one row."""
    return {name: statistics.median(block[name] for block in blocks) for name in FIGURES}


def paired_median(numerators, denominators, combine):
    """Median over repeats of combine(a, b), each pair taken from the same
    repeat, so that a slow spell of the machine hits both sides alike."""
    if len(numerators) != len(denominators) or not numerators:
        raise ValueError("repeats do not pair up")
    return statistics.median(combine(a, b) for a, b in zip(numerators, denominators))


def ratio(a, b):
    return a / b


def difference(a, b):
    return a - b


def spread(values):
    """The least, the greatest and the quartiles of `values` (the
    inclusive method: the quartiles lie within the range)."""
    q1, _, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return {"min": min(values), "q1": q1, "q3": q3, "max": max(values)}
