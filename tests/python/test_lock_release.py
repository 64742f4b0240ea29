"""Which bound methods release the interpreter lock while they run, checked
for every one of them from one table: device work releases it, except the
telemetry queries and detection; constructors, handlers and pure lookups
keep it. A bound method or overload missing from the table fails.

How a release is seen: a second thread spins and counts its turns while this
thread is inside the call. The call is made from C (map over operator.call),
so no Python code of this thread runs between the two reads of the count,
and a C loop before it holds the lock long enough for the spinning thread to
ask for it. The interpreter then hands the lock over at the first release
(it waits until the asking thread has taken it), so a releasing call lets
the spinner turn at least once, whatever its duration; a keeping call never
does. Turns taken while this thread runs Python code called back from the
method (the uuid module) are not counted."""

import functools
import operator
import sys
import threading
import time
import warnings

import pytest

import TorviHardwareAPI as T
import TorviHardwareAPI.events

# (owner.method[variant], what it is called on, method, arguments, request
# sent before the call so that a reply is on its way, releases the lock)
ARM_DATA = ([1.0, 2.0, 3.0],)
TABLE = [
    ("get_cpp_version", "module", "get_cpp_version", (), None, False),
    ("print_cpp_version", "module", "print_cpp_version", (), None, False),
    ("detect_armillars", "module", "detect_armillars", (), None, False),
    ("detect_handles", "module", "detect_handles", (), None, False),
    ("detect_wired_handles", "module", "detect_wired_handles", (), None, False),
    ("detect_wireless_handles", "module", "detect_wireless_handles", (), None, False),
    ("SerialStream.__init__", "stream_class", None, (), None, True),
    ("UUID.__init__", "uuid_class", None, (), None, False),
    ("UUID.bytes", "uuid", "bytes", (), None, False),
    ("Armillar.__init__", "arm_class", None, (), None, False),
    ("Armillar.device_wakeup", "arm", "device_wakeup", (), None, True),
    ("Armillar.device_wakeup_dict", "arm", "device_wakeup_dict", (), None, True),
    ("Armillar.get_firmware_version", "arm", "get_firmware_version", (), None, False),
    ("Armillar.get_device_id", "arm", "get_device_id", (), None, False),
    ("Armillar.get_motor_currents", "arm", "get_motor_currents", (), None, False),
    ("Armillar.get_device_orientation", "arm", "get_device_orientation", (), None, False),
    ("Armillar.get_power_status", "arm", "get_power_status", (), None, False),
    ("Armillar.get_temperature", "arm", "get_temperature", (), None, False),
    ("Armillar.end_effector_force", "arm", "end_effector_force", ARM_DATA, None, True),
    ("Armillar.get_end_effector_position", "arm", "get_end_effector_position", (), None, True),
    ("Armillar.adjust_angles", "arm", "adjust_angles", ([0.0, 0.0, 0.0],), None, True),
    ("Armillar.adjust_lengths", "arm", "adjust_lengths", (), None, True),
    ("Armillar.adjust_gear_ratios", "arm", "adjust_gear_ratios", (), None, True),
    (
        "Armillar.deactivate_orientation_sensor",
        "arm",
        "deactivate_orientation_sensor",
        (),
        None,
        True,
    ),
    ("Armillar.joint_torques", "arm", "joint_torques", ARM_DATA, None, True),
    ("Armillar.end_effector_position", "arm", "end_effector_position", ARM_DATA, None, True),
    ("Armillar.joint_angles", "arm", "joint_angles", ARM_DATA, None, True),
    ("Armillar.SendDeviceWakeup", "arm", "SendDeviceWakeup", (), None, True),
    ("Armillar.ReceiveDeviceInfo", "arm", "ReceiveDeviceInfo", (), ("SendDeviceWakeup",), True),
    ("Armillar.SendForce[list]", "arm", "SendForce", ARM_DATA, None, True),
    ("Armillar.SendForce[xyz]", "arm", "SendForce", (1.0, 2.0, 3.0), None, True),
    ("Armillar.ReceiveState", "arm", "ReceiveState", (), ("SendForce", *ARM_DATA), True),
    (
        "Armillar.ReceiveJointState",
        "arm",
        "ReceiveJointState",
        (),
        ("SendJointTorques", *ARM_DATA),
        True,
    ),
    ("Armillar.SendJointTorques", "arm", "SendJointTorques", ARM_DATA, None, True),
    ("Armillar.SendAngle", "arm", "SendAngle", ARM_DATA, None, True),
    ("Armillar.RequestCurrent", "arm", "RequestCurrent", (), None, True),
    ("Armillar.ReceiveCurrent", "arm", "ReceiveCurrent", (), ("RequestCurrent",), True),
    ("Armillar.SendPosition", "arm", "SendPosition", ARM_DATA, None, True),
    ("Handle.__init__", "handle_class", None, (), None, False),
    ("Handle.SendDeviceWakeup", "handle", "SendDeviceWakeup", (), None, True),
    ("Handle.SendHandleState", "handle", "SendHandleState", (7, 1, 9), None, True),
    ("Handle.RequestStatus", "handle", "RequestStatus", (), None, True),
    ("Handle.OnReceiveHandleInfo", "handle", "OnReceiveHandleInfo", (0, 1, 2, 3, 4), None, False),
    (
        "Handle.OnReceiveHandleStatusMessage",
        "handle",
        "OnReceiveHandleStatusMessage",
        (1, 0.5, 0, 0, 1, 9),
        None,
        False,
    ),
    (
        "Handle.OnReceiveHandleErrorResponse",
        "handle",
        "OnReceiveHandleErrorResponse",
        (1, 2),
        None,
        False,
    ),
    ("Handle.Receive", "handle", "Receive", (), ("SendDeviceWakeup",), True),
    ("Handle.Receive[obsolete]", "handle", "Receive", (0,), ("SendDeviceWakeup",), True),
    ("Handle.GetQuillonetStatus", "handle", "GetQuillonetStatus", (), ("RequestStatus",), True),
    # The listener's calls that wait for its reader thread release the lock.
    ("HandleListener.__init__", "listener_class", None, (), ("stop_last",), False),
    ("HandleListener.get", "listener", "get", (0.5,), None, True),
    ("HandleListener.request_status", "listener", "request_status", (), None, True),
    ("HandleListener.send_device_wakeup", "listener", "send_device_wakeup", (), None, True),
    ("HandleListener.send_handle_state", "listener", "send_handle_state", (7, b"\x09"), None, True),
    ("HandleListener.aiter", "listener", "aiter", (), None, False),
    ("HandleListener.stop", "listener", "stop", (), None, True),
]

SWITCH_INTERVAL = 1e-4  # s: the spinner asks for the lock soon after it waits
HOLD = functools.partial(sum, range(200_000))  # a few ms in C, holding the lock
KEEPING_TRIES = 3  # a keeping call is never interrupted: a few tries show it
RELEASE_TRIES_FOR = 3.0  # s: a loaded machine may leave the spinner unscheduled for a while


class Spinner:
    """Counts its turns while the main thread's innermost Python frame is
    `frame_code`, i.e. while the main thread is inside a C call made there."""

    def __init__(self, frame_code):
        self.count = [0]
        self.frame_code = frame_code
        self.main = threading.get_ident()
        self.running = True
        self.thread = threading.Thread(target=self._spin, daemon=True)

    def _spin(self):
        frames = sys._current_frames
        while self.running:
            frame = frames().get(self.main)
            if frame is not None and frame.f_code is self.frame_code:
                self.count[0] += 1

    def __enter__(self):
        self.previous_interval = sys.getswitchinterval()
        sys.setswitchinterval(SWITCH_INTERVAL)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.running = False
        self.thread.join()
        sys.setswitchinterval(self.previous_interval)


def turns_during(call, spinner):
    """How often the spinner turned while `call` ran."""
    read = functools.partial(operator.getitem, spinner.count, 0)
    _, before, _, after = list(map(operator.call, [HOLD, read, call, read]))
    return after - before


def bound_methods():
    """Every bound function of the module and every method of its classes,
    as {name: number of overloads}."""

    def overloads(function):
        doc = function.__doc__ or ""
        if "Overloaded function." not in doc:
            return 1
        return sum(1 for line in doc.splitlines() if line[:1].isdigit() and ". " in line[:4])

    found = {}
    items = [*vars(T).items(), *vars(T.events).items()]
    for name, value in items:
        if type(value).__name__ == "builtin_function_or_method":
            found[name] = overloads(value)
        elif isinstance(value, type):
            for method, function in vars(value).items():
                # pybind11 wraps each bound method in an instancemethod; its
                # own additions (a conduit method, the __init__ that refuses
                # construction of a type without constructor) are left out.
                bound = type(function).__name__ == "instancemethod"
                if bound and (method == "__init__" or not method.startswith("_")):
                    found[f"{name}.{method}"] = overloads(function)
    return found


def test_the_table_holds_every_bound_method_and_overload():
    listed = {}
    for entry, *_ in TABLE:
        name = entry.split("[")[0]
        listed[name] = listed.get(name, 0) + 1
    assert listed == bound_methods()


@pytest.fixture
def targets(virtual_device):
    arm_device = virtual_device("arm")
    handle_device = virtual_device("handle")
    arm_stream = T.SerialStream(arm_device.path)
    handle_stream = T.SerialStream(handle_device.path)
    return {
        "module": T,
        "stream_class": functools.partial(T.SerialStream, arm_device.path),
        "uuid_class": T.UUID,
        "uuid": T.UUID(),
        "arm_class": functools.partial(T.Armillar, arm_stream),
        "arm": T.Armillar(arm_stream),
        "handle_class": functools.partial(T.Handle, handle_stream),
        "handle": T.Handle(handle_stream),
    }


class ListenerMaker:
    """Makes listeners on one handle; stop_last() gives the handle back
    before the next is made (the spinner's look at this thread's frames may
    keep the last one alive a moment longer than the call)."""

    def __init__(self, handle):
        self.handle = handle
        self.last = None

    def __call__(self):
        self.last = T.events.HandleListener(self.handle)
        return self.last

    def stop_last(self):
        # Dropped here too: its destructor, which releases the lock to stop
        # the reader, must not run inside the next timed call.
        if self.last is not None:
            self.last.stop()
            self.last = None


@pytest.fixture
def listener_targets(virtual_device):
    """A listener on a streaming handle of its own, and a maker of listeners
    on another handle."""
    streaming = T.SerialStream(virtual_device("handle", "--stream-hz", "20").path)
    quiet = T.SerialStream(virtual_device("handle").path)
    listener = T.events.HandleListener(T.Handle(streaming))
    maker = ListenerMaker(T.Handle(quiet))
    yield {"listener": listener, "listener_class": maker}
    listener.stop()
    maker.stop_last()


@pytest.mark.parametrize(
    "entry, target, method, args, request_first, releases", TABLE, ids=[row[0] for row in TABLE]
)
def test_lock_release(request, capfd, entry, target, method, args, request_first, releases):
    fixture = "listener_targets" if target.startswith("listener") else "targets"
    owner = request.getfixturevalue(fixture)[target]
    call = functools.partial(getattr(owner, method) if method else owner, *args)
    turns = []
    deadline = time.monotonic() + RELEASE_TRIES_FOR
    with warnings.catch_warnings(), Spinner(turns_during.__code__) as spinner:
        warnings.simplefilter("ignore", DeprecationWarning)
        while True:
            if request_first:
                getattr(owner, request_first[0])(*request_first[1:])
            turns.append(turns_during(call, spinner))
            if releases and (turns[-1] > 0 or time.monotonic() > deadline):
                break
            if not releases and len(turns) == KEEPING_TRIES:
                break
    capfd.readouterr()
    if releases:
        assert turns[-1] > 0, f"{entry} kept the lock in {len(turns)} calls"
    else:
        assert turns == [0] * KEEPING_TRIES, f"{entry} let another thread run"
