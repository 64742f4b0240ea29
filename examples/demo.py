"""TorviHardwareAPI without hardware.

Starts a virtual arm and a virtual handle (torvi-virtual-device, installed
with the module), wakes the arm and prints what it says about itself, runs a
haptic loop against a virtual wall for a few seconds, then prints a few
events of the handle received through a Handle subclass. The virtual devices
are stopped at the end, also when something fails.

Should a virtual device end on its own, the demo stops within a second with
one line saying which, and exits with status 1; Ctrl-C stops the devices and
prints "interrupted" (exit status 130).
"""

from __future__ import annotations

import signal
import sys
import threading
import time
from typing import Callable

import TorviHardwareAPI as T
from torvi.virtual import VirtualDevice, VirtualDeviceError

# The haptic loop: a hand pushes the end effector along +z into a wall that
# pushes back like a spring.
LOOP_SECONDS = 3.0
REPORT_EVERY = 0.5  # seconds between two lines of the loop
HAND_FORCE = 1.0  # N along +z
WALL_DISTANCE = 0.01  # m in front of where the arm starts
WALL_STIFFNESS = 300.0  # N/m

HANDLE_EVENTS = 5

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


def wall_force(z: float, wall: float) -> float:
    """The hand's push, less the wall's spring once the end effector is in."""
    depth = z - wall
    return HAND_FORCE - (WALL_STIFFNESS * depth if depth > 0 else 0.0)


def haptic_loop(arm: T.Armillar) -> None:
    position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    wall = position[2] + WALL_DISTANCE
    print(
        f"haptic loop: wall at z = {wall:.4f}, hand pushing with {HAND_FORCE} N "
        f"for {LOOP_SECONDS:.0f} s"
    )
    force = [0.0, 0.0, HAND_FORCE]
    started = last_report = time.perf_counter()
    exchanges = reported = 0
    while True:
        position, velocity = arm.end_effector_force(force)
        force[2] = wall_force(position[2], wall)
        exchanges += 1
        now = time.perf_counter()
        if now - last_report >= REPORT_EVERY:
            rate = (exchanges - reported) / (now - last_report)
            print(
                f"  t={now - started:4.1f} s  {rate:8.0f} exchanges/s  "
                f"z={position[2]:.4f}  "
                f"into the wall {max(0.0, position[2] - wall) * 1000:5.2f} mm  "
                f"force {force[2]:+.3f} N"
            )
            last_report, reported = now, exchanges
            if now - started >= LOOP_SECONDS:
                break
    arm.end_effector_force([0.0, 0.0, 0.0])  # let go
    print(
        f"  {exchanges} exchanges, {exchanges / (now - started):.0f} per second on average; "
        f"settled {max(0.0, position[2] - wall) * 1000:.2f} mm in, "
        f"where the spring holds the hand: {HAND_FORCE / WALL_STIFFNESS * 1000:.2f} mm"
    )


class DemoHandle(T.Handle):
    """Receives the handle's events; each Receive() delivers at most one."""

    def __init__(self, stream: T.SerialStream) -> None:
        super().__init__(stream)
        self.info_seen = False
        self.status_seen = 0

    def OnReceiveHandleInfo(
        self, tool_data_remaining: int, device_id: int, model: int, hardware: int, firmware: int
    ) -> None:
        self.info_seen = True
        print(
            f"  info: device id {device_id:#06x}, model {model}, "
            f"hardware {hardware}, firmware {firmware}"
        )

    # Receive() passes lists here; called directly from Python the method
    # takes one float and one byte, which is what the stub declares.
    def OnReceiveHandleStatusMessage(  # type: ignore[override]
        self,
        device_id: int,
        quaternion: list[float],
        error_flag: int,
        hall_level: int,
        user_data_length: int,
        user_data: list[int],
    ) -> None:
        self.status_seen += 1
        print(
            f"  status: device id {device_id:#06x}, quaternion "
            f"[{', '.join(f'{q:+.3f}' for q in quaternion)}], hall {hall_level:2d}, "
            f"user data {user_data}"
        )


def receive_until(handle: T.Handle, done: Callable[[], bool], limit: int = 50) -> None:
    for _ in range(limit):
        if done():
            return
        handle.Receive()


def show_handle(handle: DemoHandle) -> None:
    print("handle events:")
    handle.SendDeviceWakeup()
    receive_until(handle, lambda: handle.info_seen)
    # Give the handle one byte of user data; it reports it back from now on.
    handle.SendHandleState(0x0042, 1, 0x7F)
    before = handle.status_seen
    receive_until(handle, lambda: handle.status_seen >= before + HANDLE_EVENTS)


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


def run() -> None:
    print(f"TorviHardwareAPI {T.__version__}, library {T.get_cpp_version()}")
    # The devices run in sessions of their own: Ctrl-C reaches the demo
    # alone, which stops them on its way out.
    with VirtualDevice("arm", own_session=True) as virtual_arm, VirtualDevice(
        "handle", "--stream-hz", "20", own_session=True
    ) as virtual_handle, DeviceWatcher({"arm": virtual_arm, "handle": virtual_handle}):
        print(f"virtual arm on {virtual_arm.path}, virtual handle on {virtual_handle.path}")
        # Each stream outlives the device object built on it.
        arm_stream = T.SerialStream(virtual_arm.path)
        arm = T.Armillar(arm_stream)
        show_arm(arm)
        haptic_loop(arm)

        handle_stream = T.SerialStream(virtual_handle.path)
        handle = DemoHandle(handle_stream)
        show_handle(handle)

        del arm, handle
        del arm_stream, handle_stream
    print("virtual devices stopped; done")


def main() -> int:
    try:
        run()
    except (DeviceEnded, VirtualDeviceError) as ended:
        print(f"demo stopped: {ended}", file=sys.stderr)
        return EXIT_DEVICE_ENDED
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    return 0


if __name__ == "__main__":
    sys.exit(main())
