"""Armillar methods against a device played on a pty: the bytes each method
writes, the Python value it makes of the reply, and its fallback when the
reply is wrong or missing.

Replies are queued on the pty before the call. The host only reads after it
has written its request, so this plays the device faithfully, and it works
for the methods that keep the interpreter lock while they wait."""

import uuid
import warnings

import pytest

import TorviHardwareAPI as T
from support import floats

IDENT = bytes(range(0xA0, 0xB0))
NIL = uuid.UUID(int=0)
ZERO_STATE = ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])
STATE = floats(1.5, -2.0, 0.125, 4.0, -0.5, 8.0)
DECODED_STATE = ([1.5, -2.0, 0.125], [4.0, -0.5, 8.0])
NO_EFFORT = floats(0, 0, 0)


def wrong(code: int) -> bytes:
    """A reply code nobody asked for, then as many bytes as the drain takes,
    so the drain returns at once instead of waiting out the time-out."""
    return bytes([code]) + bytes([0x5A]) * 1024


def assert_same(result, expected):
    """Equal values of the same types, all the way down (a list is not a
    tuple, a uuid.UUID not a string), and dict keys in the same order."""
    assert type(result) is type(expected), (result, expected)
    if isinstance(expected, (list, tuple)):
        assert len(result) == len(expected), (result, expected)
        for got, want in zip(result, expected):
            assert_same(got, want)
    elif isinstance(expected, dict):
        assert list(result) == list(expected)
        for key in expected:
            assert_same(result[key], expected[key])
    else:
        assert result == expected


def exchange(arm, pty, call, reply):
    pty.write(reply)
    result = call(arm)
    return result, pty.drain()


# The commands that send a vector and read the state the arm answers with:
# the method, the vector, the request that carries it, the code of the state.
STATE_COMMANDS = [
    ("end_effector_force", [1.0, 2.0, 3.0], b"\x2a" + floats(1, 2, 3), 0x2B),
    ("end_effector_position", [0.5, -0.25, 0.75], b"\x2c" + floats(0.5, -0.25, 0.75), 0x2B),
    ("joint_torques", [-1.0, 0.0, 1.0], b"\x1a" + floats(-1, 0, 1), 0x1B),
    ("joint_angles", [10.0, -20.0, 30.0], b"\x1c" + floats(10, -20, 30), 0x1B),
]
# The other state's code, for a reply that nobody asked for.
OTHER_STATE = {0x2B: 0x1B, 0x1B: 0x2B}
# Calls that send no effort and read the end-effector state.
NO_EFFORT_CALLS = {
    "get_end_effector_position-default": lambda a: a.get_end_effector_position(),
    "get_end_effector_position-onboard": lambda a: a.get_end_effector_position(True),
    "end_effector_force-default": lambda a: a.end_effector_force(),
}
# The deprecated receivers of a state (they send nothing), by the state's code.
STATE_RECEIVERS = {"ReceiveState": 0x2B, "ReceiveJointState": 0x1B}


def sending(method, vector):
    return lambda arm: getattr(arm, method)(vector)


def receiving(method):
    return lambda arm: getattr(arm, method)([9.0] * 3, [9.0] * 3)


REQUESTS = [
    pytest.param(
        lambda a: a.device_wakeup(),
        b"\x0a",
        b"\x0b\x34\x12\x04\x02\x07" + IDENT,
        (0x1234, 4, 2, 7, list(IDENT)),
        id="device_wakeup",
    ),
    pytest.param(
        lambda a: a.device_wakeup_dict(),
        b"\x0a",
        b"\x0b\x34\x12\x04\x02\x07" + IDENT,
        {
            "device_id": 0x1234,
            "device_model_number": 4,
            "hardware_version": 2,
            "firmware_version": 7,
            "device_id_ext": uuid.UUID(bytes=IDENT),
        },
        id="device_wakeup_dict",
    ),
    pytest.param(
        lambda a: a.get_firmware_version(),
        b"\x0d\xd2",
        b"\x0d\xd2\x10" + IDENT,
        uuid.UUID(bytes=IDENT),
        id="get_firmware_version",
    ),
    pytest.param(
        lambda a: a.get_device_id(),
        b"\x0d\xd1",
        b"\x0d\xd1\x10" + IDENT[::-1],
        uuid.UUID(bytes=IDENT[::-1]),
        id="get_device_id",
    ),
    pytest.param(
        lambda a: a.get_motor_currents(),
        b"\xab",
        b"\xab" + floats(0.5, -1.25, 2.0),
        [0.5, -1.25, 2.0],
        id="get_motor_currents",
    ),
    pytest.param(
        lambda a: a.get_device_orientation(),
        b"\x0c",
        b"\x0c" + floats(0.25, -0.5, 0.125, 0.75),
        [0.25, -0.5, 0.125, 0.75],
        id="get_device_orientation",
    ),
    pytest.param(lambda a: a.get_power_status(), b"\xac", b"\xac\x02", True, id="powered"),
    pytest.param(lambda a: a.get_power_status(), b"\xac", b"\xac\x00", False, id="not-powered"),
    pytest.param(
        lambda a: a.get_temperature(), b"\xaa", b"\xaa" + floats(36.5), 36.5, id="get_temperature"
    ),
    *(
        pytest.param(
            sending(method, vector), request, bytes([state]) + STATE, DECODED_STATE, id=method
        )
        for method, vector, request, state in STATE_COMMANDS
    ),
    *(
        pytest.param(call, b"\x2a" + NO_EFFORT, b"\x2b" + STATE, DECODED_STATE, id=name)
        for name, call in NO_EFFORT_CALLS.items()
    ),
    pytest.param(
        lambda a: a.SendAngle([1, 2, 3]), b"\x1c" + floats(1, 2, 3), b"", None, id="SendAngle"
    ),
    pytest.param(lambda a: a.RequestCurrent(), b"\xab", b"", None, id="RequestCurrent"),
    pytest.param(
        lambda a: a.ReceiveCurrent([7.0, 7.0, 7.0, 7.0]),
        b"",
        b"\xab" + floats(1, 2, 3),
        [1.0, 2.0, 3.0, 7.0],
        id="ReceiveCurrent",
    ),
    *(
        pytest.param(receiving(method), b"", bytes([state]) + STATE, DECODED_STATE, id=method)
        for method, state in STATE_RECEIVERS.items()
    ),
    pytest.param(lambda a: a.adjust_lengths(), b"", b"", None, id="adjust_lengths"),
    pytest.param(lambda a: a.adjust_gear_ratios(), b"", b"", None, id="adjust_gear_ratios"),
    pytest.param(
        lambda a: a.deactivate_orientation_sensor(),
        b"",
        b"",
        None,
        id="deactivate_orientation_sensor",
    ),
]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("call, request_bytes, reply, expected", REQUESTS)
def test_request_and_reply(arm, pty, call, request_bytes, reply, expected):
    result, sent = exchange(arm, pty, call, reply)
    assert sent == request_bytes
    assert_same(result, expected)
    assert pty.queued_for_host() == 0, "the reply was not read to its end"


def test_receive_device_info_returns_the_module_uuid(arm, pty):
    result, sent = exchange(
        arm, pty, lambda a: a.ReceiveDeviceInfo(), b"\x0b\x01\x00\x04\x03\x09" + IDENT
    )
    assert sent == b""
    assert result[:4] == (1, 4, 3, 9)
    assert isinstance(result[4], T.UUID)
    assert result[4].bytes() == list(IDENT)


@pytest.mark.parametrize(
    "identifier, text",
    [
        ("00" * 16, "0" * 32),
        ("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F", "000102030405060708090a0b0c0d0e0f"),
        ("F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF", "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"),
        ("DE AD BE EF 00 0A A0 FF 12 34 56 78 9A BC DE F0", "deadbeef000aa0ff123456789abcdef0"),
    ],
)
def test_identifier_reaches_uuid_as_lower_case_hex_text(arm, pty, monkeypatch, identifier, text):
    """uuid.UUID takes either case, so the text it is given is checked itself:
    two lower-case digits a byte, leading zeros kept, first byte first."""
    given = []
    monkeypatch.setattr(uuid, "UUID", lambda **kwargs: given.append(kwargs) or "made")
    result, _ = exchange(
        arm, pty, lambda a: a.get_firmware_version(), b"\x0d\xd2\x10" + bytes.fromhex(identifier)
    )
    assert result == "made"
    assert given == [{"hex": text}]


FALLBACKS = [
    pytest.param(
        lambda a: a.device_wakeup(), wrong(0x2B), (0, 0, 0, 0, [0] * 16), id="device_wakeup"
    ),
    pytest.param(
        lambda a: a.device_wakeup_dict(),
        wrong(0x0C),
        {
            "device_id": 0,
            "device_model_number": 0,
            "hardware_version": 0,
            "firmware_version": 0,
            "device_id_ext": NIL,
        },
        id="device_wakeup_dict",
    ),
    pytest.param(
        lambda a: a.get_firmware_version(),
        b"\x0d" + wrong(0xD1),
        NIL,
        id="firmware-version-answered-with-the-id-selector",
    ),
    pytest.param(
        lambda a: a.get_device_id(),
        b"\x0b" + wrong(0xD1),
        NIL,
        id="device-id-answered-with-another-code",
    ),
    pytest.param(
        lambda a: a.get_device_id(), b"\x0d\xd1\x0f" + IDENT, NIL, id="device-id-with-length-15"
    ),
    pytest.param(
        lambda a: a.get_firmware_version(),
        b"\x0d\xd2\x11" + IDENT,
        NIL,
        id="firmware-version-with-length-17",
    ),
    pytest.param(
        lambda a: a.get_motor_currents(), wrong(0xAA), [0.0, 0.0, 0.0], id="get_motor_currents"
    ),
    pytest.param(
        lambda a: a.get_device_orientation(), wrong(0x0B), [0.0] * 4, id="get_device_orientation"
    ),
    pytest.param(lambda a: a.get_power_status(), wrong(0xAA), False, id="get_power_status"),
    pytest.param(lambda a: a.get_temperature(), wrong(0xAC), 0.0, id="get_temperature"),
    pytest.param(
        lambda a: a.get_end_effector_position(True),
        wrong(0x1B),
        ZERO_STATE,
        id="get_end_effector_position",
    ),
    *(
        pytest.param(sending(method, vector), wrong(OTHER_STATE[state]), ZERO_STATE, id=method)
        for method, vector, _, state in STATE_COMMANDS
    ),
    pytest.param(
        lambda a: a.ReceiveCurrent([7.0, 7.0, 7.0, 7.0]),
        wrong(0x2B),
        [7.0, 7.0, 7.0, 7.0],
        id="ReceiveCurrent",
    ),
    pytest.param(
        lambda a: a.ReceiveState([1, 2, 3], [4, 5, 6, 7]),
        wrong(0x1B),
        ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0, 7.0]),
        id="ReceiveState",
    ),
    pytest.param(
        lambda a: a.ReceiveJointState([1, 2, 3], [4, 5, 6]),
        wrong(0x2B),
        ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0]),
        id="ReceiveJointState",
    ),
]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("call, reply, expected", FALLBACKS)
def test_unexpected_reply_gives_the_fallback(arm, pty, call, reply, expected):
    pty.write(reply)
    assert_same(call(arm), expected)
    assert pty.queued_for_host() == 0, "the unexpected reply was not drained"


def test_receive_device_info_fallback_is_an_all_zero_uuid(arm, pty):
    pty.write(wrong(0x2B))
    result = arm.ReceiveDeviceInfo()
    assert result[:4] == (0, 0, 0, 0)
    assert result[4].bytes() == [0] * 16


@pytest.mark.slow
@pytest.mark.parametrize(
    "method, expected",
    [
        ("device_wakeup", (0, 0, 0, 0, [0] * 16)),
        (
            "device_wakeup_dict",
            {
                "device_id": 0,
                "device_model_number": 0,
                "hardware_version": 0,
                "firmware_version": 0,
                "device_id_ext": NIL,
            },
        ),
    ],
)
def test_wakeup_on_a_silent_line(arm, pty, method, expected):
    assert_same(getattr(arm, method)(), expected)
    assert pty.drain() == b"\x0a"


# Lists: what is accepted, what is refused, and what comes back.

LIST_METHODS = [
    # method, position of the list argument, its name, the request code
    ("end_effector_force", 0, "force request vector", 0x2A),
    ("end_effector_position", 0, "position request vector", 0x2C),
    ("joint_torques", 0, "joint torque request vector", 0x1A),
    ("joint_angles", 0, "joint angle request vector", 0x1C),
    ("adjust_angles", 0, "angles", 0x1A),
    ("SendForce", 0, "force", 0x2A),
    ("SendJointTorques", 0, "joint_torque", 0x1A),
    ("SendAngle", 0, "angle", 0x1C),
    ("SendPosition", 0, "position", 0x2C),
    ("ReceiveCurrent", 0, "current", None),
    ("ReceiveState", 0, "position", None),
    ("ReceiveState", 1, "velocity", None),
    ("ReceiveJointState", 0, "joint_position", None),
    ("ReceiveJointState", 1, "joint_velocity", None),
]


@pytest.mark.parametrize("short", [[], [1.0], [1.0, 2.0]], ids=len)
@pytest.mark.parametrize("method, position, name, code", LIST_METHODS)
def test_short_list_is_refused_before_any_io(arm, pty, method, position, name, code, short):
    # A reply is waiting: a receive method that went ahead would take it.
    pty.write(b"\x2b" + STATE)
    args = [[0.0, 0.0, 0.0], [0.0, 0.0, 0.0]][: position + 1]
    args[position] = short
    with warnings.catch_warnings(record=True) as issued:
        warnings.simplefilter("always")
        with pytest.raises(ValueError) as error:
            getattr(arm, method)(*args)
    assert str(error.value) == f"{name} must hold at least 3 numbers, got {len(short)}"
    assert issued == [], "warned although the call was refused"
    assert pty.drain() == b""
    assert pty.queued_for_host() == 1 + len(STATE)


@pytest.mark.parametrize(
    "bad",
    ["abc", b"abc", [1.0, "x", 3.0], {1.0, 2.0, 3.0}, None],
    ids=["str", "bytes", "str-element", "set", "None"],
)
@pytest.mark.parametrize("method", ["end_effector_force", "SendForce", "SendPosition"])
def test_arguments_that_do_not_convert_raise_type_error(arm, pty, method, bad):
    with warnings.catch_warnings(record=True) as issued:
        warnings.simplefilter("always")
        with pytest.raises(TypeError):
            getattr(arm, method)(bad)
    assert issued == []
    assert pty.drain() == b""


@pytest.mark.parametrize(
    "vector",
    [[1, 2, 3], (1.0, 2.0, 3.0), [1.0, 2.0, 3.0, 4.0, 5.0], range(1, 4)],
    ids=["ints", "tuple", "five", "range"],
)
def test_vectors_send_their_first_three_numbers(arm, pty, vector):
    pty.write(b"\x2b" + STATE)
    arm.end_effector_force(vector)
    assert pty.drain() == b"\x2a" + floats(1, 2, 3)


def test_in_out_lists_come_back_as_new_lists(arm, pty):
    current = [7.0, 7.0, 7.0, 9.0]
    pty.write(b"\xab" + floats(1, 2, 3))
    result = arm.ReceiveCurrent(current)
    assert result == [1.0, 2.0, 3.0, 9.0]
    assert result is not current
    assert current == [7.0, 7.0, 7.0, 9.0]

    position, velocity = [0.0] * 3, [0.0] * 5
    pty.write(b"\x1b" + STATE)
    with pytest.warns(DeprecationWarning):
        new_position, new_velocity = arm.ReceiveJointState(position, velocity)
    assert (new_position, new_velocity) == ([1.5, -2.0, 0.125], [4.0, -0.5, 8.0, 0.0, 0.0])
    assert new_position is not position and new_velocity is not velocity
    assert (position, velocity) == ([0.0] * 3, [0.0] * 5)


@pytest.mark.parametrize(
    "args, kwargs, sent",
    [
        ((), {}, (0, 0, 0)),
        (([1.0, 2.0, 3.0],), {}, (1, 2, 3)),
        (((4, 5, 6),), {}, (4, 5, 6)),
        ((1.0, 2.0, 3.0), {}, (1, 2, 3)),
        ((1, 2, 3), {}, (1, 2, 3)),
        ((1.5,), {}, (1.5, 0, 0)),
        ((), {"ForceY": 2.5}, (0, 2.5, 0)),
        ((), {"ForceX": 1, "ForceY": 2, "ForceZ": 3}, (1, 2, 3)),
        ((), {"force": [7.0, 8.0, 9.0]}, (7, 8, 9)),
    ],
    ids=[
        "none",
        "list",
        "tuple",
        "floats",
        "ints",
        "one-float",
        "keyword",
        "keywords",
        "force-keyword",
    ],
)
def test_send_force_overloads(arm, pty, args, kwargs, sent):
    with pytest.warns(
        DeprecationWarning, match="^SendForce is deprecated, use end_effector_force instead$"
    ) as issued:
        assert arm.SendForce(*args, **kwargs) is None
    assert len(issued) == 1
    assert pty.drain() == b"\x2a" + floats(*sent)
