"""The meshes and paths of the mesh bench (bench/mesh.py, and the mesh
rows of mesh_loop.py): tori of a chosen size built with numpy, and a hand
path that goes in and out of the tube's surface, in contact about half the
time."""

import math

import numpy as np

RING = 0.03  # m: the torus's radius, centre to the middle of its tube
TUBE = 0.01  # m: the tube's radius
PATH_CYCLES = 20_000
# The path: round the tube's circle once in the whole path, and round the
# tube itself every ORBIT cycles at a distance from its middle that swings
# between 1 -+ SWING tube radii every SWING_CYCLES cycles (1 mm at most
# per cycle: a hand at about 1 m/s).
ORBIT = 400
SWING = 0.3
SWING_CYCLES = 100


def torus(triangles):
    """(vertices float32 (N, 3), faces int64 (M, 3)) of a torus about z
    with about `triangles` triangles, counter-clockwise seen from outside."""
    across = max(3, round(math.sqrt(triangles / 6)))
    around = max(3, round(triangles / (2 * across)))
    u = np.linspace(0, 2 * np.pi, around, endpoint=False)[:, None]
    v = np.linspace(0, 2 * np.pi, across, endpoint=False)[None, :]
    radius = RING + TUBE * np.cos(v)
    vertices = np.stack(
        np.broadcast_arrays(radius * np.cos(u), radius * np.sin(u), TUBE * np.sin(v)), axis=-1
    ).reshape(-1, 3)
    i, j = np.meshgrid(np.arange(around), np.arange(across), indexing="ij")
    a = i * across + j
    b = (i + 1) % around * across + j
    c = (i + 1) % around * across + (j + 1) % across
    d = i * across + (j + 1) % across
    faces = np.concatenate([np.stack([a, b, c], -1), np.stack([a, c, d], -1)]).reshape(-1, 3)
    return vertices.astype(np.float32), faces.astype(np.int64)


def hand_path(cycles=PATH_CYCLES):
    """Hand positions (float32 (cycles, 3)) in the torus's frame."""
    k = np.arange(cycles)
    u = 2 * np.pi * k / cycles
    w = 2 * np.pi * k / ORBIT
    distance = TUBE * (1 + SWING * np.sin(2 * np.pi * k / SWING_CYCLES))
    radius = RING + distance * np.cos(w)
    return np.stack([radius * np.cos(u), radius * np.sin(u), distance * np.sin(w)], axis=-1).astype(
        np.float32
    )


def queries(count, seed=21):
    """Segments (float64 (count, 6): from, to) a few centimetres long
    across the torus's region, and points (float64 (count, 3)) near it."""
    random = np.random.default_rng(seed)
    span = RING + 2 * TUBE
    start = random.uniform(-span, span, (count, 3)) * [1, 1, 0.5]
    end = start + random.normal(0, 0.02, (count, 3))
    points = random.uniform(-span, span, (count, 3)) * [1, 1, 0.5]
    return np.concatenate([start, end], axis=1), points
