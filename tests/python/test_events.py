"""The handle's listener (TorviHardwareAPI.events): events from a scripted
handle on a pty, the writes it makes, a hang-up, stopping and dropping it,
Ctrl-C and the interpreter's exit, asyncio, and a session recorded with
`torvi trace` and replayed by the virtual device."""

import asyncio
import gc
import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

import TorviHardwareAPI as T
from support import (
    ENV,
    ERROR,
    INFO,
    QUATERNION,
    VALID_FRAME,
    Trace,
    start_interruptible,
    status_message,
)
from torvi.virtual import VirtualDevice
from TorviHardwareAPI.events import HandleListener

READER_NAME = "torvi-listener"


def fields(event):
    return tuple(getattr(event, name) for name in event.__match_args__)


def wait_until(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.005)


def reader_threads():
    """How many listener reader threads this process has."""
    tasks = pathlib.Path("/proc/self/task")
    return sum((task / "comm").read_text().strip() == READER_NAME for task in tasks.iterdir())


@pytest.fixture
def handle(stream):
    return T.Handle(stream)


def test_every_kind_arrives_in_order_with_its_fields(pty, handle):
    with HandleListener(handle) as listener:
        before = time.monotonic()
        pty.write(INFO + b"\x55" + status_message(0x1234, b"\x01\x02\x03") + ERROR)
        info, status, error = (next(listener) for _ in range(3))
        latest = listener.latest
    assert [info.kind, status.kind, error.kind] == ["info", "status", "error"]
    assert fields(info) == (0x11, 0x4433, 0x44, 0x55, 0x66)
    assert fields(status) == (0x1234, QUATERNION, 2, 31, 3, b"\x01\x02\x03")
    assert fields(error) == (0x1234, 7)
    assert before <= info.time <= error.time <= time.monotonic()
    assert listener.skipped == 1  # the stray 0x55, never an event
    assert fields(latest) == fields(status) and latest.time == status.time
    with pytest.raises(AttributeError):
        info.device_id = 1


def test_a_full_queue_drops_the_oldest_and_counts_them(pty, handle):
    with HandleListener(handle, maxlen=2) as listener:
        pty.write(b"".join(status_message(device_id) for device_id in range(5)))
        wait_until(lambda: listener.dropped == 3)
        assert [listener.get(0).device_id, listener.get(0).device_id] == [3, 4]
        assert listener.get(0) is None
        assert listener.latest.device_id == 4 and listener.dropped == 3


def test_a_time_out_too_long_for_the_clock_waits_without_limit(pty, handle):
    with HandleListener(handle) as listener:
        threading.Timer(0.2, pty.write, [ERROR]).start()
        event = listener.get(1e300)
    assert event is not None and event.kind == "error"


def test_writes_reach_the_wire_in_order_and_the_status_frame_answers_the_request(pty, handle):
    with HandleListener(handle) as listener:
        listener.send_device_wakeup()
        listener.send_handle_state(0x2345, b"\xaa\xbb")
        listener.request_status()
        assert pty.read(8) == bytes.fromhex("0a db 45 23 02 aa bb da")
        # The same code opens both: the frame asked for, then a message.
        pty.write(VALID_FRAME + status_message(9))
        frame, status = next(listener), next(listener)
    assert frame.kind == "status_frame"
    assert fields(frame) == (0x42, (-1.0, 0.5, 0.999969482421875, 0.0), 3, 22, 5, 3.5)
    assert status.kind == "status" and status.device_id == 9
    with pytest.raises(RuntimeError, match="not running"):
        listener.request_status()


def test_the_listener_owns_the_handle_until_it_is_stopped_or_dropped(pty, handle):
    threads = reader_threads()
    listener = HandleListener(handle)
    for call in (handle.Receive, handle.GetQuillonetStatus, lambda: handle.SendHandleState(1, 0)):
        with pytest.raises(RuntimeError, match="listened to by a running HandleListener"):
            call()
    with pytest.raises(RuntimeError, match="already has a listener"):
        HandleListener(handle)
    assert pty.drain() == b""  # the refused calls wrote nothing
    started = time.monotonic()
    listener.stop()
    # The handle is silent: stop() waits for no time-out.
    assert time.monotonic() - started < 0.5
    assert listener.get() is None and list(listener) == [] and listener.error is None
    handle.SendDeviceWakeup()
    assert pty.read(1) == b"\x0a"
    listener = HandleListener(handle)
    wait_until(lambda: reader_threads() == threads + 1)  # named once it runs
    del listener
    gc.collect()
    assert reader_threads() == threads
    handle.RequestStatus()
    assert pty.read(1) == b"\xda"


def test_a_hang_up_delivers_the_queued_events_then_one_error(pty, handle):
    listener = HandleListener(handle)
    pty.write(INFO + ERROR + status_message(5))
    wait_until(lambda: listener.latest is not None)  # all three have been read
    pty.close()
    kinds = []
    with pytest.raises(RuntimeError, match="the handle's port hung up"):
        for event in listener:
            kinds.append(event.kind)
    assert kinds == ["info", "error", "status"]
    assert listener.error == "the handle's port hung up" and not listener.running


# Leaves the listener running: the interpreter's exit must stop its reader.
CTRL_C_CHILD = r"""
import sys, time
import TorviHardwareAPI as T
from TorviHardwareAPI.events import HandleListener
listener = HandleListener(T.Handle(T.SerialStream(sys.argv[1])))
print("ready", flush=True)
try:
    for event in listener:
        pass
except KeyboardInterrupt:
    print(time.monotonic(), listener.running, flush=True)
"""


def test_ctrl_c_breaks_a_blocking_for_and_the_exit_stops_the_reader(pty):
    child = start_interruptible(
        [sys.executable, "-c", CTRL_C_CHILD, pty.path],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=ENV,
    )
    assert child.stdout.readline() == "ready\n"
    time.sleep(0.3)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=10)
    interrupted, running = out.split()
    assert float(interrupted) - sent < 1.0
    assert running == "True" and child.returncode == 0, err


def test_asyncio_gets_the_events_while_the_loop_goes_on(pty, handle):
    ticks = 0

    async def ticker():
        nonlocal ticks
        while True:
            ticks += 1
            # Only a loop that kept running while the consumer awaited gets here.
            if ticks == 20:
                pty.write(INFO + ERROR)
            await asyncio.sleep(0.001)

    async def consume(listener):
        task = asyncio.create_task(ticker())
        seen = []
        async for event in listener.aiter():
            seen.append((event.kind, ticks >= 20))
            if len(seen) == 2:
                break
        task.cancel()
        return seen

    async def rest(listener):
        return [event async for event in listener.aiter()]

    with HandleListener(handle) as listener:
        seen = asyncio.run(asyncio.wait_for(consume(listener), 10))
    assert seen == [("info", True), ("error", True)]
    assert asyncio.run(rest(listener)) == []  # a stopped listener ends the loop


def listen(path):
    """What a program sees from the handle at `path`: wakes it, gives it user
    data, and takes six events."""
    handle = T.Handle(T.SerialStream(path))
    with HandleListener(handle) as listener:
        listener.send_device_wakeup()
        listener.send_handle_state(0x0102, b"\x07\x08")
        return [(event.kind, fields(event)) for event, _ in zip(listener, range(6))]


def test_a_recorded_session_replays_the_same_events_and_a_changed_request_fails(
    virtual_device, tmp_path
):
    session = tmp_path / "session.txt"
    trace = Trace(virtual_device("handle", "--stream-hz", "50").path, "--out", session)
    try:
        recorded = listen(trace.path)
    finally:
        assert trace.stop()[0] == 0
    with VirtualDevice("replay", session) as replay:
        assert listen(replay.path) == recorded
    assert recorded[0][0] == "info" and recorded[-1][1][-1] == b"\x07\x08"

    # The HandleState request, changed: device id 0x0103 instead of 0x0102.
    lines = session.read_text().splitlines()
    number = next(i for i, line in enumerate(lines, 1) if "> " in line and "db 02 01" in line)
    original = lines[number - 1].split(" ", 2)[2]
    changed = original.replace("db 02 01", "db 03 01")
    lines[number - 1] = lines[number - 1].replace(original, changed)
    session.write_text("\n".join(lines) + "\n")
    replay = VirtualDevice("replay", session)
    with pytest.raises(RuntimeError, match="hung up"):
        listen(replay.path)
    assert replay.wait() == 2
    assert replay.stderr() == (
        f"torvi-virtual-device: {session}:{number}: expected {changed}, received {original}\n"
    )
    replay.stop()


def test_a_running_listener_holds_sigterm_as_an_orderly_exit(handle):
    previous = signal.signal(signal.SIGTERM, signal.SIG_DFL)
    try:
        with HandleListener(handle):
            assert signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL
        assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL
    finally:
        signal.signal(signal.SIGTERM, previous)
