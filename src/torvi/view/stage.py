"""What the live view and the replay share: the web server (viser), its
port, the camera that frames the arm's workspace, the hand with the force
as an arrow, and a status line in the panel."""

from __future__ import annotations

import contextlib
import errno
import io
import math
import socket
import threading
from typing import Any, Sequence, Tuple

from .colours import COLOURS

Point = Tuple[float, float, float]
Box = Tuple[Point, Point]

EXTRA = "view"
INSTALL_HINT = f'pip install "torvihardwareapi[{EXTRA}]"'
HOST = "127.0.0.1"  # the page is for this machine; a remote one reaches it through a tunnel

# The arm's workspace as the camera frames it: a box of 12 cm about where
# the end effector rests (its joints' rest pose), a little more than its
# reach from there.
WORKSPACE: Box = ((-0.06, -0.035, 0.16), (0.06, 0.085, 0.28))  # m
# Newtons per metre of arrow: 1 N is drawn 2 cm long.
FORCE_PER_METRE = 50.0
HAND_RADIUS = 0.006  # m: the hand's marker, a dot seen from the framing camera
ARROW_SHAFT = 0.0015  # m
ARROW_HEAD = 0.004  # m, radius and length
# The camera looks at the box from the front right, above it, from far
# enough that the whole box is in its field of view.
CAMERA_DIRECTION = (0.55, -1.0, 0.6)
CAMERA_FOV_DEGREES = 50.0
CAMERA_MARGIN = 1.15
AMBIENT_LIGHT = 1.2


class PortInUse(OSError):
    """The view's port is taken by another program."""


def import_viser() -> Any:
    """viser, or ImportError in one line naming the extra to install."""
    try:
        import viser
    except ImportError:
        raise ImportError(f"torvi.view needs viser (the extra {EXTRA!r}): {INSTALL_HINT}") from None
    return viser


def check_port(host: str, port: int) -> None:
    """PortInUse naming the port when a program listens on it: viser would
    quietly move to the next free one, and the page would not be where the
    program said."""
    if port == 0:
        return
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind((host, port))
        except OSError as error:
            if error.errno == errno.EADDRINUSE:
                raise PortInUse(
                    f"port {port} is in use on {host}: "
                    "give the view another one (0 picks a free one)"
                ) from None
            raise


def camera_pose(box: Box) -> tuple[Point, Point]:
    """(position, look_at) of a camera that sees the whole of `box`."""
    low, high = box
    centre = tuple((a + b) / 2 for a, b in zip(low, high))
    radius = math.dist(low, high) / 2
    distance = CAMERA_MARGIN * radius / math.sin(math.radians(CAMERA_FOV_DEGREES) / 2)
    norm = math.hypot(*CAMERA_DIRECTION)
    position = tuple(c + distance * d / norm for c, d in zip(centre, CAMERA_DIRECTION))
    return (position[0], position[1], position[2]), (centre[0], centre[1], centre[2])


def arrow(start: Sequence[float], force: Sequence[float], force_per_metre: float) -> Any:
    """The (1, 2, 3) points of the arrow of `force` from `start`."""
    import numpy

    tip = [s + f / force_per_metre for s, f in zip(start, force)]
    return numpy.array([[list(start), tip]], dtype=numpy.float32)


def serve_until_interrupted(stopping: threading.Event) -> None:
    """Returns on Ctrl-C (which it takes) or once `stopping` is set."""
    try:
        while not stopping.wait(1.0):
            pass
    except KeyboardInterrupt:
        pass


class Stage:
    """A viser server on `host`:`port` (0: a free one) with the camera on
    `box`, a button that puts it back there, the hand, its force and a
    status line. PortInUse when the port is taken, ImportError naming the
    extra when viser is missing."""

    def __init__(self, port: int, box: Box, force_per_metre: float, host: str = HOST) -> None:
        viser = import_viser()
        check_port(host, port)
        # viser prints a box of addresses, and a line when it stops: the
        # program says where its page is itself.
        with contextlib.redirect_stdout(io.StringIO()):
            self.server: Any = viser.ViserServer(host=host, port=port, verbose=False)
        self.port: int = self.server.get_port()
        self.url = f"http://localhost:{self.port}"
        self.force_per_metre = force_per_metre
        self.box = box
        scene = self.server.scene
        scene.set_up_direction("+z")
        scene.world_axes.visible = False
        # Lit by the lights alone, without shadows: colours stay as named
        # (an environment map pales them) and a software renderer keeps up.
        scene.configure_environment_map(None)
        scene.configure_default_lights(enabled=True, cast_shadow=False)
        scene.add_light_ambient("/ambient", intensity=AMBIENT_LIGHT)  # no face goes black
        self._frame_initial_camera()
        self.status = self.server.gui.add_markdown("starting")
        self.server.gui.add_button("Frame the workspace").on_click(self._frame_client)
        self.hand = scene.add_icosphere("/hand", radius=HAND_RADIUS, color=COLOURS["hand"])
        self.force = scene.add_arrows(
            "/force",
            arrow((0, 0, 0), (0, 0, 0), force_per_metre),
            COLOURS["force"],
            shaft_radius=ARROW_SHAFT,
            head_radius=ARROW_HEAD,
            head_length=ARROW_HEAD,
        )
        self._shown: tuple[Point, Point] | None = None

    def _frame_initial_camera(self) -> None:
        position, look_at = camera_pose(self.box)
        camera = self.server.initial_camera
        camera.position, camera.look_at = position, look_at
        camera.up = (0.0, 0.0, 1.0)
        camera.fov = math.radians(CAMERA_FOV_DEGREES)

    def _frame_client(self, event: Any) -> None:
        if event.client is None:
            return
        position, look_at = camera_pose(self.box)
        with event.client.atomic():
            event.client.camera.position = position
            event.client.camera.look_at = look_at
            event.client.camera.up_direction = (0.0, 0.0, 1.0)

    def show_hand(self, position: Sequence[float], force: Sequence[float]) -> None:
        """The hand at `position` pushed by `force`; sends nothing when both
        are as last shown."""
        shown = (tuple(position), tuple(force))
        if shown == self._shown:
            return
        self._shown = shown  # type: ignore[assignment]
        self.hand.position = tuple(position)
        # No arrow for no force (an arrow of length zero has no direction).
        pushing = math.hypot(*force) / self.force_per_metre > ARROW_HEAD / 10
        self.force.visible = pushing
        if pushing:
            self.force.points = arrow(position, force, self.force_per_metre)

    def say(self, text: str) -> None:
        if self.status.content != text:
            self.status.content = text

    def close(self) -> None:
        with contextlib.redirect_stdout(io.StringIO()):
            self.server.stop()
