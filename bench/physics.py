"""What a physics scene costs the loop, and the native scene against the
Python way of writing it.

Scenes of 1, 10 and 100 free boxes resting on a table, the tool (a
gravity-compensated ball coupled to the virtual arm's end effector) among
them, are stepped by a 1 kHz HapticLoop: the step's cost (p50 and p99, in
microseconds, from the scene's own timing) and the rate the loop holds,
then the rate a free-running loop reaches with each scene.

Then, side by side in the same run, the 10-box scene stepped at 1 kHz:
  - the Python way: a thread that each cycle applies the coupling force with
    numpy, calls mujoco.mj_step and sends the arm's force command, sleeping to
    its deadlines; alone, then beside a busy Python thread;
  - the native scene in a HapticLoop, alone, then beside the same busy thread.
Cycles per second and the period's p99 for each.

Run by bench/run.sh after the passivity bench (`bash bench/run.sh --physics`
runs this alone). Writes bench/results/physics-latest.json and
physics-latest.md."""

import contextlib
import platform
import threading
import time

import mujoco
import numpy as np

import TorviHardwareAPI as T
from options import VIRTUAL_ARM_OPTIONS, options_parser, write_results
from torvi.virtual import VirtualDevice
from TorviHardwareAPI import haptics as H

RATE_HZ = 1000.0
BOX_COUNTS = (1, 10, 100)
SIDE_BY_SIDE_BOXES = 10
RUN_S = 3.0
COUPLING = (400.0, 2.0)  # N/m, N s/m
TOOL_START = (0.0, 0.0, 0.03)  # m, in the scene: where the hand's home is mapped
BOX_HALF = 0.01  # m
BOX_PITCH = 0.03  # m between neighbouring boxes' centres


def scene_xml(boxes):
    """A table, `boxes` free boxes on it in a square grid around the tool's
    start, and the tool a little above them."""
    side = int(np.ceil(np.sqrt(boxes + 1)))
    bodies, placed = [], 0
    for index in range(side * side):
        row, column = divmod(index, side)
        x, y = (column - side // 2) * BOX_PITCH, (row - side // 2) * BOX_PITCH
        if (row, column) == (side // 2, side // 2) or placed == boxes:
            continue  # the tool's place, or enough boxes
        bodies.append(
            f'<body pos="{x} {y} {BOX_HALF}"><freejoint/>'
            f'<geom type="box" size="{BOX_HALF} {BOX_HALF} {BOX_HALF}" mass="0.05"/></body>'
        )
        placed += 1
    return f"""<mujoco><option timestep="{1 / RATE_HZ}"/><worldbody>
      <geom type="plane" size="1 1 0.01"/>
      {"".join(bodies)}
      <body name="tool" pos="{TOOL_START[0]} {TOOL_START[1]} {TOOL_START[2]}" gravcomp="1">
        <freejoint/><geom type="sphere" size="0.008" mass="0.02"/></body>
    </worldbody></mujoco>"""


@contextlib.contextmanager
def virtual_arm(program):
    with VirtualDevice("arm", program=program) as device:
        yield T.Armillar(T.SerialStream(device.path))


class Bench:
    """One virtual arm per measurement, started from the same program."""

    def __init__(self, program):
        self.program = program
        with virtual_arm(program) as arm:
            self.home = arm.end_effector_force([0.0, 0.0, 0.0])[0]
        self.offset = tuple(t - h for t, h in zip(TOOL_START, self.home))

    def scene(self, boxes):
        model = mujoco.MjModel.from_xml_string(scene_xml(boxes))
        data = mujoco.MjData(model)
        scene = H.PhysicsScene(model, data, "tool", *COUPLING, workspace_offset=self.offset)
        return model, data, scene

    def native(self, boxes, rate_hz, busy=False):
        """The scene stepped by a HapticLoop for RUN_S: its figures."""
        _, _, scene = self.scene(boxes)
        with virtual_arm(self.program) as arm, BusyThread(busy):
            loop = H.HapticLoop(arm, rate_hz=rate_hz, max_force=5.0)
            loop.add(scene)
            with loop:
                time.sleep(RUN_S)
                stats = loop.stats()
            loop_figures = ("rate_hz", "period_p99_us", "overruns")
            scene_figures = ("step_us_p50", "step_us_p99", "steps")
            return {
                **{name: getattr(stats, name) for name in loop_figures},
                **{name: getattr(scene, name) for name in scene_figures},
            }

    def python_way(self, boxes, busy=False):
        """The loop a user writes in Python: coupling, mj_step and the
        arm's force command each cycle, sleeping to 1 kHz deadlines."""
        model, data, _ = self.scene(boxes)
        tool = model.body("tool").id
        dof = model.jnt_dofadr[model.body_jntadr[tool]]
        with virtual_arm(self.program) as arm, BusyThread(busy):
            periods = run_python_loop(arm, model, data, tool, dof, np.array(self.offset))
        return {
            "rate_hz": len(periods) / (sum(periods) / 1e6),
            "period_p99_us": float(np.percentile(periods, 99)),
            # MuJoCo's own count of steps whose accelerations blew up: a loop
            # that stalls holds a stale force on a stiff coupling.
            "unstable_steps": int(data.warning[mujoco.mjtWarning.mjWARN_BADQACC].number),
        }


def run_python_loop(arm, model, data, tool, dof, offset):
    """RUN_S of the Python loop; the periods in microseconds."""
    stiffness, damping = COUPLING
    period_ns = int(1e9 / RATE_HZ)
    mujoco.mj_forward(model, data)  # the bodies' poses, before the first coupling
    position, velocity = arm.end_effector_force([0.0, 0.0, 0.0])
    periods, deadline = [], time.monotonic_ns()
    last, end = deadline, deadline + int(RUN_S * 1e9)
    while time.monotonic_ns() < end:
        hand = offset + np.array(position)
        stretch = hand - data.xpos[tool]
        force = stiffness * stretch - damping * (np.array(velocity) - data.qvel[dof : dof + 3])
        data.xfrc_applied[tool, :3] = force
        mujoco.mj_step(model, data)
        position, velocity = arm.end_effector_force((-force).tolist())
        deadline += period_ns
        pause = deadline - time.monotonic_ns()
        if pause > 0:
            time.sleep(pause / 1e9)
        now = time.monotonic_ns()
        periods.append((now - last) / 1e3)
        last = now
    return periods


class BusyThread:
    """A Python thread that computes without pause while the block runs
    (when `busy`): what any other work in the program does to the
    interpreter lock."""

    def __init__(self, busy):
        self.busy = busy
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._spin, daemon=True)

    def _spin(self):
        while not self.stop.is_set():
            sum(i * i for i in range(1000))

    def __enter__(self):
        if self.busy:
            self.thread.start()
        return self

    def __exit__(self, *failure):
        self.stop.set()
        if self.busy:
            self.thread.join()


def unstable(figures):
    return figures.get("unstable_steps", "n/a")


def table(columns, rows):
    """A Markdown table of `rows` (each a sequence of cells) under `columns`."""
    return [
        "| " + " | ".join(columns) + " |",
        "|" + "---|" * len(columns),
        *("| " + " | ".join(str(cell) for cell in row) + " |" for row in rows),
    ]


def report(results):
    scenes = [
        (
            boxes,
            f"{row['fixed']['step_us_p50']:.1f}",
            f"{row['fixed']['step_us_p99']:.1f}",
            f"{row['fixed']['rate_hz']:.1f}",
            row["fixed"]["overruns"],
            f"{row['free']['rate_hz']:.0f}",
        )
        for boxes, row in results["scenes"].items()
    ]
    loops = [
        (
            name,
            f"{row['alone']['rate_hz']:.1f}",
            f"{row['alone']['period_p99_us']:.0f}",
            f"{row['busy']['rate_hz']:.1f}",
            f"{row['busy']['period_p99_us']:.0f}",
            f"{row['busy']['rate_hz'] / row['alone']['rate_hz']:.3f} x",
            f"{unstable(row['alone'])}, {unstable(row['busy'])} beside the busy thread",
        )
        for name, row in results["side_by_side"].items()
    ]
    columns = ("boxes", "step p50 (us)", "step p99 (us)", "at 1 kHz (cycles/s)", "overruns")
    side_columns = ("loop", "alone (cycles/s)", "p99 period alone (us)")
    busy_columns = ("beside a busy thread (cycles/s)", "p99 period beside it (us)", "kept")
    return "\n".join(
        [
            *table((*columns, "free-running (cycles/s)"), scenes),
            "",
            f"{SIDE_BY_SIDE_BOXES} boxes at 1 kHz:",
            "",
            *table((*side_columns, *busy_columns, "steps MuJoCo found unstable"), loops),
        ]
    )


def main():
    args = options_parser(__doc__, VIRTUAL_ARM_OPTIONS).parse_args()
    bench = Bench(str(args.virtual_device) if args.virtual_device else None)
    results = {"machine": platform.node(), "mujoco": mujoco.__version__, "scenes": {}}
    for boxes in BOX_COUNTS:
        results["scenes"][str(boxes)] = {
            "fixed": bench.native(boxes, RATE_HZ),
            "free": bench.native(boxes, None),
        }
        print(f"  {boxes} boxes: {results['scenes'][str(boxes)]}", flush=True)
    results["side_by_side"] = {
        "python (mj_step + force command)": {
            "alone": bench.python_way(SIDE_BY_SIDE_BOXES),
            "busy": bench.python_way(SIDE_BY_SIDE_BOXES, busy=True),
        },
        "native scene": {
            "alone": bench.native(SIDE_BY_SIDE_BOXES, RATE_HZ),
            "busy": bench.native(SIDE_BY_SIDE_BOXES, RATE_HZ, busy=True),
        },
    }
    text = report(results)
    write_results(args.results, "physics", results, text)


if __name__ == "__main__":
    main()
