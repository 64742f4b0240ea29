"""Physics scenes on the virtual arm: the tool follows the hand, stops at a
wall and pushes a box against its friction; sync and reset move whole states;
a followed mesh moves with its body and pushes it; bad input raises before
anything changes; and the module works without MuJoCo."""

import math
import statistics
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import TorviHardwareAPI as T
from support import ENV
from TorviHardwareAPI import haptics as H

pytestmark = pytest.mark.skipif(
    not issubclass(H.PhysicsScene, H.Effect),
    reason="the module was built without physics scenes (no MuJoCo headers at build time)",
)
mujoco = pytest.importorskip("mujoco")

RATE_HZ = 1000.0
TOOL = (
    '<body name="tool" pos="{pos}" gravcomp="1"><freejoint/>'
    '<geom name="tool" size="0.01" mass="0.1" {geom}/></body>'
)


def model(bodies, timestep=0.001, tool_pos="0 0 0", tool_geom=""):
    """A model of a gravity-compensated 0.1 kg ball `tool` and `bodies`, with its data."""
    tool = TOOL.format(pos=tool_pos, geom=tool_geom)
    xml = f'<mujoco><option timestep="{timestep}"/><worldbody>{tool}{bodies}</worldbody></mujoco>'
    loaded = mujoco.MjModel.from_xml_string(xml)
    return loaded, mujoco.MjData(loaded)


def home(device):
    return np.array(T.Armillar(T.SerialStream(device.path)).end_effector_force([0, 0, 0])[0])


def scene_on(device, loaded, data, origin=None, **coupling):
    """A loop at RATE_HZ on `device` with a scene whose origin is at `origin`
    in the arm's frame (default: where the arm is now)."""
    arm = T.Armillar(T.SerialStream(device.path))
    offset = tuple(-(home(device) if origin is None else origin))
    scene = H.PhysicsScene(loaded, data, "tool", workspace_offset=offset, **coupling)
    loop = H.HapticLoop(arm, rate_hz=RATE_HZ, max_force=5.0)
    loop.add(scene)
    return loop, scene, np.array(offset)


TABLE = (
    '<geom name="table" type="box" pos="0 0 -0.03" size="0.3 0.3 0.01" '
    'friction="0.5 0.005 0.0001"/>'
)


def test_the_tool_follows_the_hand_in_free_space(virtual_device):
    device = virtual_device("arm", "--hand", "200,5")
    # Started 1 cm off the hand; without gravity compensation it would sag
    # m g / stiffness = 10 mm.
    loop, scene, offset = scene_on(
        device, *model("", tool_pos="0.01 0 0"), stiffness=100.0, damping=2.0
    )
    with loop:
        time.sleep(1.2)
        state = loop.state()
        tool = np.array(scene.tool_position)
    assert np.linalg.norm(tool - (offset + state.position)) < 1e-3
    assert np.linalg.norm(state.force) < 0.1
    assert scene.steps > 100 and scene.step_us_p99 > 0


def test_the_tool_stops_at_a_wall_and_the_felt_force_balances_the_push(virtual_device):
    # Its surface 5 mm below the arm's home: the virtual arm reaches about 8 mm below.
    wall = '<geom type="box" pos="0 0 -0.015" size="0.3 0.3 0.01"/>'
    device = virtual_device("arm")
    loop, scene, _ = scene_on(device, *model(wall), stiffness=200.0, damping=2.0)
    loop.set_force((0.0, 0.0, -1.5))
    with loop:
        time.sleep(1.5)
        state = loop.state()
        tool = scene.tool_position
        pushed = scene.coupling_force
    # The ball of 1 cm on the surface, within the contact's softness.
    assert tool[2] == pytest.approx(0.005, abs=1e-3)
    assert pushed[2] == pytest.approx(-1.5, rel=0.1)
    assert np.linalg.norm(state.force) < 0.15 and np.linalg.norm(state.velocity) < 0.01


def test_a_pushed_box_resists_with_its_friction_and_moves_with_the_tool(virtual_device):
    mass, mu = 0.2, 0.5
    box = (
        f'<body name="box" pos="0.035 0 0"><freejoint/>'
        f'<geom type="box" size="0.02 0.02 0.02" mass="{mass}" '
        f'friction="{mu} 0.005 0.0001"/></body>'
    )
    loaded, data = model(TABLE + box)
    device = virtual_device("arm")
    loop, scene, _ = scene_on(device, loaded, data, stiffness=200.0, damping=2.0)
    start = home(device)
    # The hand's target travels 25 mm along x (the virtual arm reaches about
    # 30) at 4 cm/s; the box is 5 mm away: pushed from about 0.15 s to 0.65 s.
    loop.add(
        H.MoveTo(
            tuple(start + np.array([0.025, 0, 0])), stiffness=400.0, damping=5.0, max_speed=0.04
        )
    )
    pushes = []
    with loop:
        began = time.monotonic()
        while time.monotonic() - began < 0.55:
            if time.monotonic() - began > 0.25:
                pushes.append(scene.coupling_force[0])
            time.sleep(0.01)
        time.sleep(0.4)
    scene.sync(data)
    box_id = mujoco.mj_name2id(loaded, mujoco.mjtObj.mjOBJ_BODY, "box")
    assert statistics.median(pushes) == pytest.approx(mu * mass * 9.81, rel=0.25)
    moved = data.xpos[box_id][0] - 0.035
    # The tool started 5 mm from the box.
    assert moved > 0.012 and moved == pytest.approx(data.xpos[1][0] - 0.005, abs=3e-3)


SLIDER = (
    '<body name="slider" gravcomp="1"><joint name="slide" type="slide" axis="1 0 0"/>'
    '<geom size="0.01" mass="0.1" contype="0" conaffinity="0"/></body>'
)


def slider_consistent(loaded, data, speed, start_time, start_position):
    """The synced state is one step's: the slider at constant speed is where
    the time says, and the poses are the positions'."""
    slider = loaded.body("slider").id
    expected = start_position + speed * (data.time - start_time)
    return (
        abs(data.qpos[7] - expected) < 1e-9
        and data.xpos[slider][0] == pytest.approx(data.qpos[7], abs=1e-12)
        and np.allclose(data.xpos[1], data.qpos[:3], atol=1e-12)
    )


def test_sync_gives_whole_states_and_reset_starts_from_the_given_one(virtual_device):
    loaded, data = model(SLIDER, tool_geom='contype="0" conaffinity="0"')
    data.qvel[6] = 0.1
    device = virtual_device("arm", "--hand", "200,5")
    loop, scene, _ = scene_on(device, loaded, data, stiffness=50.0, damping=1.0)
    data.time, data.qpos[7] = 5.0, 0.5
    scene.reset(data)  # before the loop runs: at once
    assert scene.time == 5.0
    with loop:
        times = []
        for _ in range(20):
            time.sleep(0.02)
            scene.sync(data)
            times.append(data.time)
            assert slider_consistent(loaded, data, 0.1, 5.0, 0.5)
        data.time, data.qpos[7] = 100.0, -1.0
        scene.reset(data)  # taken by the loop's next cycle
        time.sleep(0.1)
        scene.sync(data)
    assert times == sorted(times) and times[-1] > times[0]
    assert 100.0 < data.time < 100.5 and slider_consistent(loaded, data, 0.1, 100.0, -1.0)
    # The view's poses are those of the newest state, as sync gives it (the
    # loop has stopped: no step comes between the two).
    after = mujoco.MjData(loaded)
    scene.sync(after)
    np.testing.assert_allclose(scene.body_poses(), np.hstack([after.xpos, after.xquat]), atol=1e-12)


def test_geoms_give_each_shape_in_its_body_s_frame():
    tetrahedron = '<asset><mesh name="tet" vertex="0 0 0 0.02 0 0 0 0.02 0 0 0 0.02"/></asset>'
    part = (
        '<body name="part" pos="0.05 0 0"><freejoint/><geom type="mesh" mesh="tet"/>'
        '<geom type="capsule" size="0.01 0.02" pos="0 0 0.01" rgba="0 1 0 0.5"/></body>'
    )
    tool = TOOL.format(pos="0 0 0", geom="")
    xml = f"<mujoco>{tetrahedron}<worldbody>{tool}{part}</worldbody></mujoco>"
    loaded = mujoco.MjModel.from_xml_string(xml)
    geoms = H.PhysicsScene(loaded, mujoco.MjData(loaded), "tool", stiffness=1.0).geoms()
    assert [(g.kind, g.body) for g in geoms] == [("sphere", 1), ("mesh", 2), ("capsule", 2)]
    for index, geom in enumerate(geoms):
        np.testing.assert_allclose(geom.position, loaded.geom_pos[index])
        np.testing.assert_allclose(geom.rotation, loaded.geom_quat[index])
        np.testing.assert_allclose(geom.size, loaded.geom_size[index])
        np.testing.assert_allclose(geom.rgba, loaded.geom_rgba[index])
    mesh = geoms[1]
    start, count = loaded.mesh_vertadr[0], loaded.mesh_vertnum[0]
    np.testing.assert_array_equal(mesh.vertices, loaded.mesh_vert[start : start + count])
    assert mesh.faces.shape == (4, 3) and sorted(set(mesh.faces.ravel())) == [0, 1, 2, 3]
    assert geoms[2].vertices.shape == (0, 3)


CUBE = (
    [[x, y, z] for x in (-0.01, 0.01) for y in (-0.01, 0.01) for z in (-0.01, 0.01)],
    [[0, 1, 3], [0, 3, 2], [4, 6, 7], [4, 7, 5], [0, 4, 5], [0, 5, 1],
     [2, 3, 7], [2, 7, 6], [0, 2, 6], [0, 6, 4], [1, 5, 7], [1, 7, 3]],
)  # fmt: skip


def test_a_followed_mesh_moves_with_its_body_and_pushes_it(virtual_device):
    part = (
        '<body name="part" pos="0.03 0 0" gravcomp="1"><joint type="free" damping="0.5"/>'
        '<geom type="box" size="0.01 0.01 0.01" mass="0.05" contype="0" conaffinity="0"/></body>'
    )
    loaded, data = model(part, tool_pos="0 0 0.5", tool_geom='contype="0" conaffinity="0"')
    origin = home(virtual_device("arm"))
    target = origin + np.array([0.026, 0, 0])  # 6 mm into the cube's face
    device = virtual_device("arm", "--hand", "300,5", "--hand-target", ",".join(map(str, target)))
    loop, scene, offset = scene_on(device, loaded, data, origin, stiffness=0.0)
    mesh = H.Mesh(*CUBE, stiffness=800.0)
    mesh.follow(scene, "part")
    loop.add(mesh)
    with loop:
        time.sleep(1.0)
    scene.sync(data)
    body = loaded.body("part").id
    # Pushed until its face passed the hand's target, 6 mm in.
    assert data.xpos[body][0] - 0.03 > 0.005
    position, rotation = mesh.pose
    assert np.allclose(position, data.xpos[body] - offset, atol=1e-3)
    assert np.allclose(rotation, data.xquat[body], atol=1e-3)


def hinge_tool():
    loaded = mujoco.MjModel.from_xml_string(
        '<mujoco><worldbody><body name="tool"><joint type="hinge"/><geom size="0.01"/></body>'
        "</worldbody></mujoco>"
    )
    return loaded, mujoco.MjData(loaded)


@pytest.mark.parametrize(
    "make, kwargs, error",
    [
        (lambda: model(""), {"tool": "nowhere"}, ValueError),
        (hinge_tool, {}, ValueError),
        (lambda: (model("")[0], model(SLIDER)[1]), {}, ValueError),
        (lambda: ("a model", model("")[1]), {}, TypeError),
        (lambda: model(""), {"stiffness": -1.0}, ValueError),
        (lambda: model(""), {"damping": math.nan}, ValueError),
        (lambda: model(""), {"workspace_scale": 0.0}, ValueError),
        (lambda: model("", timestep=0.01), {}, ValueError),
        # 4 m / dt^2 = 400 kN/m for the 0.1 kg tool at 1 ms.
        (lambda: model(""), {"stiffness": 4.1e5}, ValueError),
    ],
    ids=["no tool", "no free joint", "data of another model", "not a model", "negative stiffness",
         "nan damping", "zero scale", "long timestep", "too stiff"],
)  # fmt: skip
def test_bad_input_raises(make, kwargs, error):
    loaded, data = make()
    with pytest.raises(error):
        H.PhysicsScene(loaded, data, **{"tool": "tool", "stiffness": 10.0, **kwargs})


def test_a_scene_joins_one_loop_at_a_rate_it_suits(virtual_arm):
    arm = T.Armillar(T.SerialStream(virtual_arm.path))
    # Stable at the model's 1 ms; not at a 250 Hz loop's 4 ms (limit 25 kN/m).
    scene = H.PhysicsScene(*model(""), "tool", stiffness=3e4)
    with pytest.raises(ValueError, match="below"):
        H.HapticLoop(arm, rate_hz=250.0).add(scene)
    first, second = H.HapticLoop(arm, rate_hz=1000.0), H.HapticLoop(arm)
    first.add(scene)
    with pytest.raises(ValueError, match="another loop"):
        second.add(scene)
    first.remove(scene)
    second.add(scene)


def test_the_module_works_without_mujoco():
    script = textwrap.dedent(
        """
        import sys
        class Hide:
            def find_spec(self, name, *args):
                if name.split(".")[0] == "mujoco":
                    raise ImportError("hidden")
        sys.meta_path.insert(0, Hide())
        from TorviHardwareAPI import haptics as H
        H.Spring(anchor=(0, 0, 0), stiffness=1.0)
        try:
            H.PhysicsScene(None, None, "tool", 1.0)
        except ImportError as error:
            print(error)
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script], env=ENV, capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().endswith("pip install 'TorviHardwareAPI[physics]'")
