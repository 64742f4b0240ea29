"""The Python face of Armillar: its registrations with their signatures and
docstrings, construction over a stream, the deprecation warnings, and which
methods let other Python threads run while they wait for the arm."""

import gc
import inspect
import threading
import time
import warnings

import pytest

import TorviHardwareAPI as T
from support import floats, open_descriptors, reply_later

SELF = "self: TorviHardwareAPI.Armillar"
ZEROS = "[0.0, 0.0, 0.0]"

# Every registration in its order, with the docstring it generates.
REGISTRATIONS = [
    ("__init__", f"__init__({SELF}, arg0: TorviHardwareAPI.SerialStream) -> None\n"),
    (
        "device_wakeup",
        f"device_wakeup({SELF}) -> tuple\n\n"
        "Wakeup the device and return the device info as a tuple.\n",
    ),
    (
        "device_wakeup_dict",
        f"device_wakeup_dict({SELF}) -> dict\n\n"
        "Wakeup the device and return the device info as a dict.\n",
    ),
    (
        "get_firmware_version",
        f"get_firmware_version({SELF}) -> object\n\n"
        "Receive the firmware version of the device.\n",
    ),
    ("get_device_id", f"get_device_id({SELF}) -> object\n\nReceive the UUID of the device.\n"),
    (
        "get_motor_currents",
        f"get_motor_currents({SELF}) -> Annotated[list[float], FixedSize(3)]"
        "\n\nReceive the motor currents of the device.\n",
    ),
    (
        "get_device_orientation",
        f"get_device_orientation({SELF}) -> "
        "Annotated[list[float], FixedSize(4)]\n\n"
        "Receive the orientation of the base of the device.\n",
    ),
    (
        "get_power_status",
        f"get_power_status({SELF}) -> bool\n\n" "Receive the power status of the device.\n",
    ),
    (
        "get_temperature",
        f"get_temperature({SELF}) -> float\n\n" "Receive the temperature of the device.\n",
    ),
    (
        "end_effector_force",
        f"end_effector_force({SELF}, force request vector: list[float] = "
        f"{ZEROS}) -> tuple\n\nSend forces to the device and receive device states\n",
    ),
    (
        "get_end_effector_position",
        f"get_end_effector_position({SELF}, onboard: bool = True) "
        "-> tuple\n\nGet the end-effector position and velocity\n",
    ),
    (
        "adjust_angles",
        f"adjust_angles({SELF}, angles: list[float] = {ZEROS}) -> None\n\n"
        "Adjust the angles of the device\n",
    ),
    (
        "adjust_lengths",
        f"adjust_lengths({SELF}, inner_arm_1: float = 0.14000000059604645, "
        "outer_arm_1: float = 0.14000000059604645, inner_arm_2: float = 0.16500000655651093, "
        "outer_arm_2: float = 0.16500000655651093, extension: float = 0.07649999856948853) -> None"
        "\n\nAdjust the lengths of the linkages\n",
    ),
    (
        "adjust_gear_ratios",
        f"adjust_gear_ratios({SELF}, head_gear_ratio_coeff: float = 1.0, "
        "inner_arm_gear_ratio_coeff: float = 1.0, outer_arm_gear_ratio_coeff: float = 1.0) -> None"
        "\n\nAdjust the gear ratios\n",
    ),
    (
        "deactivate_orientation_sensor",
        f"deactivate_orientation_sensor({SELF}) -> None\n\n"
        "Receive the power status of the device.\n",
    ),
    (
        "joint_torques",
        f"joint_torques({SELF}, joint torque request vector: list[float] = "
        f"{ZEROS}) -> tuple\n\nSend joint torques to the device and receive the joint states\n",
    ),
    (
        "end_effector_position",
        f"end_effector_position({SELF}, position request vector: "
        f"list[float] = {ZEROS}) -> tuple\n\n"
        "Send end-effector position and receive device states\n",
    ),
    (
        "joint_angles",
        f"joint_angles({SELF}, joint angle request vector: list[float] = {ZEROS}) "
        "-> tuple\n\nSend joint angles to the device and receive the joint states\n",
    ),
    (
        "SendDeviceWakeup",
        f"SendDeviceWakeup({SELF}) -> None\n\n" "[DEPRECATED] Send a device wakeup command\n",
    ),
    (
        "ReceiveDeviceInfo",
        f"ReceiveDeviceInfo({SELF}) -> tuple\n\n"
        "\n            Receive device info and return a tuple with the following fields: \n\n"
        "            device_id (uint16_t)\n            \n"
        "            device_model_num (uint8_t)\n            \n"
        "            hardware_version (uint8_t)\n            \n"
        "            firmware_version (uint8_t)\n            \n"
        "            device_id_ext (UUID)\n            \n",
    ),
    (
        "SendForce",
        "SendForce(*args, **kwargs)\nOverloaded function.\n\n"
        f"1. SendForce({SELF}, force: list[float] = {ZEROS}) -> None\n\n"
        "[Deprecated] Send force to the device\n\n"
        f"2. SendForce({SELF}, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None\n\n"
        "[Deprecated] Send force to the device\n",
    ),
    (
        "ReceiveState",
        f"ReceiveState({SELF}, position: list[float] = {ZEROS}, velocity: "
        f"list[float] = {ZEROS}) -> tuple\n\n"
        "[Deprecated] receive state and return position and velocity\n",
    ),
    (
        "ReceiveJointState",
        f"ReceiveJointState({SELF}, joint_position: list[float] = {ZEROS}, "
        f"joint_velocity: list[float] = {ZEROS}) -> tuple\n\n[Deprecated] receive joint state and "
        "return position and velocity in the joint reference frame\n",
    ),
    (
        "SendJointTorques",
        f"SendJointTorques({SELF}, joint_torque: list[float] = {ZEROS}) -> None"
        "\n\n[Deprecated] send joint torque\n",
    ),
    (
        "SendAngle",
        f"SendAngle({SELF}, angle: list[float] = {ZEROS}) -> None\n\n"
        "Send angles to the device\n",
    ),
    ("RequestCurrent", f"RequestCurrent({SELF}) -> None\n\nrequest current\n"),
    (
        "ReceiveCurrent",
        f"ReceiveCurrent({SELF}, current: list[float] = {ZEROS}) -> list[float]"
        "\n\nreceive current and return current\n",
    ),
    (
        "SendPosition",
        f"SendPosition({SELF}, position: list[float] = {ZEROS}) -> None\n\n"
        "[Deprecated] Send Position to the device\n",
    ),
]


def test_methods_in_registration_order():
    names = [name for name, _ in REGISTRATIONS]
    registered = [name for name in vars(T.Armillar) if name in names]
    assert registered == names
    public = {name for name in vars(T.Armillar) if not name.startswith("_")}
    assert public == set(names) - {"__init__"}


@pytest.mark.parametrize("name, doc", REGISTRATIONS, ids=[name for name, _ in REGISTRATIONS])
def test_docstrings(name, doc):
    assert getattr(T.Armillar, name).__doc__ == doc


def test_class_is_its_own_type():
    assert T.Armillar.__doc__ == "Armillar Device Class"
    assert not issubclass(T.Armillar, T.Device)
    assert T.Armillar.__bases__ != (T.Device,)


# Construction.


def test_construction_sends_nothing(arm, pty):
    assert pty.drain() == b""


@pytest.mark.parametrize(
    "args", [(None,), (), ("/dev/null",), (1,)], ids=["None", "nothing", "str", "int"]
)
def test_construction_needs_a_stream(args):
    with pytest.raises(TypeError) as error:
        T.Armillar(*args)
    if args == (None,):
        assert str(error.value) == "Armillar needs a SerialStream, not None"


def test_arm_keeps_its_stream_alive(pty):
    base = open_descriptors(pty.path)  # the pty's own end
    stream = T.SerialStream(pty.path)
    arm = T.Armillar(stream)
    del stream
    gc.collect()
    assert open_descriptors(pty.path) == base + 1, "the stream was closed under the arm"

    pty.write(b"\xaa" + floats(21.5))
    assert arm.get_temperature() == 21.5
    assert pty.drain() == b"\xaa"

    del arm
    gc.collect()
    assert open_descriptors(pty.path) == base


# Deprecation warnings.

DEPRECATED = [
    # method, arguments, the method to use instead, bytes sent, reply consumed
    ("SendDeviceWakeup", (), "device_wakeup", b"\x0a", b""),
    ("SendForce", ([1.0, 2.0, 3.0],), "end_effector_force", b"\x2a" + floats(1, 2, 3), b""),
    ("SendForce", (1.0, 2.0, 3.0), "end_effector_force", b"\x2a" + floats(1, 2, 3), b""),
    ("ReceiveState", (), "end_effector", b"", b"\x2b" + floats(1, 2, 3, 4, 5, 6)),
    ("ReceiveJointState", (), "joint_torques", b"", b"\x1b" + floats(1, 2, 3, 4, 5, 6)),
    ("SendJointTorques", ([4, 5, 6],), "joint_torques", b"\x1a" + floats(4, 5, 6), b""),
    (
        "SendPosition",
        ([0.5, 0.25, 0.125],),
        "end_effector_position",
        b"\x2c" + floats(0.5, 0.25, 0.125),
        b"",
    ),
]
DEPRECATED_IDS = [
    "SendDeviceWakeup",
    "SendForce-list",
    "SendForce-floats",
    "ReceiveState",
    "ReceiveJointState",
    "SendJointTorques",
    "SendPosition",
]


def warning_text(method, replacement):
    return f"{method} is deprecated, use {replacement} instead"


@pytest.mark.parametrize("method, args, replacement, sent, reply", DEPRECATED, ids=DEPRECATED_IDS)
def test_deprecated_methods_warn_once_per_call_at_the_callers_line(
    arm, pty, method, args, replacement, sent, reply
):
    for call in range(2):
        pty.write(reply)
        with warnings.catch_warnings(record=True) as issued:
            warnings.simplefilter("always")
            line = inspect.currentframe().f_lineno + 1
            getattr(arm, method)(*args)
        assert len(issued) == 1, f"call {call}"
        warning = issued[0]
        assert warning.category is DeprecationWarning
        assert str(warning.message) == warning_text(method, replacement)
        assert (warning.filename, warning.lineno) == (__file__, line)
        assert pty.drain() == sent
        assert pty.queued_for_host() == 0


@pytest.mark.parametrize("method, args, replacement, sent, reply", DEPRECATED, ids=DEPRECATED_IDS)
def test_warning_turned_error_is_raised_after_the_work(
    arm, pty, method, args, replacement, sent, reply
):
    pty.write(reply)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning) as error:
            getattr(arm, method)(*args)
    assert str(error.value) == warning_text(method, replacement)
    assert pty.drain() == sent, "the request did not go out"
    assert pty.queued_for_host() == 0, "the reply was not read"


def test_warning_turned_error_does_not_hide_a_refused_list(arm, pty):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(ValueError):
            arm.SendPosition([1.0])
    assert pty.drain() == b""


@pytest.mark.parametrize(
    "call, reply",
    [
        (lambda a: a.SendAngle([1, 2, 3]), b""),
        (lambda a: a.RequestCurrent(), b""),
        (lambda a: a.ReceiveCurrent(), b"\xab" + floats(1, 2, 3)),
        (lambda a: a.ReceiveDeviceInfo(), b"\x0b" + bytes(21)),
    ],
    ids=["SendAngle", "RequestCurrent", "ReceiveCurrent", "ReceiveDeviceInfo"],
)
def test_older_methods_that_do_not_warn(arm, pty, call, reply):
    pty.write(reply)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        call(arm)
    assert pty.queued_for_host() == 0


# The interpreter lock.

WAIT = 0.6  # how long the device takes to answer
MARGIN = 0.15  # leeway at both ends of the call for thread switches


@pytest.mark.parametrize(
    "call, reply, releases",
    [
        (lambda a: a.end_effector_force([1, 2, 3]), b"\x2b" + floats(*range(6)), True),
        (lambda a: a.device_wakeup_dict(), b"\x0b" + bytes(21), True),
        (lambda a: a.ReceiveCurrent(), b"\xab" + floats(1, 2, 3), True),
        (lambda a: a.get_temperature(), b"\xaa" + floats(20.0), False),
        (lambda a: a.get_device_id(), b"\x0d\xd1\x10" + bytes(16), False),
    ],
    ids=[
        "end_effector_force",
        "device_wakeup_dict",
        "ReceiveCurrent",
        "get_temperature",
        "get_device_id",
    ],
)
def test_which_methods_let_other_threads_run(arm, pty, call, reply, releases):
    ticks = []
    started = threading.Event()
    stop = threading.Event()

    def tick():
        started.set()
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    ticker = threading.Thread(target=tick)
    ticker.start()
    started.wait()
    # The reply comes from another process, so it arrives even while this
    # interpreter's lock is held.
    answer = reply_later(pty, reply, WAIT)
    try:
        begin = time.monotonic()
        call(arm)
        end = time.monotonic()
    finally:
        stop.set()
        ticker.join()
        answer.wait()
    assert end - begin >= WAIT - MARGIN, "the call did not wait for the reply"
    during = [t for t in ticks if begin + MARGIN < t < end - MARGIN]
    if releases:
        assert len(during) >= 5, "no other thread ran while the call waited"
    else:
        assert during == [], "another thread ran while the call held the lock"
