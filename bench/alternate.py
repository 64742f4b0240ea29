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

import TorviHardwareAPI as T
from devices import MeasuredDevice
from exchange import MAX_LATENCY_RATIO_TO_C, REFERENCE, force_rows
from native_loop import MIN_NATIVE_RATE_RATIO_TO_C, NATIVE_DAMPER, damper_loop_row
from options import write_results
from runner import log
from stats import spread

# Rounds and the length of each block in them (the defaults of
# --alternate-rounds and --alternate-seconds).
ROUNDS = 7
SECONDS = 1.0

# The comparisons: (key, row measured, row it is divided by, figure, label,
# the target as (sense, limit)).
COMPARISONS = (
    (
        "native_loop_free_rate",
        NATIVE_DAMPER,
        REFERENCE,
        "rate",
        "native loop, free-running, one Damper: rate ÷ C client",
        (">=", MIN_NATIVE_RATE_RATIO_TO_C),
    ),
    (
        "module_force_latency",
        "module_force",
        REFERENCE,
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


def measure_alternate(rows, arm, args):
    """The alternate rounds on `rows` (the C client's and the module's force
    rows among them) and a native loop with one Damper on `arm`."""
    damper = damper_loop_row(arm)
    try:
        by_key = {row.key: row for row in [*rows, damper]}
        return measure(by_key, args.alternate_rounds, args.alternate_seconds, log)
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
    text = "\n".join(lines(results))
    write_results(args.results, "alternate", results, text)
