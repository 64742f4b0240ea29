"""The Mesh effect on the wire: a scripted arm answers each force request
with the position the test chooses, and the forces the loop sends are the
known answers of the proxy (a cube's face, edges and corners from outside;
an open box's, both sides being solid, from inside; a hand inside the
closed cube at the start, which leaves it freely; a jump through the whole
cube; friction; a moved mesh). A ball around the virtual arm's hand lets it
out and pushes it back from outside. Then its input: numpy arrays of any
type, nested sequences without numpy, and bad input refused before
anything is built."""

import math
import os
import subprocess
import sys
import time

import numpy as np
import pytest

import TorviHardwareAPI as T
from support import CUBE_FACES, CUBE_VERTICES, HALF, ZERO
from torvi import meshes
from TorviHardwareAPI.haptics import HapticLoop, Mesh, MoveTo

GAP = 1e-5  # m: how far in front of the surface the proxy stops
K = 1000.0  # N/m
# The cube without its side z = -HALF: open, so that a hand inside it at the
# start is held inside.
OPEN_BOX_FACES = [face for face in CUBE_FACES if face not in ([0, 2, 6], [0, 6, 4])]
SURFACE = HALF + GAP  # where a proxy outside the cube stops
WITHIN = HALF - GAP  # where a proxy inside it stops


def cube(faces=CUBE_FACES, **options):
    return Mesh(CUBE_VERTICES, faces, **{"stiffness": K, **options})


def forces_along(arm, responder, mesh, path, velocity=ZERO):
    """The force sent for each position of `path` (the loop answers a reply
    in its next request), then the position held at the end."""
    # The n-th request (from 1) is answered with the n-th position, the last
    # one held after the path.
    device = responder(positions=lambda n: path[min(n, len(path)) - 1], velocity=velocity)
    loop = HapticLoop(arm, max_force=1000.0)
    loop.add(mesh)  # before the start: the first cycles see the path's start
    with loop:
        device.wait_for(len(path) + 2)
    device.close()  # the next run on this pty gets a responder of its own
    assert loop.error is None and device.forces[0] == ZERO
    return device.forces[1 : len(path) + 1]


# (path of hand positions, options, force expected for the last position)
KNOWN = {
    "face": ([(0.001, 0.002, 0.02), (0.001, 0.002, 0.008)], {}, (0, 0, K * (0.002 + GAP))),
    "through-the-cube-in-one-cycle": ([(0, 0, 0.02), (0, 0, -0.02)], {}, (0, 0, K * 0.03 + 0.01)),
    "edge-from-outside-inside-it": (
        [(0.008, 0, 0.02), (0.008, 0, 0.009), (0.0095, 0, 0.009)],
        {},
        (0, 0, K * (0.001 + GAP)),
    ),
    "edge-from-outside-round-it": (
        [(0.008, 0, 0.02), (0.008, 0, 0.009), (0.0095, 0, 0.009), (0.012, 0, 0.009)],
        {},
        ZERO,
    ),
    "corner-from-outside-round-it": (
        [(0.008, 0.008, 0.02), (0.008, 0.008, 0.009), (0.012, 0.012, 0.009)],
        {},
        ZERO,
    ),
    "open-box-concave-edge-from-inside": (
        [(0, 0, 0), (0.012, 0, 0.013)],
        {"faces": OPEN_BOX_FACES},
        (K * (WITHIN - 0.012), 0, K * (WITHIN - 0.013)),
    ),
    "open-box-concave-corner-from-inside": (
        [(0, 0, 0), (0.013, 0.012, 0.014)],
        {"faces": OPEN_BOX_FACES},
        (K * (WITHIN - 0.013), K * (WITHIN - 0.012), K * (WITHIN - 0.014)),
    ),
    "closed-cube-left-from-inside": ([(0, 0, 0), (0.004, 0, 0.006), (0.012, 0, 0.013)], {}, ZERO),
    "closed-cube-left-then-pressed-from-outside": (
        [(0, 0, 0), (0, 0, 0.02), (0, 0, 0.008)],
        {},
        (0, 0, K * (0.002 + GAP)),
    ),
    "frictionless-sliding": (
        [(0, 0, 0.02), (0, 0, 0.008), (0.004, 0.003, 0.008)],
        {},
        (0, 0, K * (0.002 + GAP)),
    ),
    "sticking-within-the-cone": (
        [(0, 0, 0.02), (0, 0, 0.008), (0.0005, 0, 0.008)],
        {"static_friction": 0.5, "dynamic_friction": 0.3},
        (-K * 0.0005, 0, K * (0.002 + GAP)),
    ),
    # 0.4 sideways per unit pressed: outside the dynamic cone, inside the static one.
    "sticking-between-the-cones": (
        [(0, 0, 0.02), (0, 0, 0.008), (0.4 * (0.002 + GAP), 0, 0.008)],
        {"static_friction": 0.5, "dynamic_friction": 0.3},
        (-0.4 * K * (0.002 + GAP), 0, K * (0.002 + GAP)),
    ),
    "slipping-to-the-dynamic-cone": (
        [(0, 0, 0.02), (0, 0, 0.008), (0.002, 0, 0.008)],
        {"static_friction": 0.5, "dynamic_friction": 0.3},
        (-0.3 * K * (0.002 + GAP), 0, K * (0.002 + GAP)),
    ),
    "damping-of-a-hand-pressing-in": (
        [(0, 0, 0.02), (0, 0, 0.008)],
        {"damping": 0.5, "velocity": (0.3, 0.0, -1.0)},
        (0, 0, K * (0.002 + GAP) + 0.5),
    ),
    "damping-never-pulls": (
        [(0, 0, 0.02), (0, 0, 0.008)],
        {"damping": 5.0, "velocity": (0.0, 0.0, 1.0)},  # 5 N of damping against 2 N of spring
        ZERO,
    ),
}


@pytest.mark.parametrize("case", KNOWN.values(), ids=KNOWN.keys())
def test_known_answers_on_the_wire(arm, responder, case):
    path, options, expected = case
    velocity = options.pop("velocity", ZERO)
    mesh = cube(**options)
    forces = forces_along(arm, responder, mesh, path, velocity)
    assert forces[-1] == pytest.approx(expected, abs=2e-3)
    out_of_contact = expected == ZERO and velocity == ZERO
    assert mesh.in_contact is not out_of_contact
    if "damping" in options:
        return
    if out_of_contact:
        assert mesh.proxy == pytest.approx(path[-1], abs=1e-7)
    else:
        # The spring from the hand to the proxy is the force.
        assert np.add(path[-1], np.divide(expected, K)) == pytest.approx(mesh.proxy, abs=2e-6)


def test_a_moved_mesh_is_felt_as_the_hand_moved_the_other_way(arm, responder):
    # Turned 30 degrees about x and moved: the same path in the mesh's frame
    # gives the same force, turned.
    half = math.radians(15)
    rotation = (math.cos(half), math.sin(half), 0.0, 0.0)
    turn = np.array(
        [
            [1, 0, 0],
            [0, math.cos(2 * half), -math.sin(2 * half)],
            [0, math.sin(2 * half), math.cos(2 * half)],
        ]
    )
    shift = np.array([0.05, -0.02, 0.1])
    path = [(0.001, 0.002, 0.02), (0.003, 0.001, 0.007)]
    expected = forces_along(arm, responder, cube(), path)[-1]
    moved = cube()
    moved.set_pose(position=tuple(shift), rotation=rotation)
    assert moved.pose[1] == pytest.approx(rotation)
    turned_path = [tuple(turn @ p + shift) for p in path]
    assert forces_along(arm, responder, moved, turned_path)[-1] == pytest.approx(
        turn @ expected, abs=2e-3
    )


def test_a_mesh_moved_onto_the_hand_pushes_it_out(arm, responder):
    device = responder(position=(0.0, 0.0, HALF + 0.002))
    mesh = cube()
    with HapticLoop(arm, max_force=1000.0) as loop:
        loop.add(mesh)
        # Counted from the add, so that the mesh has rendered before it moves
        # (moved first, it would meet the hand as a solid added around it).
        device.wait_for(len(device.forces) + 5)
        assert not mesh.in_contact and device.forces[-1] == ZERO
        mesh.set_pose(position=(0.0, 0.0, 0.004))  # the top face 2 mm above the hand
        count = len(device.forces)
        device.wait_for(count + 5)
    assert device.forces[count + 3] == pytest.approx((0, 0, K * (0.002 + GAP)), abs=2e-3)
    assert mesh.proxy == pytest.approx((0, 0, HALF + 0.004 + GAP), abs=1e-6)


BALL_RADIUS = 0.03  # m
OUT_TIMEOUT_S = 3.0


def ball(centre, rings=50, segments=72):
    """A closed UV sphere of BALL_RADIUS about `centre`, about 7,000 triangles."""
    polar = np.linspace(0.0, np.pi, rings + 1)[:, None]
    azimuth = np.linspace(0.0, 2 * np.pi, segments, endpoint=False)
    across = BALL_RADIUS * np.sin(polar)
    across[[0, -1]] = 0.0  # the poles, one point each
    rows = np.broadcast_arrays(
        across * np.cos(azimuth), across * np.sin(azimuth), BALL_RADIUS * np.cos(polar)
    )
    vertices = np.stack(rows, axis=-1).reshape(-1, 3) + centre
    i, j = np.meshgrid(np.arange(rings), np.arange(segments), indexing="ij")
    at = lambda ring, k: ring * segments + k % segments  # noqa: E731
    a, b, c, d = at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)
    faces = np.stack([np.stack([a, b, c], -1), np.stack([a, c, d], -1)]).reshape(-1, 3)
    mesh = Mesh(vertices, faces, stiffness=800.0)
    assert mesh.closed
    return mesh


def hand(loop):
    """The hand's position, once the loop has a reply."""
    while loop.state().cycle < 2:
        time.sleep(0.001)
    return loop.state().position


def distance(loop, centre):
    return np.linalg.norm(np.subtract(hand(loop), centre))


def leave(loop, centre, push):
    """Push the hand with `push` until it is 1 cm out of the ball; every
    force asked for meanwhile is the push or nothing: no pull back in."""
    loop.set_force(push)
    deadline = time.monotonic() + OUT_TIMEOUT_S
    while distance(loop, centre) < BALL_RADIUS + 0.01:
        assert time.monotonic() < deadline, "the hand never left the ball"
        time.sleep(0.005)
    loop.set_force(ZERO)
    asked = np.unique(loop.samples().requested, axis=0)
    assert {tuple(row) for row in asked} <= {ZERO, push}


def test_a_hand_in_a_ball_leaves_it_freely_and_is_pushed_out_from_outside(virtual_arm):
    arm = T.Armillar(T.SerialStream(virtual_arm.path))
    centre, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    mesh = ball(centre)
    with HapticLoop(arm, rate_hz=1000.0, max_force=5.0) as loop:
        loop.add(mesh)
        assert distance(loop, centre) < 1e-3
        leave(loop, centre, (0.0, 0.0, 3.0))
        assert not mesh.in_contact
        # Back towards a point 5 mm within the top, from outside.
        target = np.add(centre, (0.0, 0.0, BALL_RADIUS - 0.005))
        loop.add(MoveTo(target=target, stiffness=300.0, damping=5.0, max_speed=0.1))
        time.sleep(1.0)
        depth = BALL_RADIUS - distance(loop, centre)
        assert mesh.in_contact
    # Held on the surface, pushed out: the proxy outside the hand.
    assert 0.0005 < depth < 0.005
    assert np.linalg.norm(np.subtract(mesh.proxy, centre)) > BALL_RADIUS - 1e-4


def test_a_ball_added_around_a_moving_hand_lets_it_out(virtual_arm):
    arm = T.Armillar(T.SerialStream(virtual_arm.path))
    # Built beforehand and placed on the hand as it passes: building takes
    # long enough under the sanitizers for the hand to be gone.
    mesh = ball((0.0, 0.0, 0.0))
    with HapticLoop(arm, rate_hz=1000.0, max_force=5.0) as loop:
        push = (1.0, 0.0, 0.0)
        loop.set_force(push)
        hand(loop)
        time.sleep(0.02)  # on its way
        centre = hand(loop)
        mesh.set_pose(centre, (1.0, 0.0, 0.0, 0.0))
        loop.add(mesh)
        assert distance(loop, centre) < BALL_RADIUS - 0.01, "the hand was meant to be inside"
        leave(loop, centre, push)


@pytest.mark.parametrize(
    "vertices, faces",
    [
        (np.array(CUBE_VERTICES, dtype=np.float16), np.array(CUBE_FACES, dtype=np.uint8)),
        (np.array(CUBE_VERTICES, dtype=">f8"), np.array(CUBE_FACES, dtype=">i4")),
        (np.array(CUBE_VERTICES, dtype=np.longdouble), np.array(CUBE_FACES, dtype=np.uint64)),
        # Not contiguous: every other row of a larger array, columns reversed twice.
        (np.repeat(np.array(CUBE_VERTICES), 2, axis=0)[::2], np.asfortranarray(CUBE_FACES)),
        ([tuple(v) for v in CUBE_VERTICES], [np.array(f, dtype=np.int16) for f in CUBE_FACES]),
    ],
)
def test_arrays_of_any_type_and_nested_sequences(vertices, faces):
    mesh = Mesh(vertices, faces)
    assert mesh.triangle_count == 12
    assert np.ravel(mesh.bounds) == pytest.approx([-HALF] * 3 + [HALF] * 3, abs=1e-5)


def test_triangles_are_the_faces_kept_with_their_turn():
    mesh = Mesh(CUBE_VERTICES, [*CUBE_FACES, [0, 0, 1]])  # the last has no area

    def turned(corners):  # a triangle as the rotation of its corners that starts lowest
        corners = [tuple(round(float(c), 6) for c in corner) for corner in corners]
        start = corners.index(min(corners))
        return tuple(corners[start:] + corners[:start])

    expected = {turned([CUBE_VERTICES[i] for i in face]) for face in CUBE_FACES}
    triangles = mesh.triangles()
    assert triangles.shape == (12, 3, 3) and triangles.dtype == np.float32
    assert {turned(t) for t in triangles} == expected


NO_NUMPY = """
import sys
sys.modules["numpy"] = None  # import numpy now fails
from TorviHardwareAPI.haptics import Mesh
corners = [[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]]
mesh = Mesh(corners, [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])
mesh.set_pose(position=(0, 0, 0.5), rotation=(0, 0, 0, 2))
print(mesh.triangle_count, mesh.pose, mesh.proxy)
"""


def test_the_module_works_without_numpy():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.run(
        [sys.executable, "-c", NO_NUMPY], env=env, capture_output=True, text=True
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout == "4 ((0.0, 0.0, 0.5), (0.0, 0.0, 0.0, 1.0)) (0.0, 0.0, 0.0)\n"


SQUARE = [[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]]
TWO = [[0, 1, 2], [0, 2, 3]]


@pytest.mark.parametrize(
    "vertices, faces, options, error",
    [
        ([], TWO, {}, ValueError),
        (SQUARE, np.zeros((0, 3), dtype=int), {}, ValueError),
        (np.zeros((4, 2)), TWO, {}, ValueError),
        (SQUARE, [[0, 1, 2, 3]], {}, ValueError),
        (SQUARE, [[0, 1, 4]], {}, ValueError),
        (SQUARE, [[0, -1, 2]], {}, ValueError),
        (SQUARE, [[0, 1, 2**70]], {}, ValueError),
        ([[0, 0, math.nan], *SQUARE[1:]], TWO, {}, ValueError),
        ([[0, 0, 1e300], *SQUARE[1:]], TWO, {}, ValueError),  # no float holds it
        (SQUARE, [[0, 1, 1], [2, 2, 2]], {}, ValueError),  # every face of zero area
        (SQUARE, TWO, {"stiffness": -1.0}, ValueError),
        (SQUARE, TWO, {"damping": -1.0}, ValueError),
        (SQUARE, TWO, {"static_friction": 0.1, "dynamic_friction": 0.2}, ValueError),
        (SQUARE, TWO, {"static_friction": -0.1}, ValueError),
        ("abc", TWO, {}, TypeError),
        (SQUARE, np.array(TWO, dtype=float), {}, TypeError),
        (SQUARE, [[0, 1.0, 2]], {}, TypeError),
        ([[0, 0, "x"], *SQUARE[1:]], TWO, {}, TypeError),
        (np.array(SQUARE, dtype=object), TWO, {}, TypeError),
        (5, TWO, {}, TypeError),
    ],
)
def test_bad_input_is_refused(vertices, faces, options, error):
    with pytest.raises(error):
        Mesh(vertices, faces, **options)


def test_refused_changes_leave_the_mesh_as_it_was():
    mesh = Mesh(SQUARE, [[0, 1, 2], [0, 1, 1], [0, 2, 3]], static_friction=0.4)
    assert mesh.triangle_count == 2  # the face of zero area is dropped
    for change in (
        lambda: setattr(mesh, "dynamic_friction", 0.5),
        lambda: setattr(mesh, "stiffness", math.inf),
        lambda: mesh.set_pose(rotation=(0, 0, 0, 0)),
        lambda: mesh.set_pose(position=(0, 0)),
    ):
        with pytest.raises(ValueError):
            change()
    mesh.dynamic_friction = 0.4
    assert mesh.pose == ((0.0, 0.0, 0.0), (1.0, 0.0, 0.0, 0.0))
    assert repr(mesh) == (
        "Mesh(<2 triangles>, stiffness=800.0, damping=0.0, static_friction=0.4, "
        "dynamic_friction=0.4)"
    )


def test_meshes_load_reads_files_through_trimesh(tmp_path):
    trimesh = pytest.importorskip("trimesh")
    for suffix in ("stl", "obj", "ply"):
        path = tmp_path / f"box.{suffix}"
        trimesh.creation.box(extents=(20, 40, 60)).export(path)  # millimetres
        vertices, faces = meshes.load(path, scale=0.001)
        assert vertices.dtype == np.float64 and faces.dtype == np.int64
        mesh = Mesh(vertices, faces)
        assert mesh.triangle_count == 12
        assert np.ravel(mesh.bounds) == pytest.approx([-0.01, -0.02, -0.03, 0.01, 0.02, 0.03])
    with pytest.raises(ValueError):
        meshes.load(tmp_path / "box.stl", scale=0.0)
    with pytest.raises(FileNotFoundError):
        meshes.load(tmp_path / "missing.stl")


def test_meshes_load_names_the_extra_when_trimesh_is_missing():
    program = (
        "import sys; sys.modules['trimesh'] = None\nfrom torvi import meshes\nmeshes.load('x.stl')"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.run([sys.executable, "-c", program], env=env, capture_output=True, text=True)
    line = child.stderr.strip().splitlines()[-1]
    assert line == (
        "ImportError: torvi.meshes.load needs trimesh and numpy (the extra 'mesh'): "
        'pip install "torvihardwareapi[mesh]"'
    )
