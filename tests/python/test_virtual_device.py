"""torvi-virtual-device, seen from a raw host port: the bytes of every reply,
the arm's motion, the handle's status forms and stream, the fault options and
the life of the process."""

import contextlib
import math
import os
import signal
import struct
import subprocess
import time

import pytest

from support import RawPort, floats
from torvi.virtual import VirtualDevice, VirtualDeviceError, find_program

# Header codes as they travel on the wire.
WAKEUP = 0x0A
ARM_INFO, PARAMETER, ORIENTATION = 0x0B, 0x0D, 0x0C
JOINT_TORQUES, JOINT_ANGLES, JOINT_STATE = 0x1A, 0x1C, 0x1B
FORCE, POSITION, EE_STATE = 0x2A, 0x2C, 0x2B
TEMPERATURE, CURRENT, POWER = 0xAA, 0xAB, 0xAC
SELECT_ID, SELECT_FIRMWARE = 0xD1, 0xD2
HANDLE_INFO, STATUS, HANDLE_STATE, HANDLE_ERROR = 0xD0, 0xDA, 0xDB, 0xDF
SLIP_END, SLIP_ESC, SLIP_ESC_END, SLIP_ESC_ESC = 0xC0, 0xDB, 0xDC, 0xDD

# Every code either protocol uses, and the 0 that reads as a time-out.
PROTOCOL_CODES = {
    WAKEUP,
    ARM_INFO,
    PARAMETER,
    ORIENTATION,
    JOINT_TORQUES,
    JOINT_ANGLES,
    JOINT_STATE,
    FORCE,
    POSITION,
    EE_STATE,
    TEMPERATURE,
    CURRENT,
    POWER,
    SELECT_ID,
    SELECT_FIRMWARE,
    HANDLE_INFO,
    STATUS,
    HANDLE_STATE,
    HANDLE_ERROR,
    0,
}

ZERO3 = floats(0.0, 0.0, 0.0)
# Quiet time after a reply in which no further byte may come.
SETTLE = 0.05


def vector(code, x, y, z):
    return bytes([code]) + floats(x, y, z)


def state_of(reply):
    """(three floats, three floats) of a joint or end-effector state."""
    values = struct.unpack("<6f", reply[1:25])
    return values[:3], values[3:]


def exchange(port, request, length):
    reply = port.exchange(request, length)
    assert len(reply) == length, f"{bytes(request).hex()} -> {reply.hex()}"
    return reply


def unstuff(raw):
    """The host's reading of a 19-byte status frame: SLIP unstuffing of
    r[0]..r[17], r[18] looked at only after an ESC at r[17]. The test's own
    reading, written apart from the command's decoder (a table of the escape
    pairs), so that a mistake they shared could not hide."""
    escaped = {SLIP_ESC_END: SLIP_END, SLIP_ESC_ESC: SLIP_ESC}
    out, i = bytearray(), 0
    while i <= 17:
        byte, i = raw[i], i + 1
        if byte == SLIP_ESC and raw[i] in escaped:
            out.append(escaped[raw[i]])
            i += 1
        elif byte not in (SLIP_ESC, SLIP_END):
            out.append(byte)
    return bytes(out)


def split_status_messages(data):
    """Status messages (code, 21 bytes, user data) back to back; asserts that
    nothing else is in between and returns their fixed parts and user data."""
    messages, at = [], 0
    while at < len(data):
        assert data[at] == STATUS, f"stray byte {data[at]:#x} at {at}"
        if at + 22 > len(data):
            break  # the last one is still arriving
        fixed = data[at + 1 : at + 22]
        end = at + 22 + fixed[20]
        if end > len(data):
            break
        messages.append((fixed, data[at + 22 : end]))
        at = end
    return messages


def quaternion_of_message(fixed):
    return struct.unpack("<4f", fixed[4:20])


# --- The arm's replies, byte for byte ----------------------------------------

# request -> (reply code, payload length after the code)
ARM_EXCHANGES = [
    pytest.param(bytes([WAKEUP]), ARM_INFO, 21, id="wakeup"),
    pytest.param(bytes([ORIENTATION]), ORIENTATION, 16, id="orientation"),
    pytest.param(bytes([PARAMETER, SELECT_ID]), PARAMETER, 18, id="identifier"),
    pytest.param(bytes([PARAMETER, SELECT_FIRMWARE]), PARAMETER, 18, id="firmware"),
    pytest.param(vector(JOINT_TORQUES, 0, 0, 0), JOINT_STATE, 24, id="joint-torques"),
    pytest.param(vector(JOINT_ANGLES, 0, -45, 45), JOINT_STATE, 24, id="joint-angles"),
    pytest.param(vector(FORCE, 0, 0, 0), EE_STATE, 24, id="force"),
    pytest.param(vector(POSITION, 0, 0.0245, 0.22), EE_STATE, 24, id="position"),
    pytest.param(bytes([TEMPERATURE]), TEMPERATURE, 4, id="temperature"),
    pytest.param(bytes([CURRENT]), CURRENT, 12, id="current"),
    pytest.param(bytes([POWER]), POWER, 1, id="power"),
]


@pytest.mark.parametrize("request_bytes, code, length", ARM_EXCHANGES)
def test_arm_answers_each_request_with_its_code_and_length(
    virtual_arm, request_bytes, code, length
):
    with RawPort(virtual_arm.path) as port:
        reply = exchange(port, request_bytes, 1 + length)
        assert reply[0] == code
        assert port.drain(SETTLE) == b""


def test_arm_identifies_itself_consistently(virtual_arm):
    with RawPort(virtual_arm.path) as port:
        info = exchange(port, bytes([WAKEUP]), 22)
        identifier = exchange(port, bytes([PARAMETER, SELECT_ID]), 19)
        firmware = exchange(port, bytes([PARAMETER, SELECT_FIRMWARE]), 19)
    assert info[3] == 4  # the model number of an arm
    assert identifier[:3] == bytes([PARAMETER, SELECT_ID, 16])
    assert firmware[:3] == bytes([PARAMETER, SELECT_FIRMWARE, 16])
    # The device-info extension is the identifier the parameter request gives.
    assert info[6:22] == identifier[3:]
    assert any(identifier[3:]) and any(firmware[3:]) and identifier[3:] != firmware[3:]


def test_arm_model_byte_follows_the_option(virtual_device):
    arm = virtual_device("arm", "--model", "5")
    with RawPort(arm.path) as port:
        assert exchange(port, bytes([WAKEUP]), 22)[3] == 5


def test_arm_ignores_an_unknown_parameter_and_stray_bytes(virtual_arm):
    with RawPort(virtual_arm.path) as port:
        port.write(bytes([PARAMETER, 0xD7]))
        assert port.drain(0.2) == b""
        # A stray byte is skipped and the request after it answered.
        assert exchange(port, bytes([0x55, POWER]), 2) == bytes([POWER, 1])
        assert port.drain(SETTLE) == b""


def test_arm_answers_requests_split_or_run_together(virtual_arm):
    with RawPort(virtual_arm.path) as port:
        request = vector(FORCE, 0, 0, 0)
        for byte in request:
            port.write(bytes([byte]))
            time.sleep(0.002)
        assert port.read(25)[0] == EE_STATE
        port.write(bytes([POWER]) + bytes([TEMPERATURE]) + vector(JOINT_TORQUES, 0, 0, 0))
        replies = port.read(2 + 5 + 25)
        assert (replies[0], replies[2], replies[7]) == (POWER, TEMPERATURE, JOINT_STATE)
        assert port.drain(SETTLE) == b""


def test_arm_telemetry_is_plausible_at_rest(virtual_arm):
    with RawPort(virtual_arm.path) as port:
        orientation = struct.unpack("<4f", exchange(port, bytes([ORIENTATION]), 17)[1:])
        (temperature,) = struct.unpack("<f", exchange(port, bytes([TEMPERATURE]), 5)[1:])
        currents = struct.unpack("<3f", exchange(port, bytes([CURRENT]), 13)[1:])
        power = exchange(port, bytes([POWER]), 2)[1]
    assert orientation == pytest.approx((0.0, 0.7071, 0.0, 0.7071))
    assert 20.0 < temperature < 60.0
    assert currents == (0.0, 0.0, 0.0)
    assert power != 0


# --- The arm's motion ---------------------------------------------------------


def test_arm_reaches_a_joint_angle_target(virtual_arm):
    with RawPort(virtual_arm.path) as port:
        exchange(port, vector(JOINT_ANGLES, 10, -60, 50), 25)
        time.sleep(0.1)
        angles, velocities = state_of(exchange(port, vector(JOINT_TORQUES, 0, 0, 0), 25))
    assert angles == pytest.approx((10, -60, 50), abs=0.01)
    assert velocities == pytest.approx((0, 0, 0), abs=0.01)


def test_arm_reaches_an_end_effector_target(virtual_arm):
    with RawPort(virtual_arm.path) as port:
        # A reachable point: where the arm is at another pose.
        exchange(port, vector(JOINT_ANGLES, 20, -80, 20), 25)
        time.sleep(0.1)
        target, _ = state_of(exchange(port, vector(FORCE, 0, 0, 0), 25))
        exchange(port, vector(JOINT_ANGLES, 0, -45, 45), 25)
        time.sleep(0.1)
        start, _ = state_of(exchange(port, vector(FORCE, 0, 0, 0), 25))
        exchange(port, vector(POSITION, *target), 25)
        time.sleep(0.1)
        reached, velocity = state_of(exchange(port, vector(FORCE, 0, 0, 0), 25))
    assert max(abs(a - b) for a, b in zip(start, target)) > 0.005
    assert reached == pytest.approx(target, abs=2e-5)
    assert velocity == pytest.approx((0, 0, 0), abs=1e-3)


@pytest.mark.parametrize("direction", [1.0, -1.0])
def test_a_force_moves_the_end_effector_its_way(virtual_arm, direction):
    with RawPort(virtual_arm.path) as port:
        before, _ = state_of(exchange(port, vector(FORCE, 0, 0, 0), 25))
        exchange(port, vector(FORCE, 0, 0, 2.0 * direction), 25)
        time.sleep(0.01)
        after, velocity = state_of(exchange(port, vector(FORCE, 0, 0, 2.0 * direction), 25))
        currents = struct.unpack("<3f", exchange(port, bytes([CURRENT]), 13)[1:])
    assert (after[2] - before[2]) * direction > 1e-4
    # Never against the force. It may be zero: when the machine stalls the
    # exchanges for long, the arm reaches a joint limit and stops there.
    assert velocity[2] * direction >= 0
    assert any(abs(c) > 0.01 for c in currents)


def test_a_joint_torque_turns_its_joint_and_draws_current(virtual_arm):
    with RawPort(virtual_arm.path) as port:
        exchange(port, vector(JOINT_TORQUES, 0.0005, 0, 0), 25)
        time.sleep(0.05)
        angles, velocities = state_of(exchange(port, vector(JOINT_TORQUES, 0.0005, 0, 0), 25))
        currents = struct.unpack("<3f", exchange(port, bytes([CURRENT]), 13)[1:])
    assert 0.1 < angles[0] < 60 and velocities[0] > 0
    assert angles[1:] == pytest.approx((-45, 45), abs=1e-3)
    assert currents[0] > 0 and currents[1:] == (0.0, 0.0)


@pytest.mark.parametrize(
    "command",
    [
        vector(JOINT_TORQUES, 50, -50, 50),
        vector(JOINT_TORQUES, -50, 50, -50),
        vector(FORCE, 1e30, -1e30, 1e30),
        vector(FORCE, math.nan, math.inf, -math.inf),
        vector(JOINT_ANGLES, 500, 500, -500),
        vector(POSITION, 5.0, -5.0, 5.0),
        vector(POSITION, math.nan, 0, 0),
    ],
    ids=[
        "torque+",
        "torque-",
        "huge-force",
        "non-finite-force",
        "far-angles",
        "far-position",
        "nan-position",
    ],
)
def test_the_arm_stays_within_its_limits_and_finite(virtual_arm, command):
    with RawPort(virtual_arm.path) as port:
        exchange(port, command, 25)
        time.sleep(0.2)
        exchange(port, command, 25)
        angles, velocities = state_of(exchange(port, vector(JOINT_TORQUES, 0, 0, 0), 25))
        position, _ = state_of(exchange(port, vector(FORCE, 0, 0, 0), 25))
    assert all(math.isfinite(v) for v in angles + velocities + position)
    assert -60.001 <= angles[0] <= 60.001
    assert -100.001 <= angles[1] <= 0.001 and -0.001 <= angles[2] <= 100.001
    assert angles[2] - angles[1] >= 9.999


# Where the arm stands at joints (35, -60, 45): a place it can be pushed from
# every way, unlike home, where it cannot move along y.
HAND_TARGET = (-0.010123, 0.022824, 0.222923)


def test_a_hand_holds_the_arm_at_its_target_and_a_force_f_over_k_away(virtual_device):
    stiffness = 400.0
    device = virtual_device(
        "arm", "--hand", f"{stiffness},5", "--hand-target", ",".join(map(str, HAND_TARGET))
    )
    force = (0.4, 0.1, -0.8)
    with RawPort(device.path) as port:
        exchange(port, vector(FORCE, 0, 0, 0), 25)
        time.sleep(1.0)
        held, _ = state_of(exchange(port, vector(FORCE, *force), 25))
        time.sleep(1.0)
        pushed, velocity = state_of(exchange(port, vector(FORCE, *force), 25))
    assert held == pytest.approx(HAND_TARGET, abs=2e-5)
    away = [t + f / stiffness for t, f in zip(HAND_TARGET, force)]
    assert pushed == pytest.approx(away, abs=2e-5)
    assert velocity == pytest.approx((0, 0, 0), abs=1e-4)


def test_a_still_arm_reports_the_same_state_again(virtual_arm):
    with RawPort(virtual_arm.path) as port:
        first = exchange(port, vector(FORCE, 0, 0, 0), 25)
        time.sleep(0.05)
        second = exchange(port, vector(FORCE, 0, 0, 0), 25)
    assert first == second
    assert state_of(first)[1] == (0.0, 0.0, 0.0)


# --- The handle ---------------------------------------------------------------


@pytest.mark.parametrize(
    "options, code, length",
    [
        ((), HANDLE_INFO, 6),
        (("--wakeup-answer", "info"), HANDLE_INFO, 6),
        (("--wakeup-answer", "status"), STATUS, 21),
        (("--wakeup-answer", "error"), HANDLE_ERROR, 3),
        (("--wireless",), HANDLE_INFO, 6),
    ],
)
def test_handle_answers_the_wakeup_as_configured(virtual_device, options, code, length):
    handle = virtual_device("handle", *options)
    with RawPort(handle.path) as port:
        reply = exchange(port, bytes([WAKEUP]), 1 + length)
        assert reply[0] == code
        if code == STATUS:
            assert reply[21] == 0  # no user data yet
        assert port.drain(SETTLE) == b""


def test_handle_info_carries_its_model_in_the_id_high_byte(virtual_device):
    handle = virtual_device("handle", "--model", "9")
    with RawPort(handle.path) as port:
        info = exchange(port, bytes([WAKEUP]), 7)
        assert port.drain(SETTLE) == b""
    assert info[4] == 9
    assert info[2] == 0  # byte 1 of the payload, never read by the host


def test_handle_status_frame_unstuffs_to_18_meaningful_bytes(virtual_device):
    handle = virtual_device("handle", "--status-form", "frame")
    with RawPort(handle.path) as port:
        info = exchange(port, bytes([WAKEUP]), 7)
        frame = exchange(port, bytes([STATUS]), 20)
        assert port.drain(SETTLE) == b""
    assert frame[0] == STATUS
    decoded = unstuff(frame[1:])
    assert len(decoded) == 18
    assert decoded[4] == info[3]  # the one-byte id is the id's low byte
    assert decoded[3] >> 5 <= 7 and decoded[3] & 0x1F <= 31
    quaternion = [v * 2**-15 for v in struct.unpack("<4h", decoded[8:16])]
    assert math.fsum(c * c for c in quaternion) == pytest.approx(1.0, abs=0.02)
    assert 3.5 <= decoded[16] * 0.005 + 3.0 <= 4.0


def test_handle_state_user_data_shows_in_later_status_messages(virtual_device):
    handle = virtual_device("handle", "--status-form", "message")
    with RawPort(handle.path) as port:
        before = exchange(port, bytes([STATUS]), 22)
        port.write(bytes.fromhex("DB 45 23 02 AA BB"))
        assert port.drain(0.1) == b""  # HandleState has no reply
        after = exchange(port, bytes([STATUS]), 24)
        again = exchange(port, bytes([STATUS]), 24)
        long_data = bytes(range(255))
        port.write(bytes([HANDLE_STATE, 0x45, 0x23, 255]) + long_data)
        longest = exchange(port, bytes([STATUS]), 22 + 255)
        port.write(bytes.fromhex("DB 45 23 00"))
        cleared = exchange(port, bytes([STATUS]), 22)
        assert port.drain(SETTLE) == b""
    assert before[21] == 0
    assert after[21] == 2 and after[22:] == bytes.fromhex("AA BB")
    assert again[21:] == after[21:]
    assert longest[21] == 255 and longest[22:] == long_data
    assert cleared[21] == 0
    # The status message's own fields: the 16-bit id and a unit quaternion.
    assert struct.unpack("<H", after[1:3])[0] == struct.unpack("<H", before[1:3])[0]
    assert math.fsum(c * c for c in quaternion_of_message(after[1:22])) == pytest.approx(
        1.0, abs=1e-5
    )


def test_handle_state_sent_byte_by_byte_is_still_taken(virtual_device):
    handle = virtual_device("handle", "--status-form", "message")
    with RawPort(handle.path) as port:
        for byte in bytes.fromhex("DB 01 00 01 7F"):
            port.write(bytes([byte]))
            time.sleep(0.002)
        reply = exchange(port, bytes([STATUS]), 23)
    assert reply[21:] == bytes([1, 0x7F])


def test_handle_streams_status_messages_at_the_chosen_rate(virtual_device):
    handle = virtual_device("handle", "--stream-hz", "100")
    with RawPort(handle.path) as port:
        data = port.read(1 << 16, timeout=0.5)
    messages = split_status_messages(data)
    # About 50 in half a second; loose bounds for a loaded machine.
    assert 15 <= len(messages) <= 60
    quaternions = [quaternion_of_message(fixed) for fixed, _ in messages]
    assert quaternions[0] != quaternions[-1]  # it turns
    for q in quaternions:
        assert math.fsum(c * c for c in q) == pytest.approx(1.0, abs=1e-5)


def test_handle_streams_as_fast_as_the_port_takes_at_max(virtual_device):
    handle = virtual_device("handle", "--stream-hz", "max")
    with RawPort(handle.path) as port:
        data = port.read(1 << 20, timeout=0.3)
    messages = split_status_messages(data)
    assert len(messages) > 200
    assert all(len(fixed) == 21 and user == b"" for fixed, user in messages)


def test_streamed_messages_do_not_pile_up_while_the_port_is_closed(virtual_device):
    handle = virtual_device("handle", "--stream-hz", "200")
    with RawPort(handle.path):
        time.sleep(0.2)  # messages wait unread
    time.sleep(0.2)
    with RawPort(handle.path) as port:
        # At most the one message that may have come since the open.
        assert port.queued() <= 22
        assert split_status_messages(port.read(1 << 16, timeout=0.1))


# --- Faults -------------------------------------------------------------------

# (device, its options, a request, the sound reply's length)
FAULT_CASES = [
    pytest.param("arm", (), bytes([WAKEUP]), 22, id="arm-wakeup"),
    pytest.param("arm", (), bytes([PARAMETER, SELECT_FIRMWARE]), 19, id="arm-parameter"),
    pytest.param("handle", (), bytes([WAKEUP]), 7, id="handle-info"),
    pytest.param("handle", ("--status-form", "message"), bytes([STATUS]), 22, id="handle-message"),
]


def sound_reply(virtual_device, kind, options, request, length):
    with RawPort(virtual_device(kind, *options).path) as port:
        return exchange(port, request, length)


@pytest.mark.parametrize("kind, options, request_bytes, length", FAULT_CASES)
def test_silent_devices_answer_nothing(virtual_device, kind, options, request_bytes, length):
    device = virtual_device(kind, *options, "--silent")
    with RawPort(device.path) as port:
        port.write(request_bytes)
        assert port.drain(0.3) == b""


@pytest.mark.parametrize("kind, options, request_bytes, length", FAULT_CASES)
def test_wrong_code_changes_only_the_header_code(
    virtual_device, kind, options, request_bytes, length
):
    sound = sound_reply(virtual_device, kind, options, request_bytes, length)
    device = virtual_device(kind, *options, "--wrong-code")
    with RawPort(device.path) as port:
        reply = exchange(port, request_bytes, length)
        assert port.drain(SETTLE) == b""
    assert reply[0] not in PROTOCOL_CODES
    if request_bytes[0] != STATUS:  # status readings move with time
        assert reply[1:] == sound[1:]


@pytest.mark.parametrize("kind, options, request_bytes, length", FAULT_CASES)
def test_short_replies_lack_their_last_byte(virtual_device, kind, options, request_bytes, length):
    sound = sound_reply(virtual_device, kind, options, request_bytes, length)
    device = virtual_device(kind, *options, "--short-reply")
    with RawPort(device.path) as port:
        port.write(request_bytes)
        reply = port.drain(0.2)
    assert len(reply) == length - 1
    assert reply[0] == sound[0]
    if request_bytes[0] != STATUS:
        assert reply == sound[:-1]


@pytest.mark.parametrize("kind, options, request_bytes, length", FAULT_CASES)
def test_garbage_replaces_replies_with_noise(virtual_device, kind, options, request_bytes, length):
    device = virtual_device(kind, *options, "--garbage")
    with RawPort(device.path) as port:
        port.write(request_bytes)
        noise = port.drain(0.2)
    assert len(noise) == length
    assert not PROTOCOL_CODES.intersection(noise)


@pytest.mark.parametrize("kind, options, request_bytes, length", FAULT_CASES)
def test_delayed_replies_come_late_and_whole(virtual_device, kind, options, request_bytes, length):
    device = virtual_device(kind, *options, "--delay-ms", "300")
    with RawPort(device.path) as port:
        port.write(request_bytes)
        started = time.monotonic()
        assert port.read(1, timeout=0.15) == b""
        reply = port.read(length, timeout=2.0)
        elapsed = time.monotonic() - started
    assert len(reply) == length
    assert 0.25 <= elapsed < 2.0


def test_bad_frames_do_not_unstuff(virtual_device):
    handle = virtual_device("handle", "--bad-frame")
    with RawPort(handle.path) as port:
        frame = exchange(port, bytes([STATUS]), 20)
        info = exchange(port, bytes([WAKEUP]), 7)  # other replies stay sound
    assert frame[0] == STATUS
    assert len(unstuff(frame[1:])) == 17
    assert info[0] == HANDLE_INFO


@pytest.mark.parametrize(
    "kind, request_bytes, length",
    [
        ("arm", bytes([POWER]), 2),
        ("handle", bytes([WAKEUP]), 7),
    ],
)
def test_hangup_after_n_requests_closes_the_port(
    virtual_device, tmp_path, kind, request_bytes, length
):
    link = tmp_path / "port"
    device = virtual_device(kind, "--hangup-after", "2", link=link)
    with RawPort(device.path) as port:
        assert len(exchange(port, request_bytes, length)) == length
        assert len(exchange(port, request_bytes, length)) == length
        # The third request is not answered: the device hangs up on it.
        port.write(request_bytes)
        assert device.wait() == 0
        # The line is gone: reading ends at once (EOF or EIO) instead of waiting.
        with contextlib.suppress(OSError):
            assert port.read(1, timeout=1.0) == b""
    assert not os.path.lexists(link)
    assert not os.path.exists(device.path)


def test_hangup_after_zero_closes_at_once(virtual_device):
    device = virtual_device("arm", "--hangup-after", "0")
    assert device.wait() == 0


# --- The process --------------------------------------------------------------


def test_the_link_points_at_the_port_until_the_device_stops(virtual_device, tmp_path):
    link = tmp_path / "ttyACM_virtual0"
    device = virtual_device("arm", link=link)
    assert os.readlink(link) == device.path
    with RawPort(str(link)) as port:
        assert exchange(port, bytes([POWER]), 2) == bytes([POWER, 1])
    assert device.stop() == 0
    assert not os.path.lexists(link)


def test_an_existing_file_is_not_replaced_by_the_link(tmp_path):
    taken = tmp_path / "taken"
    taken.write_text("keep me")
    with pytest.raises(RuntimeError, match="cannot create the link"):
        VirtualDevice("arm", link=taken)
    assert taken.read_text() == "keep me"


def test_a_program_that_cannot_be_started_is_reported(tmp_path):
    with pytest.raises(VirtualDeviceError, match="cannot start .*missing"):
        VirtualDevice("arm", program=tmp_path / "missing")


def test_a_dangling_link_is_replaced(virtual_device, tmp_path):
    link = tmp_path / "stale"
    os.symlink(tmp_path / "gone", link)
    device = virtual_device("handle", link=link)
    assert os.readlink(link) == device.path


@pytest.mark.parametrize("stop", ["stdin", signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_the_device_stops_cleanly(virtual_device, tmp_path, stop):
    link = tmp_path / "port"
    device = virtual_device("handle", "--stream-hz", "50", link=link)
    with RawPort(device.path) as port:
        port.read(1, timeout=1.0)
        if stop == "stdin":
            device.process.stdin.close()
        else:
            device.send_signal(stop)
        assert device.wait() == 0
    assert not os.path.lexists(link)
    # Standard output carried the path and nothing else.
    assert device.process.stdout.read() == b""


def test_standard_input_that_is_not_a_pipe_does_not_stop_the_device():
    # Started from a shell in the background, standard input is /dev/null:
    # that says nothing about a parent going away. Started by hand, because
    # VirtualDevice always gives the device a pipe there.
    process = subprocess.Popen(
        [find_program(), "arm"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE
    )
    try:
        path = process.stdout.readline().decode().strip()
        time.sleep(0.3)
        assert process.poll() is None
        with RawPort(path) as port:
            assert exchange(port, bytes([POWER]), 2) == bytes([POWER, 1])
    finally:
        process.terminate()
        assert process.wait(5) == 0
        process.stdout.close()


def test_the_device_survives_hosts_closing_and_reopening(virtual_arm):
    for _ in range(3):
        with RawPort(virtual_arm.path) as port:
            assert exchange(port, bytes([POWER]), 2) == bytes([POWER, 1])
    # Two hosts at once, one leaving: the other still talks.
    with RawPort(virtual_arm.path) as first:
        with RawPort(virtual_arm.path):
            pass
        assert exchange(first, bytes([POWER]), 2) == bytes([POWER, 1])


def test_verbose_diagnostics_go_to_stderr_only(virtual_device):
    device = virtual_device("arm", "--verbose")
    with RawPort(device.path) as port:
        exchange(port, bytes([POWER]), 2)
    device.stop()
    assert "AC -> AC 01" in device.stderr()
    assert device.process.returncode == 0


@pytest.mark.parametrize(
    "arguments, message",
    [
        ([], "name the device"),
        (["arm", "--stream-hz", "10"], "applies to the handle only"),
        (["handle", "--status-form", "xml"], "frame, message"),
        (["arm", "--hand", "200"], "--hand needs STIFFNESS,DAMPING"),
    ],
)
def test_bad_command_lines_are_refused(arguments, message):
    # The whole table of refusals is checked on the parser; here, what the
    # process does with one: exit 2, say why on stderr, no path on stdout.
    result = subprocess.run([find_program(), *arguments], capture_output=True, timeout=10)
    assert result.returncode == 2
    assert result.stdout == b""
    assert message in result.stderr.decode()


def test_help_goes_to_stdout_and_exits_0():
    result = subprocess.run([find_program(), "--help"], capture_output=True, timeout=10)
    assert result.returncode == 0
    assert result.stdout.startswith(b"usage: torvi-virtual-device arm|handle")
