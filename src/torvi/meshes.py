"""Mesh files for `TorviHardwareAPI.haptics.Mesh`: `load(path)` reads any
file trimesh reads (STL, OBJ, PLY, glTF, OFF, ...) into the vertices and
faces a Mesh takes. trimesh and numpy come with the extra "mesh"."""

from __future__ import annotations

import math
import os
from typing import TYPE_CHECKING, Any, Tuple

if TYPE_CHECKING:
    import numpy

EXTRA = "mesh"
INSTALL_HINT = f'pip install "torvihardwareapi[{EXTRA}]"'

Arrays = Tuple["numpy.ndarray[Any, Any]", "numpy.ndarray[Any, Any]"]


def load(path: str | os.PathLike[str], scale: float = 1.0) -> Arrays:
    """(vertices, faces) of the mesh in the file: vertices as an (N, 3)
    float64 array multiplied by `scale` (a file in millimetres is read into
    metres with scale=0.001), faces as an (M, 3) int64 array of indices. A
    file of several parts (a glTF scene) comes as one mesh. Raises
    ImportError naming the extra when trimesh is missing, ValueError for a
    scale that is not a positive finite number or a file without triangles,
    FileNotFoundError for a missing file."""
    if not (isinstance(scale, (int, float)) and math.isfinite(scale) and scale > 0):
        raise ValueError(f"scale must be a positive finite number, got {scale!r}")
    try:
        import numpy
        import trimesh
    except ImportError as error:
        raise ImportError(
            f"torvi.meshes.load needs trimesh and numpy (the extra {EXTRA!r}): {INSTALL_HINT}"
        ) from error
    if not os.path.exists(path):
        raise FileNotFoundError(f"no mesh file {os.fspath(path)!r}")
    # load_mesh joins the parts of a scene into one mesh.
    mesh = trimesh.load_mesh(os.fspath(path))
    faces = numpy.asarray(mesh.faces, dtype=numpy.int64).reshape(-1, 3)
    if len(faces) == 0:
        raise ValueError(f"{os.fspath(path)!r} holds no triangles")
    vertices = numpy.asarray(mesh.vertices, dtype=numpy.float64).reshape(-1, 3) * scale
    return vertices, faces
