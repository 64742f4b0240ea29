"""The LSL streams of torvi.lsl, received by an inlet in the test over the
loopback: every cycle of a loop with its own time, the handle's events
beside the program's own iteration of the listener, and the markers."""

import subprocess
import sys
import time

import numpy as np
import pytest

import TorviHardwareAPI as T
from support import ENV
from TorviHardwareAPI.events import HandleListener
from TorviHardwareAPI.haptics import HapticLoop, MoveTo, Spring

pylsl = pytest.importorskip("pylsl")
lsl = pytest.importorskip("torvi.lsl")

RESOLVE_TIMEOUT = 5.0
CLOCK_TOLERANCE = 1e-3  # s


def inlet(name):
    """An open inlet on the stream `name`, resolved by name (no waiting for
    discovery of every stream on the network)."""
    found = pylsl.resolve_byprop("name", name, timeout=RESOLVE_TIMEOUT)
    assert found, f"no LSL stream {name!r}"
    opened = pylsl.StreamInlet(found[0], max_buflen=60)
    opened.open_stream(timeout=RESOLVE_TIMEOUT)
    return opened


def pull_all(source, expected, timeout=5.0):
    """Everything `source` receives until `expected` samples came or
    `timeout` passed: (samples, timestamps)."""
    samples, stamps = [], []
    deadline = time.monotonic() + timeout
    while len(samples) < expected and time.monotonic() < deadline:
        chunk, times = source.pull_chunk(timeout=0.1, max_samples=100000)
        samples += chunk
        stamps += times
    return samples, stamps


def settle(done, timeout=5.0):
    """Waits until done(), then three push intervals, for the streams to see it."""
    deadline = time.monotonic() + timeout
    while not done():
        assert time.monotonic() < deadline, "it did not happen"
        time.sleep(0.01)
    time.sleep(3 * lsl.PUSH_INTERVAL)


def test_an_inlet_receives_every_cycle_with_its_own_time(virtual_arm):
    loop = HapticLoop(T.Armillar(T.SerialStream(virtual_arm.path)), rate_hz=1000.0)
    loop.add(Spring(anchor=(0, 0, 0), stiffness=50.0))
    reference = loop.reader()
    with lsl.stream_loop(loop, name="TorviArmTest") as stream:
        arm = inlet("TorviArmTest")
        info = arm.info()
        with loop:
            time.sleep(0.3)
        record = reference.samples()
        values, stamps = pull_all(arm, len(record))
    assert info.nominal_srate() == 1000.0 and info.channel_count() == len(record.columns())
    assert stream.dropped == 0 and record.dropped == 0
    assert len(values) == stream.pushed == loop.stats().cycles == len(record)
    columns = np.column_stack(list(record.columns().values())).astype(np.float64)
    np.testing.assert_array_equal(np.array(values), columns)
    stamps = np.array(stamps)
    assert (np.diff(stamps) > 0).all()
    # Measured here, apart from the stream: both clocks are CLOCK_MONOTONIC.
    offset = lsl.ClockMap.measure(pylsl.local_clock).offset
    assert abs(offset) < CLOCK_TOLERANCE
    np.testing.assert_allclose(stamps, record.time + offset, rtol=0, atol=CLOCK_TOLERANCE)


def test_handle_events_and_markers_arrive_in_order_with_their_fields(virtual_device, virtual_arm):
    handle_device = virtual_device("handle", "--stream-hz", "100")
    handle = T.Handle(T.SerialStream(handle_device.path))
    arm = T.Armillar(T.SerialStream(virtual_arm.path))
    home, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    loop = HapticLoop(arm, rate_hz=1000.0)
    # At the hand: it arrives as soon as its anchor has.
    move = MoveTo(target=home, stiffness=300.0, damping=5.0, max_speed=0.05, tolerance=0.002)
    with HandleListener(handle) as listener:
        streams = lsl.stream_handle(listener, name="TorviHandleTest")
        markers = lsl.stream_markers(loop, listener, name="TorviMarkersTest")
        with streams, markers:
            events_in, markers_in = inlet("TorviHandleTest"), inlet("TorviMarkersTest")
            # The program's own iteration, while the stream taps the listener
            # (from the events queued after it began).
            while listener.get(timeout=0) is not None:
                pass
            own = [listener.get(timeout=2.0) for _ in range(10)]
            with loop:
                loop.add(move)
                assert loop.wait_arrived(move, timeout=5.0)
                time.sleep(3 * lsl.PUSH_INTERVAL)
                loop.remove(move)
                time.sleep(3 * lsl.PUSH_INTERVAL)
                virtual_arm.stop()  # the arm falls silent: the loop stops by itself
                settle(lambda: not loop.running)
                rows, stamps = pull_all(events_in, streams.pushed)
                handle_device.stop()  # the handle's port hangs up
                settle(lambda: not listener.running)
            # Pulled while the outlets are there: an inlet whose outlet has
            # gone may wait for it to come back.
            marked, _ = pull_all(markers_in, 7)
    assert None not in own
    assert streams.dropped == 0 and len(rows) >= len(own)
    # The events the program took are in the stream too, in order, after at
    # most those it cleared from the queue.
    first = rows.index(lsl.handle_row(own[0]))
    assert rows[first : first + len(own)] == [lsl.handle_row(event) for event in own]
    assert rows[first][0] == "status" and rows[first][1:6] == [
        str(own[0].device_id),
        *map(repr, own[0].quaternion),
    ]
    np.testing.assert_allclose(
        stamps[first : first + len(own)],
        [event.time + streams.clock.offset for event in own],
        rtol=0,
        atol=CLOCK_TOLERANCE,
    )
    assert marked == [
        ["loop_started", ""],
        ["effect_added", "MoveTo"],
        ["move_to_arrived", "MoveTo"],
        ["effect_removed", "MoveTo"],
        ["loop_error", loop.error],
        ["loop_stopped", ""],
        ["listener_error", listener.error],
    ]
    assert loop.error and listener.error


def test_without_pylsl_one_line_names_the_extra():
    blocked = "import sys; sys.modules['pylsl'] = None; import torvi.lsl, TorviHardwareAPI as T\n"
    blocked += "torvi.lsl.stream_markers()"
    result = subprocess.run(
        [sys.executable, "-c", blocked], env=ENV, capture_output=True, text=True, timeout=60
    )
    assert result.returncode != 0
    assert result.stderr.strip().splitlines()[-1] == (
        "ImportError: LSL streams need pylsl: pip install 'torvihardwareapi[lsl]'"
    )
