"""Which bound methods release the interpreter lock while they run, checked
for every one of them from one table: device work releases it, except the
telemetry queries and detection; constructors, handlers and pure lookups
keep it. Whatever waits for a haptic loop's thread releases it, the
loop's destruction included. A bound method or overload missing from the
table fails.

How a release is seen: support.Spinner counts a second thread's turns while
this one is inside the call (support.turns_during). Turns taken while this
thread runs Python code called back from the method (the uuid module) are
not counted."""

import contextlib
import functools
import gc
import os
import time
import warnings

import pytest

import TorviHardwareAPI as T
import TorviHardwareAPI.events
from support import Spinner, turns_during
from TorviHardwareAPI import haptics

# (owner.method[variant], what it is called on, method, arguments, request
# sent before the call so that a reply is on its way, releases the lock)
ARM_DATA = ([1.0, 2.0, 3.0],)
LOOP_EFFECT = haptics.Damper(0.5)
LOOP_MOVE = haptics.MoveTo((0, 0, 0), 1.0, 0.0, 1.0)
TRIANGLE = ([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]])
PHYSICS = issubclass(haptics.PhysicsScene, haptics.Effect)  # built with MuJoCo's headers
if PHYSICS:
    import mujoco

    SCENE_MODEL = mujoco.MjModel.from_xml_string(
        '<mujoco><worldbody><body name="tool"><freejoint/><geom size="0.01"/></body>'
        "</worldbody></mujoco>"
    )
    SCENE_DATA = mujoco.MjData(SCENE_MODEL)
    SCENE_ARGS = (SCENE_MODEL, SCENE_DATA, "tool", 1.0)
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
    ("Spring.__init__", "haptics", "Spring", ((0, 0, 0), 1.0), None, False),
    ("Plane.__init__", "haptics", "Plane", ((0, 0, 0), (0, 0, 1), 1.0, 0.0), None, False),
    ("Sphere.__init__", "haptics", "Sphere", ((0, 0, 0), 1.0, 1.0), None, False),
    ("Damper.__init__", "haptics", "Damper", (1.0,), None, False),
    ("ConstantForce.__init__", "haptics", "ConstantForce", ((0, 0, 0),), None, False),
    ("Line.__init__", "haptics", "Line", ((0, 0, 0), (1, 0, 0), 1.0, 0.0), None, False),
    ("Fence.__init__", "haptics", "Fence", ((0, 0, 0), (1, 1, 1), 1.0, 0.0), None, False),
    ("MoveTo.__init__", "haptics", "MoveTo", ((0, 0, 0), 1.0, 0.0, 1.0), None, False),
    ("HapticLoop.__init__", "haptics", "HapticLoop", (), None, False),
    ("passive_stiffness", "haptics", "passive_stiffness", (1000.0, 4.0), None, False),
    ("HapticLoop.start", "loop", "start", (), None, True),
    ("HapticLoop.stop", "loop", "stop", (), None, True),
    ("HapticLoop.__enter__", "loop", "__enter__", (), None, True),
    ("HapticLoop.__exit__", "loop", "__exit__", (None, None, None), None, True),
    ("HapticLoop.add", "loop", "add", (haptics.Damper(1.0),), None, False),
    ("HapticLoop.remove", "loop", "remove", (LOOP_EFFECT,), ("add", LOOP_EFFECT), False),
    ("HapticLoop.set_force", "loop", "set_force", ((0, 0, 0),), None, False),
    # Waits for the loop's thread (here a loop that has not started, which
    # answers at once), the lock released.
    (
        "HapticLoop.wait_arrived",
        "loop",
        "wait_arrived",
        (LOOP_MOVE, 0.01),
        ("add", LOOP_MOVE),
        True,
    ),
    ("HapticLoop.state", "loop", "state", (), None, False),
    ("HapticLoop.stats", "loop", "stats", (), None, False),
    ("HapticLoop.periods_us", "loop", "periods_us", (), None, False),
    ("HapticLoop.samples", "loop", "samples", (), None, True),
    ("HapticLoop.reader", "loop", "reader", (), None, False),
    ("SampleReader.samples", "reader", "samples", (), None, True),
    ("Samples.columns", "samples", "columns", (), None, False),
    ("Samples.to_csv", "samples", "to_csv", (os.devnull,), None, True),
    # Building the tree releases it; nothing of a mesh waits on the loop.
    ("Mesh.__init__", "haptics", "Mesh", TRIANGLE, None, True),
    ("Mesh.set_pose", "mesh", "set_pose", ((0, 0, 1), (1, 0, 0, 0)), None, False),
    # Copying the model, sync's mj_forward and posing the bodies release it;
    # follow is a swap, geoms a copy.
    *(
        [
            ("PhysicsScene.__init__", "haptics", "PhysicsScene", SCENE_ARGS, None, True),
            ("PhysicsScene.sync", "scene", "sync", (SCENE_DATA,), None, True),
            ("PhysicsScene.body_poses", "scene", "body_poses", (), None, True),
            ("PhysicsScene.geoms", "scene", "geoms", (), None, False),
            ("PhysicsScene.reset", "scene", "reset", (SCENE_DATA,), None, True),
            ("Mesh.follow", "mesh", "follow", (None,), None, False),
        ]
        if PHYSICS
        else [
            (name, "unbuilt", None, (), None, True)
            for name in ("PhysicsScene.__init__", "Mesh.follow")
        ]
    ),
    ("Mesh.triangles", "mesh", "triangles", (), None, False),
    # The listener's calls that wait for its reader thread release the lock.
    ("HandleListener.__init__", "listener_class", None, (), ("stop_last",), False),
    ("HandleListener.get", "listener", "get", (0.5,), None, True),
    ("HandleListener.request_status", "listener", "request_status", (), None, True),
    ("HandleListener.send_device_wakeup", "listener", "send_device_wakeup", (), None, True),
    ("HandleListener.send_handle_state", "listener", "send_handle_state", (7, b"\x09"), None, True),
    ("HandleListener.aiter", "listener", "aiter", (), None, False),
    ("HandleListener.tap", "listener", "tap", (), None, False),
    ("EventTap.take", "tap", "take", (), None, False),
    ("HandleListener.stop", "listener", "stop", (), None, True),
    ("HandleListener.__enter__", "listener", "__enter__", (), None, False),
    ("HandleListener.__exit__", "listener", "__exit__", (None, None, None), None, True),
    ("SigtermAsExit.__init__", "module", "SigtermAsExit", (), None, False),
    ("SigtermAsExit.__enter__", "sigterm", "__enter__", (), None, False),
    ("SigtermAsExit.__exit__", "sigterm", "__exit__", (None, None, None), None, False),
]
# Not methods: what the last reference's going does (clear() drops it from C).
DROPS = [
    ("HapticLoop[dropped while running]", "running_loops", "clear", (), ("refill",), True),
]

KEEPING_TRIES = 3  # a keeping call is never interrupted: a few tries show it
RELEASE_TRIES_FOR = 3.0  # s: a loaded machine may leave the spinner unscheduled for a while


def bound_methods():
    """Every bound function of the module and every method of its classes,
    as {name: number of overloads}."""

    def overloads(function):
        doc = function.__doc__ or ""
        if "Overloaded function." not in doc:
            return 1
        return sum(1 for line in doc.splitlines() if line[:1].isdigit() and ". " in line[:4])

    found = {}
    items = [*vars(T).items(), *vars(haptics).items(), *vars(T.events).items()]
    for name, value in items:
        if type(value).__name__ == "builtin_function_or_method":
            found[name] = overloads(value)
        elif isinstance(value, type):
            for method, function in vars(value).items():
                # pybind11 wraps each bound method in an instancemethod; its
                # own additions (a conduit method, the __init__ that refuses
                # construction of a type without constructor) are left out.
                bound = type(function).__name__ == "instancemethod"
                if bound and (method in LIFE_CYCLE or not method.startswith("_")):
                    found[f"{name}.{method}"] = overloads(function)
    return found


LIFE_CYCLE = ("__init__", "__enter__", "__exit__")


class RunningLoops(list):
    """Holds a running HapticLoop after each refill(); clear(), a C method,
    drops it."""

    def __init__(self, arm):
        super().__init__()
        self.arm = arm

    def refill(self):
        # No local name for the loop: the list holds its only reference.
        self.append(haptics.HapticLoop(self.arm))
        self[-1].start()


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
    arm = T.Armillar(arm_stream)
    return {
        "module": T,
        "stream_class": functools.partial(T.SerialStream, arm_device.path),
        "uuid_class": T.UUID,
        "uuid": T.UUID(),
        "arm_class": functools.partial(T.Armillar, arm_stream),
        "arm": arm,
        "handle_class": functools.partial(T.Handle, handle_stream),
        "handle": T.Handle(handle_stream),
        "haptics": HapticsOn(arm),
        "loop": haptics.HapticLoop(arm),
        "samples": haptics.HapticLoop(arm).samples(),
        "reader": haptics.HapticLoop(arm).reader(),
        "running_loops": RunningLoops(arm),
        "mesh": haptics.Mesh(*TRIANGLE),
        "sigterm": T.SigtermAsExit(),
        **({"scene": haptics.PhysicsScene(*SCENE_ARGS)} if PHYSICS else {}),
    }


class HapticsOn:
    """The haptics submodule's classes, the loop's bound to `arm`."""

    def __init__(self, arm):
        self.HapticLoop = functools.partial(haptics.HapticLoop, arm)

    def __getattr__(self, name):
        return getattr(haptics, name)


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
    yield {"listener": listener, "listener_class": maker, "tap": listener.tap()}
    listener.stop()
    maker.stop_last()


@contextlib.contextmanager
def collector_paused():
    """No garbage collection meanwhile: a collection inside a call can run a
    finalizer, Python code at which the interpreter hands the lock to the
    spinner whatever the call itself does."""
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


@pytest.mark.parametrize(
    "entry, target, method, args, request_first, releases",
    TABLE + DROPS,
    ids=[row[0] for row in TABLE + DROPS],
)
def test_lock_release(request, capfd, entry, target, method, args, request_first, releases):
    if target == "unbuilt":
        pytest.skip("built without physics scenes: their names only raise")
    fixture = "listener_targets" if target.startswith(("listener", "tap")) else "targets"
    owner = request.getfixturevalue(fixture)[target]
    call = functools.partial(getattr(owner, method) if method else owner, *args)
    turns = []
    deadline = time.monotonic() + RELEASE_TRIES_FOR
    with warnings.catch_warnings(), collector_paused(), Spinner() as spinner:
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
