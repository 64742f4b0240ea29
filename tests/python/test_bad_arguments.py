"""Bad arguments for every bound function and method: wrong types, numbers
out of range, None, lists that are short, long or huge, NaN and infinities,
and objects that were never initialised. Each call raises a clear exception
or does what is documented for the value; none crashes the interpreter, and
a refused call writes nothing to the device and reads nothing from it."""

import math
import struct
import time
import warnings

import pytest

import TorviHardwareAPI as T
from support import floats

HUGE = 10**6  # elements of a huge list
NO_FLOAT = 10**400  # an int no float can hold
STATE = floats(1.5, -2.0, 0.125, 4.0, -0.5, 8.0)
QUEUED = b"\x2b" + STATE  # a reply that a call going ahead would take
# s: how long written bytes may take to reach the host's side (seconds when the
# machine is overloaded; the wait ends as soon as they are there)
QUEUE_WAIT = 10.0


def binary32(value):
    """The bytes a Python float becomes on the wire: rounded to binary32,
    with overflow to an infinity as the hardware conversion does."""
    try:
        return struct.pack("<f", value)
    except OverflowError:
        return struct.pack("<f", math.copysign(math.inf, value))


@pytest.fixture
def handle(stream):
    return T.Handle(stream)


def refused(call, error, pty, queued=QUEUED):
    """Runs `call` with a reply waiting on the line and checks that it raises
    `error` without warning, writing or reading."""
    pty.write(queued)
    # The pty moves the bytes to the host's side a moment later; the count
    # below compares with what was there before the call.
    deadline = time.monotonic() + QUEUE_WAIT
    while pty.queued_for_host() < len(queued) and time.monotonic() < deadline:
        time.sleep(0.001)
    assert pty.queued_for_host() == len(queued), "the reply did not reach the host's side"
    with warnings.catch_warnings(record=True) as issued:
        warnings.simplefilter("always")
        with pytest.raises(error) as raised:
            call()
    assert issued == [], "warned although the call was refused"
    assert pty.drain() == b"", "wrote although the call was refused"
    assert pty.queued_for_host() == len(queued), "read although the call was refused"
    return raised.value


# ---- Lists of three numbers --------------------------------------------------

# Every list argument of the arm: the method, how to call it with one bad
# list in that argument's place.
LIST_ARGUMENTS = {
    "end_effector_force": lambda arm, bad: arm.end_effector_force(bad),
    "end_effector_position": lambda arm, bad: arm.end_effector_position(bad),
    "joint_torques": lambda arm, bad: arm.joint_torques(bad),
    "joint_angles": lambda arm, bad: arm.joint_angles(bad),
    "adjust_angles": lambda arm, bad: arm.adjust_angles(bad),
    "SendForce": lambda arm, bad: arm.SendForce(bad),
    "SendJointTorques": lambda arm, bad: arm.SendJointTorques(bad),
    "SendAngle": lambda arm, bad: arm.SendAngle(bad),
    "SendPosition": lambda arm, bad: arm.SendPosition(bad),
    "ReceiveCurrent": lambda arm, bad: arm.ReceiveCurrent(bad),
    "ReceiveState/position": lambda arm, bad: arm.ReceiveState(bad, [0.0] * 3),
    "ReceiveState/velocity": lambda arm, bad: arm.ReceiveState([0.0] * 3, bad),
    "ReceiveJointState/position": lambda arm, bad: arm.ReceiveJointState(bad, [0.0] * 3),
    "ReceiveJointState/velocity": lambda arm, bad: arm.ReceiveJointState([0.0] * 3, bad),
}

NOT_LISTS_OF_NUMBERS = {
    "None": None,
    "float": 1.0,
    "str": "1.0",
    "bytes": b"\x01\x02\x03",
    "set": {1.0, 2.0, 3.0},
    "dict": {0: 1.0, 1: 2.0, 2: 3.0},
    "generator": (x for x in (1.0, 2.0, 3.0)),
    "None-element": [1.0, None, 3.0],
    "str-element": [1.0, "2", 3.0],
    "nested-list": [[1.0], 2.0, 3.0],
    "complex-element": [1.0, 2j, 3.0],
    "int-beyond-float": [1.0, 2.0, NO_FLOAT],
    "huge-with-bad-last": [0.5] * HUGE + ["x"],
}


# SendForce with one number is its other overload: ForceX alone.
LIST_REFUSALS = [
    (method, kind)
    for method in LIST_ARGUMENTS
    for kind in NOT_LISTS_OF_NUMBERS
    if (method, kind) != ("SendForce", "float")
]


@pytest.mark.parametrize("method, kind", LIST_REFUSALS, ids=[f"{m}-{k}" for m, k in LIST_REFUSALS])
def test_list_arguments_that_do_not_convert(arm, pty, method, kind):
    refused(lambda: LIST_ARGUMENTS[method](arm, NOT_LISTS_OF_NUMBERS[kind]), TypeError, pty)


# For each list argument: the reply it reads (if any) and what it sends when
# given the list 1, 2, 3 followed by a million nines.
FIRST_THREE = floats(1, 2, 3)
HUGE_LIST_EXCHANGES = {
    "end_effector_force": (b"\x2b" + STATE, b"\x2a" + FIRST_THREE),
    "end_effector_position": (b"\x2b" + STATE, b"\x2c" + FIRST_THREE),
    "joint_torques": (b"\x1b" + STATE, b"\x1a" + FIRST_THREE),
    "joint_angles": (b"\x1b" + STATE, b"\x1c" + FIRST_THREE),
    "adjust_angles": (b"\x1b" + STATE, b"\x1a" + floats(0, 0, 0)),
    "SendForce": (b"", b"\x2a" + FIRST_THREE),
    "SendJointTorques": (b"", b"\x1a" + FIRST_THREE),
    "SendAngle": (b"", b"\x1c" + FIRST_THREE),
    "SendPosition": (b"", b"\x2c" + FIRST_THREE),
    "ReceiveCurrent": (b"\xab" + floats(4, 5, 6), b""),
    "ReceiveState/position": (b"\x2b" + STATE, b""),
    "ReceiveState/velocity": (b"\x2b" + STATE, b""),
    "ReceiveJointState/position": (b"\x1b" + STATE, b""),
    "ReceiveJointState/velocity": (b"\x1b" + STATE, b""),
}


def zero_angle_offsets(arm, pty):
    """adjust_angles changes the model every arm shares: put it back."""
    pty.write(b"\x1b" + floats(0, 0, 0, 0, 0, 0))
    arm.adjust_angles([0.0, 0.0, 0.0])
    pty.drain()


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("name", HUGE_LIST_EXCHANGES)
def test_a_huge_list_is_used_for_its_first_three_numbers(arm, pty, name):
    reply, request = HUGE_LIST_EXCHANGES[name]
    huge = [1.0, 2.0, 3.0] + [9.0] * HUGE
    pty.write(reply)
    result = LIST_ARGUMENTS[name](arm, huge)
    assert pty.drain() == request
    assert pty.queued_for_host() == 0, "the reply was not read"
    # The receive methods give back a list as long as the one they were given.
    lists = [result] if name == "ReceiveCurrent" else list(result or ())
    for returned in lists:
        assert len(returned) in (3, len(huge))
        if len(returned) == len(huge):
            assert returned[3:5] == [9.0, 9.0] and returned[-1] == 9.0
    if name == "adjust_angles":
        zero_angle_offsets(arm, pty)


SPECIAL_FLOATS = [math.nan, math.inf, -math.inf, 1e300, -1e300, 1e-50, -0.0]


@pytest.mark.parametrize("value", SPECIAL_FLOATS, ids=str)
def test_special_floats_go_on_the_wire_as_binary32(arm, pty, value):
    # Values are passed through unchecked: NaN stays NaN, what a float cannot
    # hold becomes an infinity, what is too small becomes zero.
    arm.SendAngle([value, 1.0, value])
    assert pty.drain() == b"\x1c" + binary32(value) + binary32(1.0) + binary32(value)


@pytest.mark.parametrize("value", SPECIAL_FLOATS, ids=str)
def test_special_floats_in_the_separate_force_components(arm, pty, value):
    with pytest.warns(DeprecationWarning):
        arm.SendForce(value, ForceZ=value)
    assert pty.drain() == b"\x2a" + binary32(value) + binary32(0.0) + binary32(value)


# ---- Numbers -----------------------------------------------------------------

NOT_FLOATS = {
    "None": None,
    "str": "1.0",
    "list": [1.0],
    "complex": 1j,
    "int-beyond-float": NO_FLOAT,
    "object": object(),
}

FLOAT_ARGUMENTS = {
    "adjust_lengths/inner_arm_1": lambda arm, bad: arm.adjust_lengths(bad),
    "adjust_lengths/extension": lambda arm, bad: arm.adjust_lengths(extension=bad),
    "adjust_gear_ratios/head": lambda arm, bad: arm.adjust_gear_ratios(bad),
    "adjust_gear_ratios/outer": lambda arm, bad: arm.adjust_gear_ratios(
        outer_arm_gear_ratio_coeff=bad
    ),
    "SendForce/ForceY": lambda arm, bad: arm.SendForce(0.0, bad, 0.0),
}


@pytest.mark.parametrize("bad", NOT_FLOATS.values(), ids=NOT_FLOATS.keys())
@pytest.mark.parametrize("call", FLOAT_ARGUMENTS.values(), ids=FLOAT_ARGUMENTS.keys())
def test_float_arguments_that_do_not_convert(arm, pty, call, bad):
    refused(lambda: call(arm, bad), TypeError, pty)


def test_special_floats_in_the_model_give_nan_positions_not_a_crash(arm, pty, stream):
    arm.adjust_lengths(math.nan, math.inf, -math.inf, 1e300, -math.nan)
    arm.adjust_gear_ratios(math.inf, math.nan, -1e300)
    pty.write(b"\x1b" + floats(10.0, -45.0, 60.0, 0.0, 0.0, 0.0))
    position, velocity = arm.get_end_effector_position(False)
    assert pty.drain() == b"\x1a" + floats(0, 0, 0)
    assert len(position) == 3 and any(math.isnan(value) for value in position)
    assert velocity == [0.0, 0.0, 0.0]
    T.Armillar(stream)  # a new arm puts the lengths and gear ratios back


@pytest.mark.parametrize("bad", ["yes", [True], object()], ids=["str", "list", "object"])
def test_onboard_that_is_no_truth_value(arm, pty, bad):
    refused(lambda: arm.get_end_effector_position(bad), TypeError, pty)


@pytest.mark.parametrize(
    "onboard, request_code",
    [(None, 0x1A), (0, 0x1A), (2, 0x2A), (math.nan, 0x2A)],
    ids=["None", "zero", "two", "nan"],
)
def test_onboard_takes_the_truth_value_of_numbers_and_none(arm, pty, onboard, request_code):
    pty.write(bytes([request_code + 1]) + STATE)
    arm.get_end_effector_position(onboard)
    assert pty.drain() == bytes([request_code]) + floats(0, 0, 0)


# The handle's integer arguments: 16-bit device ids, 8-bit everything else.
OUT_OF_RANGE = {
    "SendHandleState/device_id=-1": lambda h: h.SendHandleState(-1, 0, 0),
    "SendHandleState/device_id=65536": lambda h: h.SendHandleState(65536, 0, 0),
    "SendHandleState/device_id=2**64": lambda h: h.SendHandleState(2**64, 0, 0),
    "SendHandleState/device_id=1.0": lambda h: h.SendHandleState(1.0, 0, 0),
    "SendHandleState/device_id=str": lambda h: h.SendHandleState("1", 0, 0),
    "SendHandleState/device_id=None": lambda h: h.SendHandleState(None, 0, 0),
    "SendHandleState/data_length=-1": lambda h: h.SendHandleState(1, -1, 0),
    "SendHandleState/data_length=256": lambda h: h.SendHandleState(1, 256, 0),
    "SendHandleState/data_length=None": lambda h: h.SendHandleState(1, None, 0),
    "SendHandleState/user_data=-1": lambda h: h.SendHandleState(1, 1, -1),
    "SendHandleState/user_data=256": lambda h: h.SendHandleState(1, 1, 256),
    "SendHandleState/user_data=bytes": lambda h: h.SendHandleState(1, 1, b"\x01"),
    "SendHandleState/user_data=list": lambda h: h.SendHandleState(1, 1, [1]),
    "Receive/obsolete=256": lambda h: h.Receive(256),
    "Receive/obsolete=-1": lambda h: h.Receive(-1),
    "Receive/obsolete=1.5": lambda h: h.Receive(1.5),
    "Receive/obsolete=None": lambda h: h.Receive(None),
    "Receive/obsolete=str": lambda h: h.Receive("1"),
    "OnReceiveHandleInfo/tool=256": lambda h: h.OnReceiveHandleInfo(256, 0, 0, 0, 0),
    "OnReceiveHandleInfo/device_id=65536": lambda h: h.OnReceiveHandleInfo(0, 65536, 0, 0, 0),
    "OnReceiveHandleInfo/firmware=-1": lambda h: h.OnReceiveHandleInfo(0, 0, 0, 0, -1),
    "OnReceiveHandleStatusMessage/device_id=-1": lambda h: h.OnReceiveHandleStatusMessage(
        -1, 0.0, 0, 0, 0, 0
    ),
    "OnReceiveHandleStatusMessage/quaternion=str": lambda h: h.OnReceiveHandleStatusMessage(
        0, "0.5", 0, 0, 0, 0
    ),
    "OnReceiveHandleStatusMessage/quaternion=list": lambda h: h.OnReceiveHandleStatusMessage(
        0, [0.5] * 4, 0, 0, 0, 0
    ),
    "OnReceiveHandleStatusMessage/user_data_length=256": lambda h: h.OnReceiveHandleStatusMessage(
        0, 0.0, 0, 0, 256, 0
    ),
    "OnReceiveHandleErrorResponse/error_code=256": lambda h: h.OnReceiveHandleErrorResponse(0, 256),
    "OnReceiveHandleErrorResponse/device_id=None": lambda h: h.OnReceiveHandleErrorResponse(
        None, 0
    ),
}


@pytest.mark.parametrize("call", OUT_OF_RANGE.values(), ids=OUT_OF_RANGE.keys())
def test_handle_integers_out_of_range_or_of_the_wrong_type(handle, pty, call):
    refused(lambda: call(handle), TypeError, pty, queued=b"\xd0\x11\x22\x33\x44\x55\x66")


@pytest.mark.parametrize(
    "args",
    [(1, 2, 7), (1, 1), (1, 255, None), (1, 255, 255)],
    ids=["two-of-one", "length-without-data", "long-without-data", "255-of-one"],
)
def test_handle_state_longer_than_the_user_data_given(handle, pty, args):
    error = refused(lambda: handle.SendHandleState(*args), ValueError, pty, queued=b"")
    assert "data_length" in str(error)


def test_handle_state_at_the_edges_of_its_ranges(handle, pty):
    handle.SendHandleState(65535, 1, 255)
    handle.SendHandleState(0, 0, 0)
    assert pty.drain() == bytes.fromhex("DB FF FF 01 FF DB 00 00 00")


def test_special_floats_reach_an_override_as_given(stream):
    class Recording(T.Handle):
        calls = []

        def OnReceiveHandleStatusMessage(self, *args):
            self.calls.append(args)

    recording = Recording(stream)
    T.Handle.OnReceiveHandleStatusMessage(recording, 65535, math.nan, 255, 255, 255, 255)
    T.Handle.OnReceiveHandleStatusMessage(recording, 0, -math.inf, 0, 0, 0, 0)
    (device_id, quaternion, *_, length, user_data), second = recording.calls
    assert device_id == 65535 and length == 255
    assert math.isnan(quaternion[0]) and quaternion[1:] == [0.0, 0.0, 0.0]
    assert user_data == [255] + [0] * 254
    assert second[1] == [-math.inf, 0.0, 0.0, 0.0] and second[5] == []


# ---- Argument counts and names -----------------------------------------------

NO_ARGUMENT_METHODS = {
    T.Armillar: [
        "device_wakeup",
        "device_wakeup_dict",
        "get_firmware_version",
        "get_device_id",
        "get_motor_currents",
        "get_device_orientation",
        "get_power_status",
        "get_temperature",
        "deactivate_orientation_sensor",
        "SendDeviceWakeup",
        "ReceiveDeviceInfo",
        "RequestCurrent",
    ],
    T.Handle: ["SendDeviceWakeup", "RequestStatus", "GetQuillonetStatus"],
}


@pytest.mark.parametrize(
    "extra", [((1,), {}), ((), {"timeout": 1.0})], ids=["positional", "keyword"]
)
@pytest.mark.parametrize(
    "cls, name", [(cls, name) for cls, names in NO_ARGUMENT_METHODS.items() for name in names]
)
def test_methods_without_arguments_refuse_any(stream, pty, cls, name, extra):
    target = cls(stream)
    args, kwargs = extra
    refused(lambda: getattr(target, name)(*args, **kwargs), TypeError, pty)


@pytest.mark.parametrize(
    "call",
    [
        lambda arm: arm.end_effector_force([0.0] * 3, [0.0] * 3),
        lambda arm: arm.end_effector_force(force=[0.0] * 3),
        lambda arm: arm.adjust_lengths(0.1, 0.1, 0.1, 0.1, 0.1, 0.1),
        lambda arm: arm.SendForce(1.0, 2.0, 3.0, 4.0),
        lambda arm: arm.SendForce([1.0] * 3, ForceX=1.0),
        lambda arm: arm.ReceiveState([0.0] * 3, [0.0] * 3, [0.0] * 3),
    ],
    ids=[
        "two-lists",
        "name-with-no-keyword",
        "six-lengths",
        "four-forces",
        "list-and-keyword",
        "three-lists",
    ],
)
def test_too_many_or_unknown_arguments(arm, pty, call):
    refused(lambda: call(arm), TypeError, pty)


# ---- Constructors and module functions ---------------------------------------


@pytest.mark.parametrize(
    "arguments",
    [(1,), (["/dev/null"],), ("\udcff",), (None, None), ()],
    ids=["int", "list", "unencodable", "two", "none-given"],
)
def test_serial_stream_paths_of_the_wrong_type(arguments):
    with pytest.raises(TypeError):
        T.SerialStream(*arguments)


@pytest.mark.parametrize(
    "path",
    ["/dev/null\0/dev/tty", b"/dev/null\0", bytearray(b"\0")],
    ids=["str", "bytes", "bytearray"],
)
def test_serial_stream_refuses_a_path_with_a_nul(pty, capfd, path):
    # The system would take the path only up to the NUL, another path than
    # the one named: refused before anything is opened.
    with pytest.raises(ValueError, match="embedded null byte"):
        T.SerialStream(path)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("cls", [T.Armillar, T.Handle])
@pytest.mark.parametrize(
    "argument",
    [None, 1, "/dev/null", T.UUID(), T.Device],
    ids=["None", "int", "str", "UUID", "type"],
)
def test_devices_need_a_serial_stream(cls, argument):
    with pytest.raises(TypeError):
        cls(argument)


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda: T.get_cpp_version(1), id="get_cpp_version"),
        pytest.param(lambda: T.print_cpp_version(None), id="print_cpp_version"),
        pytest.param(lambda: T.detect_armillars(1), id="detect_armillars"),
        pytest.param(lambda: T.detect_handles("ttyUSB0"), id="detect_handles"),
        pytest.param(lambda: T.detect_wired_handles(None), id="detect_wired_handles"),
        pytest.param(lambda: T.detect_wireless_handles(timeout=1), id="detect_wireless_handles"),
        pytest.param(lambda: T.UUID(1), id="UUID"),
        pytest.param(lambda: T.UUID().bytes(1), id="UUID.bytes"),
        pytest.param(lambda: T.Device(), id="Device"),
    ],
)
def test_module_functions_and_small_classes_refuse_arguments(call):
    with pytest.raises(TypeError):
        call()


# ---- Objects that were never initialised -------------------------------------


def public_methods(cls):
    return [name for name in vars(cls) if not name.startswith("_")]


class HandleSubclass(T.Handle):
    def OnReceiveHandleStatusMessage(self, *args):
        pass


# Arguments for the methods that have no defaults.
VALID_ARGUMENTS = {
    "OnReceiveHandleInfo": (0, 0, 0, 0, 0),
    "OnReceiveHandleStatusMessage": (0, 0.0, 0, 0, 0, 0),
    "OnReceiveHandleErrorResponse": (0, 0),
}
BLANK_CALLS = [
    (cls, name)
    for cls, methods_of in (
        (T.Armillar, T.Armillar),
        (T.Handle, T.Handle),
        (HandleSubclass, T.Handle),
        (T.UUID, T.UUID),
    )
    for name in public_methods(methods_of)
    if name not in vars(cls) or cls is methods_of
]


@pytest.mark.parametrize(
    "cls, name", BLANK_CALLS, ids=[f"{c.__name__}.{n}" for c, n in BLANK_CALLS]
)
def test_methods_of_an_object_made_without_init(pty, cls, name):
    # __new__ alone makes an object that holds nothing: every method refuses
    # it instead of running on storage that was never built.
    blank = cls.__new__(cls)
    with pytest.raises(TypeError, match=r"__init__\(\) has not been called"):
        getattr(blank, name)(*VALID_ARGUMENTS.get(name, ()))
    assert pty.drain() == b""


@pytest.mark.parametrize("cls", [T.Armillar, T.Handle])
def test_a_stream_made_without_init_is_refused(cls):
    with pytest.raises(TypeError, match=r"SerialStream.__init__\(\) has not been called"):
        cls(T.SerialStream.__new__(T.SerialStream))


def test_a_second_init_is_ignored(arm, pty):
    other = T.SerialStream(None)
    arm.__init__(other)
    pty.write(b"\xac\x01")
    assert arm.get_power_status() is True
    assert pty.drain() == b"\xac"


def test_every_method_is_covered_here():
    covered_arm = (
        {name.split("/")[0] for name in LIST_ARGUMENTS}
        | {name.split("/")[0] for name in FLOAT_ARGUMENTS}
        | set(NO_ARGUMENT_METHODS[T.Armillar])
        | {"get_end_effector_position"}
    )
    assert covered_arm == set(public_methods(T.Armillar))
    covered_handle = {name.split("/")[0] for name in OUT_OF_RANGE} | set(
        NO_ARGUMENT_METHODS[T.Handle]
    )
    assert covered_handle == set(public_methods(T.Handle))
