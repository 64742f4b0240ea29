"""Touch a triangle mesh: a torus built here (plain lists, no numpy needed)
hangs 1 cm above the virtual arm's end effector, and a constant force of
1 N pushes the hand up into it at 1 kHz. The proxy stops on the torus's
surface while the hand sinks in until the spring from the hand to the proxy
holds the push; friction keeps it from sliding off the round underside.
Then the push leans sideways past the friction cone and the hand slides
along the surface. Prints contact, proxy and force as it goes.

A mesh from a file works the same way: `vertices, faces =
torvi.meshes.load("part.stl", scale=0.001)` (needs the extra "mesh").

    python touch_mesh.py [--view [PORT]]

--view serves a live 3D view of the loop at http://localhost:PORT (8080)
while it runs, and keeps the loop and the view on at the end until Ctrl-C
(needs the extra "view")."""

from __future__ import annotations

import argparse
import math
import sys
import time

import TorviHardwareAPI as T
from torvi.loops import report
from torvi.view import add_view_option, exit_status_of, view_if_asked
from torvi.virtual import virtual_arm
from TorviHardwareAPI.haptics import Damper, HapticLoop, Mesh

RATE_HZ = 1000.0
MAX_FORCE = 5.0  # N
PUSH = 1.0  # N, up into the torus, then partly sideways
RING = 0.03  # m: the torus's radius, centre to the middle of its tube
TUBE = 0.01  # m: the tube's radius
AROUND, ACROSS = 96, 32  # segments: 6144 triangles
CLEARANCE = 0.01  # m between the hand and the torus at the start
STIFFNESS = 800.0  # N/m
DAMPING = 2.0  # N s/m along the contact normal
STATIC_FRICTION = 0.6  # sticks while the sideways push is at most 0.6 of the normal one
DYNAMIC_FRICTION = 0.4
DAMPER = 3.0  # N s/m everywhere, for calm
SECONDS_PER_PUSH = 0.6
REPORT_EVERY = 0.1  # s


def torus() -> tuple[list[list[float]], list[list[int]]]:
    """Vertices and faces (counter-clockwise seen from outside) of a torus
    about z through the origin."""
    vertices = []
    for i in range(AROUND):
        u = 2 * math.pi * i / AROUND
        for j in range(ACROSS):
            v = 2 * math.pi * j / ACROSS
            radius = RING + TUBE * math.cos(v)
            vertices.append([radius * math.cos(u), radius * math.sin(u), TUBE * math.sin(v)])
    faces = []
    for i in range(AROUND):
        for j in range(ACROSS):
            a, b = i * ACROSS + j, (i + 1) % AROUND * ACROSS + j
            c, d = (i + 1) % AROUND * ACROSS + (j + 1) % ACROSS, i * ACROSS + (j + 1) % ACROSS
            faces += [[a, b, c], [a, c, d]]
    return vertices, faces


def show(loop: HapticLoop, mesh: Mesh, hand_z: float) -> None:
    end = time.monotonic() + SECONDS_PER_PUSH
    while time.monotonic() < end and loop.running:
        time.sleep(REPORT_EVERY)
        state = loop.state()
        proxy = ", ".join(f"{p:+.4f}" for p in mesh.proxy)
        force = ", ".join(f"{f:+.3f}" for f in state.force)
        print(
            f"    {'contact' if mesh.in_contact else 'free   '}  hand z {state.position[2]:.4f} m"
            f" (start {hand_z:.4f})  proxy ({proxy})  force sent ({force}) N"
        )


def placed_torus(hand: list[float]) -> Mesh:
    """The torus, lying flat with the bottom of its tube CLEARANCE above `hand`."""
    vertices, faces = torus()
    mesh = Mesh(
        vertices,
        faces,
        stiffness=STIFFNESS,
        damping=DAMPING,
        static_friction=STATIC_FRICTION,
        dynamic_friction=DYNAMIC_FRICTION,
    )
    mesh.set_pose(position=(hand[0] + RING, hand[1], hand[2] + CLEARANCE + TUBE))
    return mesh


def run(arm: T.Armillar, view_port: int | None = None) -> None:
    position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    mesh = placed_torus(position)
    print(f"{mesh!r}, bounds {mesh.bounds}")
    with HapticLoop(arm, rate_hz=RATE_HZ, max_force=MAX_FORCE) as loop, view_if_asked(
        loop, view_port
    ) as view:
        loop.add(mesh)
        loop.add(Damper(coefficient=DAMPER))
        for push in ((0.0, 0.0, PUSH), (0.7 * PUSH, 0.0, 0.7 * PUSH)):
            loop.set_force(push)
            print(f"  pushing with {push} N")
            show(loop, mesh, position[2])
        print(f"  at rest the hand is {PUSH / STIFFNESS * 1000:.2f} mm into the surface")
        stats = loop.stats()
        if view is not None:
            print("  the loop and the view stay on until Ctrl-C")
            view.wait_for_interrupt()
    report(loop, stats)


def main() -> int:
    parser = argparse.ArgumentParser(description="touch a torus mesh on a virtual arm")
    add_view_option(parser)
    arguments = parser.parse_args()

    def touch() -> None:
        with virtual_arm() as arm:
            run(arm, arguments.view)

    return exit_status_of(touch)  # a view that cannot open: one line says why


if __name__ == "__main__":
    sys.exit(main())
