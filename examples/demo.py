"""TorviHardwareAPI without hardware.

Starts a virtual arm and a virtual handle (torvi-virtual-device, installed
with the module), wakes the arm and prints what it says about itself, renders
one virtual wall four times (a Python loop and the native HapticLoop, each
alone and beside a busy Python thread; see haptic_comparison.py; the native
renderings are recorded cycle by cycle, and the demo says how many cycles
its record kept and lost), a wall as stiff as the passive bound pressed by a
simulated hand with passivity off and on (see stiff_wall.py; two more
virtual arms), a triangle mesh through its proxy (see
touch_mesh.py) and a MuJoCo box pushed along a table into a wall by a
simulated hand (see push_box.py; one more virtual arm), brings the hand
back to the middle of the workspace with a MoveTo (see guided_trial.py),
then prints the handle's events from a native listener (the first few,
events per second, dropped and skipped). The virtual devices are stopped at
the end, also when something fails.

    python demo.py [--plot FILE.png] [--view [PORT]]

--plot draws penetration and force over time for the Python loop and, from
its record, the native loop (needs matplotlib). --view ends the demo with a
scene served as a live 3D view at http://localhost:PORT (8080): the torus,
a wall beneath the hand and a MoveTo taking the hand up and down, on until
Ctrl-C (needs the extra "view").

Should a virtual device end on its own, the demo stops within a second with
one line saying which, and exits with status 1; Ctrl-C stops the devices and
prints "interrupted" (exit status 130).
"""

from __future__ import annotations

import argparse
import math
import signal
import sys
import threading
import time

import push_box
import stiff_wall
import TorviHardwareAPI as T
import touch_mesh
from haptic_comparison import compare
from torvi.view import PortInUse, View, add_view_option
from torvi.virtual import VirtualDevice, VirtualDeviceError
from TorviHardwareAPI.events import HandleEvent, HandleListener, InfoEvent, StatusEvent
from TorviHardwareAPI.haptics import Damper, HapticLoop, MoveTo, Plane

HANDLE_EVENTS = 5  # shown one by one
HANDLE_SECONDS = 1.0  # of listening
HANDLE_STREAM_HZ = 200

# How often the watcher looks whether the virtual devices still run.
WATCH_EVERY = 0.2  # s
# The signal by which the watcher interrupts the main thread, and the exit
# statuses of the two ways the demo can be stopped.
DEVICE_ENDED_SIGNAL = signal.SIGUSR1
EXIT_DEVICE_ENDED = 1
EXIT_INTERRUPTED = 128 + signal.SIGINT


def show_arm(arm: T.Armillar) -> None:
    info = arm.device_wakeup_dict()
    print("arm woken up:")
    for key, value in info.items():
        print(f"  {key}: {value}")
    print(f"  firmware version: {arm.get_firmware_version()}")
    print(f"  powered: {arm.get_power_status()}, temperature: {arm.get_temperature():.1f}")
    print("  base orientation:", ", ".join(f"{q:.4f}" for q in arm.get_device_orientation()))


def describe(event: HandleEvent) -> str:
    if isinstance(event, InfoEvent):
        return (
            f"info: device id {event.device_id:#06x}, model {event.device_model_number}, "
            f"hardware {event.hardware_version}, firmware {event.firmware_version}"
        )
    if isinstance(event, StatusEvent):
        return (
            f"status: device id {event.device_id:#06x}, quaternion "
            f"[{', '.join(f'{q:+.3f}' for q in event.quaternion)}], "
            f"hall {event.hall_effect_sensor_level:2d}, user data {list(event.user_data)}"
        )
    return repr(event)


def show_handle(handle: T.Handle) -> None:
    """The handle's events from a HandleListener's native reader thread: the
    first few, then how many came in a second, and what was lost."""
    print("handle events, from a native listener:")
    try:
        with HandleListener(handle) as listener:
            listener.send_device_wakeup()
            # One byte of user data, which the handle reports back from now on.
            listener.send_handle_state(0x0042, b"\x7f")
            start = time.monotonic()
            events = 0
            for event in listener:
                events += 1
                if events <= HANDLE_EVENTS:
                    print(f"  {describe(event)}")
                if time.monotonic() - start >= HANDLE_SECONDS:
                    break
            rate = events / (time.monotonic() - start)
        print(f"  {rate:.0f} events/s, dropped {listener.dropped}, skipped {listener.skipped}")
    except RuntimeError as error:
        # The listener stops when the handle hangs up; give the watcher the
        # moment it needs to say why.
        time.sleep(2 * WATCH_EVERY)
        raise DeviceEnded(str(error)) from None


class DeviceEnded(Exception):
    """A virtual device ended while the demo ran."""


class DeviceWatcher:
    """Looks every WATCH_EVERY seconds whether the devices still run. When
    one has ended, it notes which and signals the main thread, whose waiting
    device call (a dead port answers nothing, so each would wait out its
    time-out) then raises DeviceEnded through the signal's handler."""

    def __init__(self, devices: dict[str, VirtualDevice]) -> None:
        self.devices = devices
        self.ended: str | None = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        signal.signal(DEVICE_ENDED_SIGNAL, self._raise)

    def _watch(self) -> None:
        while not self._stop.wait(WATCH_EVERY):
            for name, device in self.devices.items():
                if not device.alive():
                    self.ended = f"the virtual {name} ended (exit status {device.returncode})"
                    signal.pthread_kill(threading.main_thread().ident or 0, DEVICE_ENDED_SIGNAL)
                    return

    def _raise(self, number: int, frame: object) -> None:
        if not self._stop.is_set():
            raise DeviceEnded(self.ended)

    def __enter__(self) -> DeviceWatcher:
        self._thread.start()
        return self

    def __exit__(self, *error: object) -> None:
        # No signal may come once the devices are being stopped.
        self._stop.set()
        self._thread.join()
        signal.signal(DEVICE_ENDED_SIGNAL, signal.SIG_IGN)


def render_wall(arm: T.Armillar, plot_path: str | None) -> None:
    print("haptic loop: one virtual wall, rendered by Python and natively")
    try:
        compare(arm, plot_path=plot_path)
    except RuntimeError as error:
        # The native loop stops by itself when the arm stops answering; give
        # the watcher the moment it needs to say why.
        time.sleep(2 * WATCH_EVERY)
        raise DeviceEnded(str(error)) from None


def render_stiff_wall() -> None:
    print("haptic loop: a wall as stiff as the passive bound, passivity off and on (stiff_wall.py)")
    surface = stiff_wall.home()
    for passivity in (False, True):
        stiff_wall.press(surface, passivity)


MESH_SECONDS = 0.5


def render_mesh(arm: T.Armillar) -> None:
    print("haptic loop: a torus mesh pushed up into, felt through its proxy (touch_mesh.py)")
    position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    mesh = touch_mesh.placed_torus(position)
    with HapticLoop(arm, rate_hz=touch_mesh.RATE_HZ, max_force=touch_mesh.MAX_FORCE) as loop:
        loop.add(mesh)
        loop.add(Damper(coefficient=touch_mesh.DAMPER))
        loop.set_force((0.0, 0.0, touch_mesh.PUSH))
        time.sleep(MESH_SECONDS)
        hand, proxy, contact = loop.state().position, mesh.proxy, mesh.in_contact
        stats = loop.stats()
    if loop.error is not None:
        time.sleep(2 * WATCH_EVERY)  # the watcher says why
        raise DeviceEnded(loop.error)
    print(
        f"  {mesh.triangle_count} triangles at {stats.rate_hz:.0f} cycles/s; "
        f"{'in contact' if contact else 'not in contact'}, the hand "
        f"{(hand[2] - proxy[2]) * 1000:.2f} mm past the proxy on the surface"
    )


PHYSICS_SECONDS = 1.0


def render_physics() -> None:
    print("haptic loop: a MuJoCo box pushed along a table into a wall (push_box.py)")
    box_x, stats = push_box.push(PHYSICS_SECONDS)
    print(
        f"  the box moved {(box_x - 0.04) * 1000:.1f} mm; {stats.rate_hz:.0f} cycles/s, a step each"
    )


# The MoveTo back to the middle: a spring that pulls the hand along with an
# anchor travelling at MOVE_SPEED, and the rate of change of the force
# limited so that the hand is never kicked.
MOVE_STIFFNESS = 300.0  # N/m
MOVE_DAMPING = 5.0  # N s/m
MOVE_SPEED = 0.05  # m/s
MOVE_TIMEOUT = 5.0  # s
MOVE_FORCE_RATE = 100.0  # N/s


def return_to_middle(arm: T.Armillar, middle: list[float]) -> None:
    print("haptic loop: a MoveTo back to the middle of the workspace (guided_trial.py)")
    with HapticLoop(
        arm,
        rate_hz=touch_mesh.RATE_HZ,
        max_force=touch_mesh.MAX_FORCE,
        max_force_rate=MOVE_FORCE_RATE,
    ) as loop:
        started = time.monotonic()
        move = loop.add(MoveTo(middle, MOVE_STIFFNESS, MOVE_DAMPING, MOVE_SPEED))
        arrived = loop.wait_arrived(move, timeout=MOVE_TIMEOUT)
        took = time.monotonic() - started
        hand = loop.state().position
    if loop.error is not None:
        time.sleep(2 * WATCH_EVERY)  # the watcher says why
        raise DeviceEnded(loop.error)
    gap = math.dist(hand, middle) * 1000
    print(f"  {'arrived' if arrived else 'not there'} after {took:.2f} s, {gap:.2f} mm away")


# The scene of --view: the torus over the middle, a wall 3 cm under it, and
# a MoveTo beside the torus that takes the hand up VIEW_LIFT and down again,
# turning every VIEW_TURN_S.
VIEW_WALL_DEPTH = 0.03  # m
VIEW_WALL_STIFFNESS = 500.0  # N/m
VIEW_ASIDE = -0.025  # m along x: clear of the torus
VIEW_LIFT = 0.02  # m
VIEW_TURN_S = 2.0


def serve_view(arm: T.Armillar, middle: list[float], port: int) -> None:
    """The torus, a wall and a MoveTo up and down, in a live view until Ctrl-C."""
    mesh = touch_mesh.placed_torus(middle)
    wall = Plane(
        (middle[0], middle[1], middle[2] - VIEW_WALL_DEPTH), (0, 0, 1), VIEW_WALL_STIFFNESS, 0
    )
    low = [middle[0] + VIEW_ASIDE, middle[1], middle[2]]
    targets = [low, [low[0], low[1], low[2] + VIEW_LIFT]]
    move = MoveTo(targets[1], MOVE_STIFFNESS, MOVE_DAMPING, MOVE_SPEED)
    loop = HapticLoop(arm, rate_hz=touch_mesh.RATE_HZ, max_force=touch_mesh.MAX_FORCE)
    for effect in (mesh, wall, move, Damper(coefficient=touch_mesh.DAMPER)):
        loop.add(effect)
    with loop, View(loop, port=port) as view:
        print(f"the view: a torus, a wall and a MoveTo at {view.url}; Ctrl-C ends it", flush=True)
        turns = 0
        while loop.running:
            time.sleep(VIEW_TURN_S)
            turns += 1
            move.target = targets[turns % 2]
    if loop.error is not None:
        time.sleep(2 * WATCH_EVERY)  # the watcher says why
        raise DeviceEnded(loop.error)


def run(plot_path: str | None, view_port: int | None = None) -> None:
    print(f"TorviHardwareAPI {T.__version__}, library {T.get_cpp_version()}")
    # The devices run in sessions of their own: Ctrl-C reaches the demo
    # alone, which stops them on its way out.
    with VirtualDevice("arm", own_session=True) as virtual_arm, VirtualDevice(
        "handle", "--stream-hz", HANDLE_STREAM_HZ, own_session=True
    ) as virtual_handle, DeviceWatcher({"arm": virtual_arm, "handle": virtual_handle}):
        print(f"virtual arm on {virtual_arm.path}, virtual handle on {virtual_handle.path}")
        # Each stream outlives the device object built on it.
        arm_stream = T.SerialStream(virtual_arm.path)
        arm = T.Armillar(arm_stream)
        show_arm(arm)
        # The virtual arm starts at rest, in the middle of its workspace.
        middle, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        render_wall(arm, plot_path)
        render_stiff_wall()
        render_mesh(arm)
        render_physics()
        return_to_middle(arm, middle)

        handle_stream = T.SerialStream(virtual_handle.path)
        handle = T.Handle(handle_stream)
        show_handle(handle)
        if view_port is not None:
            serve_view(arm, middle, view_port)

        del arm, handle
        del arm_stream, handle_stream
    print("virtual devices stopped; done")


def main() -> int:
    parser = argparse.ArgumentParser(description="TorviHardwareAPI against virtual devices")
    parser.add_argument("--plot", metavar="FILE.png", help="chart the haptic runs into FILE.png")
    add_view_option(parser)
    arguments = parser.parse_args()
    try:
        run(arguments.plot, arguments.view)
    except (ImportError, PortInUse) as error:  # the view cannot open: one line says why
        print(f"demo stopped: {error}", file=sys.stderr)
        return EXIT_DEVICE_ENDED
    except (DeviceEnded, VirtualDeviceError) as ended:
        print(f"demo stopped: {ended}", file=sys.stderr)
        return EXIT_DEVICE_ENDED
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    return 0


if __name__ == "__main__":
    sys.exit(main())
