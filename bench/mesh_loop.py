"""The native loop pressed into a triangle mesh on the virtual arm:
free-running into a 100k-triangle torus (against the loop without one) and
at 1 kHz into a 1M-triangle one; the targets they are held to. The mesh
bench proper, without a device, is mesh.py."""

import meshes
from native_loop import KILOHERTZ, KILOHERTZ_TOLERANCE, NATIVE_FREE, NativeLoopRow
from runner import verdict
from stats import paired_median, ratio
from TorviHardwareAPI.haptics import Mesh

NATIVE_FREE_MESH = "native_loop_free_mesh"
NATIVE_1KHZ_MESH = "native_loop_1khz_mesh"
# The target: free-running with the mesh, at least this share of the rate
# without one.
MIN_MESH_RATE_RATIO = 0.9

# The mesh rows add a torus whose tube hangs MESH_CLEARANCE above the arm
# and push the hand up into it: the proxy is in contact at every cycle.
MESH_CLEARANCE = 0.001  # m
MESH_PUSH = (0.0, 0.0, 1.0)  # N
MESH_STIFFNESS = 800.0  # N/m


class MeshLoopRow(NativeLoopRow):
    """A native loop row that also renders a torus of `triangles` triangles
    and pushes the hand up into it."""

    def __init__(self, arm, key, label, triangles, rate_hz=None):
        super().__init__(arm, key, label, rate_hz=rate_hz)
        self.mesh = Mesh(*meshes.torus(triangles), stiffness=MESH_STIFFNESS)

    def add_effects(self, loop):
        """The wall, the damper and the torus, its tube's underside just
        above where the arm is now."""
        super().add_effects(loop)
        position, _ = self.arm.end_effector_force([0.0, 0.0, 0.0])
        self.mesh.set_pose(
            position=(
                position[0] + meshes.RING,
                position[1],
                position[2] + MESH_CLEARANCE + meshes.TUBE,
            )
        )
        loop.add(self.mesh)
        loop.set_force(MESH_PUSH)


def mesh_loop_rows(arm):
    """Free-running with a 100k-triangle mesh and at 1 kHz with a
    1M-triangle one, each pressed into."""
    return [
        MeshLoopRow(
            arm,
            NATIVE_FREE_MESH,
            "native HapticLoop, free-running, 100k-triangle mesh",
            triangles=100_000,
        ),
        MeshLoopRow(
            arm,
            NATIVE_1KHZ_MESH,
            "native HapticLoop, 1 kHz, 1M-triangle mesh",
            triangles=1_000_000,
            rate_hz=1000.0,
        ),
    ]


def mesh_targets(blocks, kilohertz):
    """The mesh rows: free-running with a 100k mesh against without; the
    long run at 1 kHz with a 1M mesh."""
    rate_ratio = paired_median(
        [x["rate"] for x in blocks[NATIVE_FREE_MESH]],
        [x["rate"] for x in blocks[NATIVE_FREE]],
        ratio,
    )
    rate = kilohertz["rate"]
    return {
        "free_rate_ratio": {
            "value": rate_ratio,
            "limit": MIN_MESH_RATE_RATIO,
            "met": rate_ratio >= MIN_MESH_RATE_RATIO,
        },
        "kilohertz": {
            "seconds": kilohertz["seconds"],
            "rate": rate,
            "lateness_p99_us": kilohertz["lateness_p99_us"],
            "overruns": kilohertz["overruns"],
            "met": abs(rate - KILOHERTZ) <= KILOHERTZ_TOLERANCE,
        },
    }


def mesh_lines(targets):
    free, khz = targets["mesh"]["free_rate_ratio"], targets["mesh"]["kilohertz"]
    return [
        f"- native loop, free-running, pressed into a 100k-triangle mesh: rate ÷ without "
        f"{free['value']:.2f} (target ≥ {free['limit']}): {verdict(free['met'])}",
        f"- native loop at 1 kHz pressed into a 1M-triangle mesh for {khz['seconds']:g} s: "
        f"{khz['rate']:.1f} cycles/s (target {KILOHERTZ:.0f} ± {KILOHERTZ_TOLERANCE:.0f}), p99 "
        f"lateness {khz['lateness_p99_us']:.0f} µs, {khz['overruns']} overruns: "
        + verdict(khz["met"]),
    ]
