"""How each kind of effect is drawn, in the arm's frame: a registry from the
effect's class to its drawer. A drawer makes its scene nodes once, then
each update sends only what changed since the last (a mesh's triangles go
once, then only its pose). Another kind of effect is one more class
registered with `@draws(TheEffect)`; a PhysicsScene's bodies are drawn
in the model's own colours. Effects of a kind with no drawer (a
Damper, a ConstantForce: nothing to place) are left out of the scene."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Callable, Sequence, Type, TypeVar

from TorviHardwareAPI.haptics import (
    Fence,
    Line,
    Mesh,
    MoveTo,
    PhysicsScene,
    Plane,
    Sphere,
    Spring,
)

from .colours import COLOURS, Colour

if TYPE_CHECKING:
    import viser

    from TorviHardwareAPI.haptics import SceneGeom  # only in a module built with physics

LINE_PIXELS = 3.0  # lines keep this thickness on screen at any zoom
MARKER_RADIUS = 0.004  # m: an anchor, a target, a proxy
WALL_PATCH = 0.06  # m: the side of the square that stands for a Plane
NORMAL_LENGTH = 0.02  # m: the Plane's normal as drawn
SPHERE_OPACITY = 0.35  # a ball lets the hand inside it be seen


class Drawer:
    """The nodes of one effect under `name`; update() brings them to the
    effect's published state, sending only what changed."""

    def __init__(self, scene: viser.SceneApi, name: str, effect: Any) -> None:
        self.scene = scene
        self.name = name
        self.effect = effect
        self._nodes: list[Any] = []
        self._sent: dict[tuple[int, str], Any] = {}

    def node(self, handle: Any) -> Any:
        self._nodes.append(handle)
        return handle

    def put(self, handle: Any, prop: str, value: Any) -> None:
        """Sets `handle.prop` unless it already holds `value`."""
        key = (id(handle), prop)
        if self._sent.get(key) != value:
            self._sent[key] = value
            setattr(handle, prop, value)

    def put_line(self, handle: Any, start: Sequence[float], end: Sequence[float]) -> None:
        if self._sent.get((id(handle), "line")) != (tuple(start), tuple(end)):
            self._sent[(id(handle), "line")] = (tuple(start), tuple(end))
            handle.points = segments([start], [end])

    def update(self, hand: Sequence[float]) -> None:
        """Brings the nodes to the effect's state; `hand` is where the hand is."""

    def remove(self) -> None:
        for handle in self._nodes:
            handle.remove()
        self._nodes.clear()

    def marker(self, suffix: str, colour: Colour) -> Any:
        return self.node(
            self.scene.add_icosphere(f"{self.name}/{suffix}", radius=MARKER_RADIUS, color=colour)
        )

    def line(self, suffix: str, colour: Colour, starts: Any, ends: Any) -> Any:
        return self.node(
            self.scene.add_line_segments(
                f"{self.name}/{suffix}",
                segments(starts, ends),
                colour,
                thickness=LINE_PIXELS,
                thickness_units="screen",
            )
        )


def square(half: float) -> tuple[Any, Any]:
    """The corners and two triangles of a square of side 2 * half across z."""
    import numpy

    corners = [[-half, -half, 0], [half, -half, 0], [half, half, 0], [-half, half, 0]]
    return (
        numpy.array(corners, dtype=numpy.float32),
        numpy.array([[0, 1, 2], [0, 2, 3]], dtype=numpy.uint32),
    )


def segments(starts: Any, ends: Any) -> Any:
    """The (N, 2, 3) points of the segments from each start to its end."""
    import numpy

    return numpy.stack([numpy.asarray(starts), numpy.asarray(ends)], axis=1).astype(numpy.float32)


def turn_from_z(normal: Sequence[float]) -> tuple[float, float, float, float]:
    """The quaternion (w, x, y, z) that turns +z onto `normal`."""
    length = math.hypot(*normal) or 1.0
    nx, ny, nz = (c / length for c in normal)
    if nz < -1.0 + 1e-9:
        return (0.0, 1.0, 0.0, 0.0)  # half a turn about x
    w, x, y = 1.0 + nz, -ny, nx
    norm = math.sqrt(w * w + x * x + y * y)
    return (w / norm, x / norm, y / norm, 0.0)


DrawerClass = Callable[["viser.SceneApi", str, Any], Drawer]
DRAWERS: dict[type, DrawerClass] = {}
D = TypeVar("D", bound=Type[Drawer])


def draws(kind: type) -> Callable[[D], D]:
    """Registers the decorated class as the drawer of effects of `kind`."""

    def register(drawer: D) -> D:
        DRAWERS[kind] = drawer
        return drawer

    return register


@draws(Plane)
class PlaneDrawer(Drawer):
    """A square patch through the point, across the normal, and the normal."""

    def __init__(self, scene: viser.SceneApi, name: str, effect: Any) -> None:
        super().__init__(scene, name, effect)
        self.frame = self.node(scene.add_frame(name, show_axes=False))
        corners, faces = square(WALL_PATCH / 2)
        self.node(
            scene.add_mesh_simple(
                f"{name}/patch", corners, faces, color=COLOURS["wall"], side="double"
            )
        )
        self.line("normal", COLOURS["wall"], [[0, 0, 0]], [[0, 0, NORMAL_LENGTH]])

    def update(self, hand: Sequence[float]) -> None:
        self.put(self.frame, "position", self.effect.point)
        self.put(self.frame, "wxyz", turn_from_z(self.effect.normal))


@draws(Sphere)
class SphereDrawer(Drawer):
    def __init__(self, scene: viser.SceneApi, name: str, effect: Any) -> None:
        super().__init__(scene, name, effect)
        self.ball = self.node(
            scene.add_icosphere(name, radius=1.0, color=COLOURS["sphere"], opacity=SPHERE_OPACITY)
        )

    def update(self, hand: Sequence[float]) -> None:
        self.put(self.ball, "position", self.effect.center)
        self.put(self.ball, "radius", self.effect.radius)
        self.put(self.ball, "wireframe", self.effect.inside)  # a shell: its inside is free


@draws(Spring)
class SpringDrawer(Drawer):
    """The anchor, and the pull from the hand to it."""

    def __init__(self, scene: viser.SceneApi, name: str, effect: Any) -> None:
        super().__init__(scene, name, effect)
        self.anchor = self.marker("anchor", COLOURS["spring"])
        self.pull = self.line("pull", COLOURS["spring"], [[0, 0, 0]], [[0, 0, 0]])

    def update(self, hand: Sequence[float]) -> None:
        self.put(self.anchor, "position", self.effect.anchor)
        self.put_line(self.pull, self.effect.anchor, hand)


@draws(MoveTo)
class MoveToDrawer(Drawer):
    """The travelling anchor, the target (its colour says whether the hand
    has arrived) and the anchor's way to it."""

    def __init__(self, scene: viser.SceneApi, name: str, effect: Any) -> None:
        super().__init__(scene, name, effect)
        self.anchor = self.marker("anchor", COLOURS["move"])
        self.target = self.marker("target", COLOURS["move"])
        self.way = self.line("way", COLOURS["move"], [[0, 0, 0]], [[0, 0, 0]])

    def update(self, hand: Sequence[float]) -> None:
        target, anchor = self.effect.target, self.effect.anchor
        self.put(self.anchor, "position", anchor)
        self.put(self.target, "position", target)
        self.put(self.target, "color", COLOURS["arrived" if self.effect.arrived else "move"])
        self.put_line(self.way, anchor, target)


@draws(Line)
class LineDrawer(Drawer):
    def __init__(self, scene: viser.SceneApi, name: str, effect: Any) -> None:
        super().__init__(scene, name, effect)
        self.segment = self.line("segment", COLOURS["guide"], [[0, 0, 0]], [[0, 0, 0]])

    def update(self, hand: Sequence[float]) -> None:
        self.put_line(self.segment, self.effect.start, self.effect.end)


# The box's 12 edges as pairs of its corners, numbered by their bits
# (bit 0: x at the maximum, bit 1: y, bit 2: z).
BOX_EDGES = [(a, a | bit) for a in range(8) for bit in (1, 2, 4) if not a & bit]


@draws(Fence)
class FenceDrawer(Drawer):
    def __init__(self, scene: viser.SceneApi, name: str, effect: Any) -> None:
        super().__init__(scene, name, effect)
        self.edges = self.line("edges", COLOURS["fence"], [[0, 0, 0]], [[0, 0, 0]])

    def update(self, hand: Sequence[float]) -> None:
        box = (self.effect.minimum, self.effect.maximum)
        if self._sent.get((id(self.edges), "box")) == box:
            return
        self._sent[(id(self.edges), "box")] = box
        corners = [[box[(i >> axis) & 1][axis] for axis in range(3)] for i in range(8)]
        starts = [corners[a] for a, _ in BOX_EDGES]
        self.edges.points = segments(starts, [corners[b] for _, b in BOX_EDGES])


@draws(Mesh)
class MeshDrawer(Drawer):
    """The triangles, sent once in the mesh's own frame, then only its pose;
    the proxy as a point whose colour says whether it is in contact."""

    def __init__(self, scene: viser.SceneApi, name: str, effect: Any) -> None:
        super().__init__(scene, name, effect)
        import numpy

        corners = effect.triangles().reshape(-1, 3)
        faces = numpy.arange(len(corners), dtype=numpy.uint32).reshape(-1, 3)
        self.frame = self.node(scene.add_frame(name, show_axes=False))
        self.node(
            scene.add_mesh_simple(
                f"{name}/triangles", corners, faces, color=COLOURS["mesh"], side="double"
            )
        )
        # In the arm's frame, beside the mesh's.
        self.proxy = self.node(
            scene.add_icosphere(f"{name}-proxy", radius=MARKER_RADIUS, color=COLOURS["proxy"])
        )

    def update(self, hand: Sequence[float]) -> None:
        position, rotation = self.effect.pose
        self.put(self.frame, "position", position)
        self.put(self.frame, "wxyz", rotation)
        self.put(self.proxy, "position", self.effect.proxy)
        self.put(self.proxy, "color", COLOURS["contact" if self.effect.in_contact else "proxy"])


# How each kind of MuJoCo geom is drawn, at the origin of its own frame
# (MuJoCo's sizes: radii and half-lengths; a cylinder's and a capsule's
# axis is z, as viser's is). Heightfields and SDFs are not drawn.
Shape = Callable[["viser.SceneApi", str, "SceneGeom", dict[str, Any]], None]
UNBOUNDED_PLANE = 0.5  # m in the scene: the half side of a plane MuJoCo makes infinite


def draw_capsule(scene: viser.SceneApi, name: str, geom: SceneGeom, style: dict[str, Any]) -> None:
    radius, half = geom.size[0], geom.size[1]
    scene.add_cylinder(f"{name}/shaft", radius=radius, height=2 * half, **style)
    for end in (-half, half):
        scene.add_icosphere(f"{name}/end{end:+}", radius=radius, position=(0, 0, end), **style)


def draw_plane(scene: viser.SceneApi, name: str, geom: SceneGeom, style: dict[str, Any]) -> None:
    corners, faces = square(geom.size[0] or UNBOUNDED_PLANE)
    scene.add_mesh_simple(f"{name}/plane", corners, faces, side="double", **style)


SHAPES: dict[str, Shape] = {
    "sphere": lambda scene, name, g, style: scene.add_icosphere(
        f"{name}/sphere", radius=g.size[0], **style
    ),
    "ellipsoid": lambda scene, name, g, style: scene.add_icosphere(
        f"{name}/ellipsoid", radius=1.0, scale=g.size, **style
    ),
    "box": lambda scene, name, g, style: scene.add_box(
        f"{name}/box", dimensions=tuple(2 * c for c in g.size), **style
    ),
    "cylinder": lambda scene, name, g, style: scene.add_cylinder(
        f"{name}/cylinder", radius=g.size[0], height=2 * g.size[1], **style
    ),
    "capsule": draw_capsule,
    "plane": draw_plane,
    "mesh": lambda scene, name, g, style: scene.add_mesh_simple(
        f"{name}/mesh", g.vertices, g.faces, **style
    ),
}


def geom_style(rgba: Sequence[float]) -> dict[str, Any]:
    """The colour and opacity of a geom of MuJoCo's colour `rgba` (0 to 1)."""
    colour = tuple(round(255 * c) for c in rgba[:3])
    return {"color": colour, "opacity": rgba[3] if rgba[3] < 1.0 else None}


@draws(PhysicsScene)
class PhysicsSceneDrawer(Drawer):
    """The model's geoms in their own colours, each on a frame of its body:
    the shapes go once, then only the bodies' poses. The scene's frame sits
    in the arm's as the coupling maps it (moved by -offset / scale, shrunk
    by the scale), so the hand is drawn where the scene's hand is."""

    def __init__(self, scene: viser.SceneApi, name: str, effect: Any) -> None:
        super().__init__(scene, name, effect)
        scale = effect.workspace_scale
        placed = tuple(-c / scale for c in effect.workspace_offset)
        # Removing this frame removes the bodies and geoms below it.
        self.node(scene.add_frame(name, show_axes=False, position=placed, scale=1.0 / scale))
        self.bodies: dict[int, Any] = {}
        for index, geom in enumerate(effect.geoms()):
            shape = SHAPES.get(geom.kind)
            if shape is None or geom.rgba[3] <= 0.0:
                continue
            if geom.body not in self.bodies:
                self.bodies[geom.body] = scene.add_frame(f"{name}/body{geom.body}", show_axes=False)
            frame = f"{name}/body{geom.body}/geom{index}"
            scene.add_frame(frame, show_axes=False, position=geom.position, wxyz=geom.rotation)
            shape(scene, frame, geom, geom_style(geom.rgba))

    def update(self, hand: Sequence[float]) -> None:
        poses = self.effect.body_poses()
        for body, frame in self.bodies.items():
            self.put(frame, "position", tuple(poses[body, :3]))
            self.put(frame, "wxyz", tuple(poses[body, 3:]))
