"""Push a box along a table into a wall: a MuJoCo scene written here (a
table, a free box on it, a fixed wall beyond it and a ball for a tool)
stepped by the native loop at 1 kHz, the tool coupled to the virtual arm's
end effector by a spring and a damper. A simulated hand holds the arm and
moves 5 cm forward and back again; the tool slides the box until the wall
stops it, and the hand feels the box's friction, then the wall. Prints the
box's position, the force felt and the steps per second as it goes.

Needs the extra "physics" (pip install 'TorviHardwareAPI[physics]').
`--view [PORT]` serves a live 3D view of the scene's bodies and the hand at
http://localhost:PORT (8080) while it runs, and keeps them on at the end
until Ctrl-C (needs the extra "view")."""

from __future__ import annotations

import argparse
import sys
import time

import mujoco

from torvi.loops import summary
from torvi.view import add_view_option, exit_status_of, view_if_asked
from torvi.virtual import virtual_arm
from TorviHardwareAPI import haptics as H

RATE_HZ = 1000.0
MAX_FORCE = 5.0  # N
COUPLING = (400.0, 2.0)  # the tool's spring (N/m) and damper (N s/m) to the hand
HAND = "200,5"  # the simulated hand: N/m, N s/m
STROKE = "0.05,0,0,0.2"  # the hand's target: 5 cm along x and back, at 0.2 Hz
SECONDS = 2.5
REPORT_EVERY = 0.25  # s
TOOL_START = (0.0, 0.0, 0.02)  # m, in the scene: where the hand's start is mapped

SCENE = """
<mujoco model="push_box">
  <option timestep="0.001"/>
  <default><geom friction="0.3 0.005 0.0001"/></default>
  <worldbody>
    <light pos="0 0 1"/>
    <geom name="table" type="box" size="0.2 0.2 0.01" pos="0 0 -0.01" rgba=".6 .5 .4 1"/>
    <geom name="wall" type="box" size="0.005 0.1 0.03" pos="0.085 0 0.03" rgba=".5 .5 .6 1"/>
    <body name="box" pos="0.04 0 0.02">
      <freejoint/>
      <geom type="box" size="0.02 0.02 0.02" mass="0.1" rgba=".8 .3 .2 1"/>
    </body>
    <body name="tool" pos="0 0 0.02" gravcomp="1">
      <freejoint/>
      <geom type="sphere" size="0.01" mass="0.02" rgba=".2 .6 .9 1"/>
    </body>
  </worldbody>
</mujoco>
"""


def follow(loop: H.HapticLoop, scene: H.PhysicsScene, data: mujoco.MjData, seconds: float) -> None:
    """Prints the box, the tool and the force felt until `seconds` have passed."""
    start = time.monotonic()
    last_report, steps_before = start, scene.steps
    while time.monotonic() - start < seconds and loop.running:
        scene.sync(data)
        now = time.monotonic()
        if now >= last_report + REPORT_EVERY:
            force = loop.state().force
            rate = (scene.steps - steps_before) / (now - last_report)
            print(
                f"  {now - start:4.2f} s  box x {data.xpos[BOX][0] * 1000:6.1f} mm"
                f"  tool x {scene.tool_position[0] * 1000:6.1f} mm"
                f"  force felt x {force[0]:+.2f} N  {rate:6.0f} steps/s"
            )
            last_report, steps_before = now, scene.steps
        time.sleep(0.01)


MODEL = mujoco.MjModel.from_xml_string(SCENE)
BOX = mujoco.mj_name2id(MODEL, mujoco.mjtObj.mjOBJ_BODY, "box")


def push(seconds: float = SECONDS, view_port: int | None = None) -> tuple[float, H.LoopStats]:
    """Runs the scene for `seconds` on a virtual arm held by a simulated hand
    (and a view of it on `view_port`, kept on until Ctrl-C); the box's final
    x (m) and the loop's statistics."""
    data = mujoco.MjData(MODEL)
    with virtual_arm("--hand", HAND, "--hand-stroke", STROKE) as arm:
        home = arm.end_effector_force([0.0, 0.0, 0.0])[0]
        offset = tuple(t - h for t, h in zip(TOOL_START, home))
        scene = H.PhysicsScene(
            MODEL,
            data,
            tool="tool",
            stiffness=COUPLING[0],
            damping=COUPLING[1],
            workspace_scale=1.0,
            workspace_offset=offset,
        )
        loop = H.HapticLoop(arm, rate_hz=RATE_HZ, max_force=MAX_FORCE)
        loop.add(scene)
        with loop, view_if_asked(loop, view_port) as view:
            follow(loop, scene, data, seconds)
            stats = loop.stats()
            if view is not None:
                print("  the loop and the view stay on until Ctrl-C")
                view.wait_for_interrupt()
        scene.sync(data)
        print(
            f"  the box ended at x {data.xpos[BOX][0] * 1000:.1f} mm (it started at 40.0 mm;"
            f" at 60.0 mm it stands against the wall); {scene.steps} steps,"
            f" p50 {scene.step_us_p50:.0f} us, p99 {scene.step_us_p99:.0f} us each"
        )
        if loop.error is not None:
            print(f"  the loop stopped: {loop.error}")
        return float(data.xpos[BOX][0]), stats


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_view_option(parser)
    arguments = parser.parse_args()

    def run() -> None:
        print(f"pushing the box for {SECONDS} s at {RATE_HZ:.0f} Hz:")
        _, stats = push(SECONDS, arguments.view)
        print(summary(stats))

    return exit_status_of(run)  # a view that cannot open: one line says why


if __name__ == "__main__":
    sys.exit(main())
