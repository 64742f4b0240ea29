"""Lab Streaming Layer streams of a haptic session: a HapticLoop on a virtual
arm ("TorviArm", every cycle), a HandleListener on a virtual handle
("TorviHandle", every event) and what happens to them ("TorviMarkers"). An
inlet in the same script stands in for the lab's recorder: it prints what
arrives and how its clock lines up with the samples' own times. Meanwhile
the program iterates the listener itself, as it would without the streams.

Needs pylsl (pip install 'torvihardwareapi[lsl]'). To record the streams
instead, run LabRecorder and select them while this runs.
"""

from __future__ import annotations

import importlib
import time
from typing import Any

import torvi.lsl
import TorviHardwareAPI as T
from torvi.virtual import VirtualDevice
from TorviHardwareAPI.events import HandleListener
from TorviHardwareAPI.haptics import HapticLoop, MoveTo, Spring

RATE_HZ = 1000.0
HANDLE_HZ = 50
RUN_S = 1.0


def inlet(pylsl: Any, name: str) -> Any:
    """An inlet on the stream `name`, resolved by name (fast on one machine)."""
    found = pylsl.resolve_byprop("name", name, timeout=5.0)
    if not found:
        raise RuntimeError(f"no LSL stream {name!r} found")
    opened = pylsl.StreamInlet(found[0])
    opened.open_stream(timeout=5.0)
    return opened


def session(loop: HapticLoop, listener: HandleListener, home: tuple[float, float, float]) -> int:
    """A second of the loop with a spring, then a MoveTo back home; the
    program takes its own handle events meanwhile. Returns how many."""
    taken = 0
    with loop:
        spring = loop.add(Spring(anchor=home, stiffness=100.0), fade_s=0.1)
        deadline = time.monotonic() + RUN_S
        while time.monotonic() < deadline:
            taken += listener.get(timeout=0.05) is not None
        loop.remove(spring)
        move = loop.add(MoveTo(target=home, stiffness=300.0, damping=5.0, max_speed=0.05))
        loop.wait_arrived(move, timeout=2.0)
        time.sleep(0.05)  # the arrival is marked within a push interval
    return taken


def show(cycles: Any, events_in: Any, markers: Any, stream: torvi.lsl.LoopStream) -> None:
    """What the inlets received, and how the clocks line up."""
    values, stamps = cycles.pull_chunk(timeout=1.0, max_samples=1_000_000)
    time_channel = stream.columns.index("time")
    lag = [stamp - row[time_channel] for row, stamp in zip(values, stamps)]
    print(f"TorviArm: {len(values)} cycles (pushed {stream.pushed}, dropped {stream.dropped})")
    if lag:
        print(
            f"  timestamp - cycle time: {min(lag) * 1e6:+.1f} .. {max(lag) * 1e6:+.1f} us "
            f"(the offset measured at the stream's start: {stream.clock.offset * 1e6:+.1f} us)"
        )
    print(f"  inlet's time correction to the outlet: {cycles.time_correction() * 1e6:+.1f} us")
    events, _ = events_in.pull_chunk(timeout=1.0, max_samples=100_000)
    kinds = sorted({row[0] for row in events})
    print(f"TorviHandle: {len(events)} events ({', '.join(kinds)}); first: {events[:1]}")
    marked, marked_at = markers.pull_chunk(timeout=1.0)
    print("TorviMarkers:")
    for (marker, detail), stamp in zip(marked, marked_at):
        print(f"  {stamp:.3f}  {marker} {detail}")


def main() -> None:
    pylsl = importlib.import_module("pylsl")  # the extra "lsl"

    with VirtualDevice("arm") as virtual_arm, VirtualDevice(
        "handle", "--stream-hz", HANDLE_HZ
    ) as virtual_handle:
        arm = T.Armillar(T.SerialStream(virtual_arm.path))
        x, y, z = arm.end_effector_force([0.0, 0.0, 0.0])[0]
        loop = HapticLoop(arm, rate_hz=RATE_HZ, max_force=5.0)
        with HandleListener(T.Handle(T.SerialStream(virtual_handle.path))) as listener:
            arm_stream = torvi.lsl.stream_loop(loop)
            with arm_stream, torvi.lsl.stream_handle(listener), torvi.lsl.stream_markers(
                loop, listener
            ):
                cycles, events, markers = (
                    inlet(pylsl, name) for name in ("TorviArm", "TorviHandle", "TorviMarkers")
                )
                taken = session(loop, listener, (x, y, z))
                print(f"the program took {taken} handle events itself")
                # Pulled while the outlets are there (an inlet whose outlet
                # went away waits for it to come back).
                time.sleep(0.05)
                show(cycles, events, markers, arm_stream)
                for opened in (cycles, events, markers):
                    opened.close_stream()  # before the outlets go, as a recorder would


if __name__ == "__main__":
    main()
