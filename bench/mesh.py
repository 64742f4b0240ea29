"""What a triangle mesh costs, at three sizes: its build time and memory per
triangle, one cycle of its proxy with the hand tracing a path in and out
of the surface (p50, p99), the point-in-solid test that a closed mesh's
first cycle after a start runs (mean, largest), and single segment and
closest-point queries of its tree beside the same queries through established libraries: Embree
(through embreex) for segments, trimesh (rtree and scipy) for closest
points, each called once per query as a haptic loop would, and once for
all queries at a time (their best case). The answers of both are compared.

Run by bench/run.sh (after run.py; `bash bench/run.sh --mesh` runs this
alone). Writes bench/results/mesh-latest.json and mesh-latest.md."""

import json
import pathlib
import platform
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np
import trimesh
from embreex import rtcore_scene
from embreex.mesh_construction import TriangleMesh

import meshes
from options import REQUIRED, RESULTS, options_parser, write_results

SIZES = (1_000, 100_000, 1_000_000)
QUERIES = 10_000  # timed in C++, and batched through the other libraries
SINGLE_SEGMENTS = 2_000  # through Embree one call each
SINGLE_CLOSEST = 200  # through trimesh one call each
# Targets of the issue: a 1 M mesh built within 2 s, a cycle's p99 within
# 10 µs at 1 M triangles, and p50 at 1 M at most 4 times p50 at 1 k.
MAX_BUILD_S = 2.0
MAX_CYCLE_P99_US = 10.0
MAX_P50_GROWTH = 4.0
MAGIC = b"TMSH"


def write_input(path, vertices, faces, hand, segments, points):
    with open(path, "wb") as out:
        out.write(
            MAGIC
            + struct.pack(
                "<5Q", len(vertices), len(faces), len(hand), *[len(segments), len(points)]
            )
        )
        for array, dtype in (
            (vertices, "<f4"),
            (faces, "<i8"),
            (hand, "<f4"),
            (segments, "<f8"),
            (points, "<f8"),
        ):
            out.write(np.ascontiguousarray(array, dtype=dtype).tobytes())


def per_call_ns(calls):
    """Mean nanoseconds of each call in `calls`, and their results."""
    results = []
    start = time.perf_counter_ns()
    for call in calls:
        results.append(call())
    return (time.perf_counter_ns() - start) / len(calls), results


def embree_figures(vertices, faces, segments, ours):
    scene = rtcore_scene.EmbreeScene()
    TriangleMesh(scene, vertices[faces].astype(np.float32))
    origins = segments[:, :3].astype(np.float32)
    directions = (segments[:, 3:] - segments[:, :3]).astype(np.float32)
    limit = np.ones(len(segments), np.float32)
    scene.run(origins[:1], directions[:1], dists=limit[:1], output=1)  # Embree builds its tree
    start = time.perf_counter_ns()
    batch = scene.run(origins, directions, dists=limit, output=1)
    batch_ns = (time.perf_counter_ns() - start) / len(segments)
    n = SINGLE_SEGMENTS
    single_ns, _ = per_call_ns(
        [
            lambda i=i: scene.run(
                origins[i : i + 1], directions[i : i + 1], dists=limit[:1], output=1
            )
            for i in range(n)
        ]
    )
    theirs = np.where(batch["primID"] >= 0, batch["tfar"], -1.0)
    agree = np.mean((theirs >= 0) == (ours >= 0))
    both = (theirs >= 0) & (ours >= 0)
    apart = (np.abs(theirs - ours) * np.linalg.norm(directions, axis=1))[both]
    close = float(np.mean(apart < 1e-6)) if both.any() else 1.0
    t_error = float(np.max(apart)) if both.any() else 0.0
    return {
        "single_ns": single_ns,
        "batch_ns": batch_ns,
        "hit_agreement": float(agree),
        "hits_within_1um": close,
        "max_hit_distance_difference_m": t_error,
    }


def trimesh_figures(vertices, faces, points, ours):
    mesh = trimesh.Trimesh(vertices.astype(np.float64), faces, process=False)
    trimesh.proximity.closest_point(mesh, points[:1])  # builds its trees
    batch = points[: QUERIES // 10]
    start = time.perf_counter_ns()
    _, distances, _ = trimesh.proximity.closest_point(mesh, batch)
    batch_ns = (time.perf_counter_ns() - start) / len(batch)
    single_ns, _ = per_call_ns(
        [
            lambda i=i: trimesh.proximity.closest_point(mesh, points[i : i + 1])
            for i in range(SINGLE_CLOSEST)
        ]
    )
    difference = float(np.max(np.abs(distances - np.sqrt(ours[: len(batch)]))))
    return {"single_ns": single_ns, "batch_ns": batch_ns, "max_distance_difference_m": difference}


def measure(program, size, scratch):
    vertices, faces = meshes.torus(size)
    segments, points = meshes.queries(QUERIES)
    path = scratch / f"mesh-{size}.bin"
    write_input(path, vertices, faces, meshes.hand_path(), segments, points)
    done = subprocess.run(
        [program, str(path)], capture_output=True, text=True, check=True, timeout=600
    )
    figures = json.loads(done.stdout)
    answers = np.fromfile(f"{path}.answers", dtype="<f8")
    hits, squared = answers[:QUERIES], answers[QUERIES:]
    figures["embree"] = embree_figures(vertices, faces, segments, hits)
    figures["trimesh"] = trimesh_figures(vertices, faces, points, squared)
    return figures


HEADER = [
    "triangles",
    "build s",
    "bytes/triangle (heap)",
    "cycle p50 µs",
    "p99 µs",
    "in contact",
    "point in solid µs, inside (max)",
    "segment ns: ours / Embree single / Embree batch",
    "closest ns: ours / trimesh single / trimesh batch",
]


def table(results):
    lines = ["| " + " | ".join(HEADER) + " |", "|---:|---:|---:|---:|---:|---:|---:|---|---|"]
    for r in results:
        e, t = r["embree"], r["trimesh"]
        cells = [
            f"{r['triangles']:,}",
            f"{r['build_s']:.3f}",
            f"{r['bytes_per_triangle']:.0f} ({r['heap_bytes_per_triangle']:.0f})",
            f"{r['cycle_p50_ns'] / 1000:.2f}",
            f"{r['cycle_p99_ns'] / 1000:.2f}",
            f"{r['in_contact_share']:.0%}",
            f"{r['inside_solid_ns'] / 1000:.2f} ({r['inside_solid_max_ns'] / 1000:.1f})",
            f"{r['segment_ns']:.0f} / {e['single_ns']:,.0f} / {e['batch_ns']:.0f}",
            f"{r['closest_ns']:,.0f} / {t['single_ns']:,.0f} / {t['batch_ns']:,.0f}",
        ]
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def verdict(met):
    return "met" if met else "MISSED"


def target_lines(results):
    small, large = results[0], results[-1]
    size = f"{large['triangles']:,}"
    growth = large["cycle_p50_ns"] / small["cycle_p50_ns"]
    p99_us = large["cycle_p99_ns"] / 1000
    lines = [
        f"- build of {size} triangles: {large['build_s']:.2f} s (target < {MAX_BUILD_S} s): "
        + verdict(large["build_s"] < MAX_BUILD_S),
        f"- cycle p99 at {size}: {p99_us:.2f} µs (target ≤ {MAX_CYCLE_P99_US} µs): "
        + verdict(p99_us <= MAX_CYCLE_P99_US),
        f"- cycle p50 at {size} ÷ at {small['triangles']:,}: {growth:.2f} "
        f"(target ≤ {MAX_P50_GROWTH}): " + verdict(growth <= MAX_P50_GROWTH),
        f"- point in solid at {size} (the first cycle after a start, closed: "
        f"{large['closed']}, its test {large['closed_s']:.2f} s of the build): mean "
        f"{large['inside_solid_ns'] / 1000:.2f} µs for a point inside, largest "
        f"{large['inside_solid_max_ns'] / 1000:.1f} µs, {large['inside_share']:.0%} of the "
        "points inside",
    ]
    for r in results:
        e, t = r["embree"], r["trimesh"]
        lines.append(
            f"- {r['triangles']:,} triangles, one query per call: Embree's segment ÷ ours "
            f"{e['single_ns'] / r['segment_ns']:.1f}x (batched "
            f"{e['batch_ns'] / r['segment_ns']:.2f}x), trimesh's closest point ÷ ours "
            f"{t['single_ns'] / r['closest_ns']:.0f}x (batched "
            f"{t['batch_ns'] / r['closest_ns']:.0f}x); hits agree on {e['hit_agreement']:.2%} "
            f"of segments ({e['hits_within_1um']:.2%} of the hit points within 1 µm, all within "
            f"{e['max_hit_distance_difference_m']:.1e} m), distances within "
            f"{t['max_distance_difference_m']:.1e} m"
        )
    return lines


# The command line, one option a row (options.py says how a row reads).
OPTIONS = [
    ("--program", str, REQUIRED, "the torvi-bench-mesh program"),
    ("--results", pathlib.Path, RESULTS, None),
]


def main():
    args = options_parser(__doc__, OPTIONS).parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        results = []
        for size in SIZES:
            print(f"  mesh of about {size:,} triangles", file=sys.stderr, flush=True)
            results.append(measure(args.program, size, pathlib.Path(scratch)))
    text = "\n".join(
        [
            f"Mesh bench, {platform.machine()}, Python {platform.python_version()}; one cycle "
            "timed in C++ as the loop's thread runs it; a single query of another library "
            "includes its Python call",
            "",
            *table(results),
            "",
            *target_lines(results),
        ]
    )
    write_results(args.results, "mesh", results, text)


if __name__ == "__main__":
    main()
