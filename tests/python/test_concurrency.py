"""Threads: two arms driven at once from two Python threads, each on its own
stream; a handle receiving on a worker thread while the main thread keeps
running; handlers that raise, and handlers that call into another device,
inside Receive. No deadlock, no reply lost or delivered to the wrong caller,
and the interpreter lock in the right state after every exception."""

import sys
import threading
import time
import warnings

import pytest

import TorviHardwareAPI as T

JOIN_LIMIT = 60.0
# The virtual arm moves to commanded joint angles within some milliseconds.
SETTLE_LIMIT = 5.0
ANGLE_TOLERANCE = 0.5


class Worker(threading.Thread):
    """Runs `work`, keeping its result or the exception it raised."""

    def __init__(self, work):
        super().__init__(daemon=True)
        self.work = work
        self.result = None
        self.error = None

    def run(self):
        try:
            self.result = self.work()
        except BaseException as error:  # handed to the test thread
            self.error = error

    def outcome(self):
        self.join(JOIN_LIMIT)
        assert not self.is_alive(), "deadlock: the thread did not finish"
        if self.error is not None:
            raise self.error
        return self.result


@pytest.fixture
def fast_switching():
    """Makes the interpreter hand the lock between threads very often, so
    that lock transitions inside the bindings interleave as much as they can."""
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(before)


def close_to(values, target):
    return all(abs(value - wanted) < ANGLE_TOLERANCE for value, wanted in zip(values, target))


def test_two_arms_on_two_threads_get_their_own_replies(virtual_device, fast_switching):
    poses = {4: [10.0, -45.0, 60.0], 9: [-25.0, -80.0, 15.0]}
    order = []  # which thread finished each exchange, in order

    def drive(model):
        device = virtual_device("arm", "--model", model)
        arm = T.Armillar(T.SerialStream(device.path))
        own, other = poses[model], poses[13 - model]
        deadline = time.monotonic() + SETTLE_LIMIT
        while not close_to(arm.joint_angles(own)[0], own):
            assert time.monotonic() < deadline, f"arm {model} did not reach its pose"
        for i in range(3000):
            if i % 500 == 0:
                info = arm.device_wakeup()
                assert info[1] == model, f"arm {model} got the wakeup reply of another arm"
            angles, velocities = arm.joint_angles(own)
            order.append(model)
            assert close_to(angles, own), f"arm {model}, exchange {i}: {angles}"
            assert not close_to(angles, other)
        return i + 1

    workers = [Worker(lambda model=model: drive(model)) for model in poses]
    for worker in workers:
        worker.start()
    assert [worker.outcome() for worker in workers] == [3000, 3000]
    # Both really ran at once: the exchanges of the two arms interleave.
    switches = sum(1 for a, b in zip(order, order[1:]) if a != b)
    assert switches > 10, f"the arms took turns only {switches} times"


class Collecting(T.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.threads = set()
        self.messages = 0

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, hall, length, data):
        self.threads.add(threading.get_ident())
        assert len(quaternion) == 4 and len(data) == length
        self.messages += 1


def test_handle_receives_on_a_worker_while_the_main_thread_runs(virtual_device):
    device = virtual_device("handle", "--stream-hz", "400")
    handle = Collecting(T.SerialStream(device.path))
    receiver = Worker(lambda: [handle.Receive() for _ in range(200)])
    receiver.start()
    main_thread_turns = 0
    while receiver.is_alive():
        main_thread_turns += 1
        time.sleep(0.0005)
    counts = receiver.outcome()
    assert all(count >= 21 for count in counts), counts
    assert handle.messages == 200
    assert handle.threads == {receiver.ident}
    # 200 messages at 400 per second take half a second, all spent waiting
    # with the interpreter lock released.
    assert main_thread_turns > 100


class Raising(Collecting):
    def OnReceiveHandleStatusMessage(self, *fields):
        super().OnReceiveHandleStatusMessage(*fields)
        if self.messages % 2:
            raise ValueError(f"message {self.messages}")


def test_handlers_that_raise_leave_the_lock_as_it_was(virtual_device, fast_switching):
    device = virtual_device("handle", "--stream-hz", "max")
    handle = Raising(T.SerialStream(device.path))
    arm_device = virtual_device("arm")
    arm = T.Armillar(T.SerialStream(arm_device.path))

    def receive():
        raised = 0
        for _ in range(400):
            try:
                handle.Receive()
            except ValueError:
                raised += 1
        return raised

    receiver = Worker(receive)
    receiver.start()
    # Meanwhile the main thread drives an arm, releasing and taking the lock
    # around every exchange.
    exchanges = 0
    while receiver.is_alive():
        arm.end_effector_force([0.0, 0.0, 0.0])
        exchanges += 1
    assert receiver.outcome() == 200
    assert exchanges > 0
    # The lock is still in order on both threads: more calls, more threads.
    with pytest.raises(ValueError, match="message 401"):
        handle.Receive()
    assert handle.Receive() >= 21
    again = Worker(lambda: arm.get_power_status())
    again.start()
    assert again.outcome() is True


def test_a_handler_may_call_into_another_device(virtual_device, fast_switching):
    # The handler runs with the interpreter lock taken inside Receive; the
    # arm call inside it releases and takes it again. The library holds no
    # lock of its own across the handler, so this cannot deadlock, even with
    # another thread driving a third device at the same time.
    arm_device = virtual_device("arm")
    inner_arm = T.Armillar(T.SerialStream(arm_device.path))
    other_device = virtual_device("arm")
    other_arm = T.Armillar(T.SerialStream(other_device.path))

    class Nesting(Collecting):
        powered = []

        def OnReceiveHandleStatusMessage(self, *fields):
            super().OnReceiveHandleStatusMessage(*fields)
            self.powered.append(inner_arm.get_power_status())
            inner_arm.end_effector_force([0.0, 0.0, 0.0])

    handle_device = virtual_device("handle", "--stream-hz", "1000")
    handle = Nesting(T.SerialStream(handle_device.path))
    stop = threading.Event()

    def drive_other():
        count = 0
        while not stop.is_set():
            other_arm.joint_torques([0.0, 0.0, 0.0])
            count += 1
        return count

    other = Worker(drive_other)
    other.start()
    receiver = Worker(lambda: [handle.Receive() for _ in range(100)])
    receiver.start()
    try:
        counts = receiver.outcome()
    finally:
        stop.set()
    assert other.outcome() > 0
    assert all(count >= 21 for count in counts)
    assert Nesting.powered == [True] * 100


def test_a_raising_handler_in_the_deprecated_receive_with_warnings_as_errors(pty, stream):
    # Two exceptions meet: the warning the filters turned into one (held
    # while the device is read) and the handler's. The handler's is raised;
    # nothing is left pending in the interpreter, on this thread or another.
    handle = Raising(stream)
    pty.write(bytes.fromhex("DA 01 00 00 00") + bytes(16) + b"\x00")
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(ValueError, match="message 1"):
            handle.Receive(7)
    assert sys.exc_info() == (None, None, None)
    worker = Worker(lambda: sum(range(1000)))
    worker.start()
    assert worker.outcome() == 499500
    pty.write(bytes.fromhex("DF 34 12 07"))
    assert handle.Receive() == 3
