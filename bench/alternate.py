"""Two rows measured in alternate rounds, back to back: the C client's force
exchange against the native loop (free-running, one Damper) for the rate,
and against the module's end_effector_force for the mean latency.

The machine's speed drifts by a third within minutes, so a ratio of two
rows measured seconds or minutes apart says more about the drift than about
either row. Here each round measures both rows one after the other, the
order swapped every round (so that neither always runs first), and the
figure is the median of the per-round ratios, with their spread.
"""

import statistics

from stats import spread

# Rounds and the length of each block in them (the defaults of
# --alternate-rounds and --alternate-seconds).
ROUNDS = 7
SECONDS = 1.0

# The targets: the native loop's rate at least this share of the C
# client's, the module's mean latency at most this multiple of it.
MIN_NATIVE_RATE_RATIO_TO_C = 0.95
MAX_LATENCY_RATIO_TO_C = 1.10

# The comparisons: (key, row measured, row it is divided by, figure, label,
# the target as (sense, limit)).
COMPARISONS = (
    (
        "native_loop_free_rate",
        "native_loop_damper",
        "c_force",
        "rate",
        "native loop, free-running, one Damper: rate ÷ C client",
        (">=", MIN_NATIVE_RATE_RATIO_TO_C),
    ),
    (
        "module_force_latency",
        "module_force",
        "c_force",
        "mean_us",
        "end_effector_force mean latency ÷ C client",
        ("<=", MAX_LATENCY_RATIO_TO_C),
    ),
)


def measure_pair(row, reference, figure, rounds, seconds):
    """The per-round ratios of `figure`, row over reference, and both rows'
    figures of each round."""
    ratios, blocks = [], []
    for number in range(rounds):
        pair = (row, reference) if number % 2 == 0 else (reference, row)
        measured = {r.key: r.measure(seconds)[figure] for r in pair}
        ratios.append(measured[row.key] / measured[reference.key])
        blocks.append(measured)
    return ratios, blocks


SIGNS = {">=": "≥", "<=": "≤"}


def met(value, target):
    sense, limit = target
    return value >= limit if sense == ">=" else value <= limit


def measure(rows_by_key, rounds=ROUNDS, seconds=SECONDS, log=print):
    """Every comparison of COMPARISONS on the rows named there."""
    results = {"rounds": rounds, "seconds": seconds}
    for key, row, reference, figure, label, target in COMPARISONS:
        log(f"  alternate rounds: {label}")
        ratios, blocks = measure_pair(
            rows_by_key[row], rows_by_key[reference], figure, rounds, seconds
        )
        value = statistics.median(ratios)
        results[key] = {
            "label": label,
            "figure": figure,
            "value": value,
            **spread(ratios),
            "ratios": ratios,
            "blocks": blocks,
            "target": list(target),
            "met": met(value, target),
        }
    return results


def lines(results):
    """The report's lines: each comparison's median ratio and spread."""
    out = [
        f"In alternate rounds ({results['rounds']} rounds of {results['seconds']:g} s per row, "
        f"the order swapped each round; median of the per-round ratios):"
    ]
    for key, *_ in COMPARISONS:
        r = results[key]
        sense, limit = r["target"]
        out.append(
            f"- {r['label']}: {r['value']:.3f} (range {r['min']:.3f} to {r['max']:.3f}, "
            f"IQR {r['q1']:.3f} to {r['q3']:.3f}; target {SIGNS[sense]} {limit}): "
            + ("met" if r["met"] else "MISSED")
        )
    return out
