"""Faulty devices through the Python module, using the virtual devices'
fault options: noise, foreign codes, bad frames, floods, late answers, short
replies and hang-ups. Each call comes back with its fallback within its
bounded time, reports on standard error what the library reports, and the
next call on a sound device works. The C++ suite runs every fault with short
time-outs; here the few that must wait out the 5 to 6 s time-out are marked
slow."""

import time

import pytest

import TorviHardwareAPI as T
from support import BAD_FRAME_STATUS, STATUS_KEYS, RecordingHandle, floats

# A wait that expires ends after more than 5 and at most 6 whole seconds;
# the margin is for a loaded machine.
WAIT_LIMIT = 6.0 + 1.5
INFO_LENGTH = 6


def timed(call):
    start = time.monotonic()
    result = call()
    return result, time.monotonic() - start


def sound_handle_answers(virtual_device):
    device = virtual_device("handle")
    stream = T.SerialStream(device.path)
    handle = RecordingHandle(stream)
    handle.SendDeviceWakeup()
    assert handle.Receive() == INFO_LENGTH
    assert [name for name, _ in handle.events] == ["info"]
    handle.RequestStatus()
    status = handle.GetQuillonetStatus()
    assert status["battery_level"] >= 3.0, status


def sound_arm_answers(virtual_device):
    device = virtual_device("arm")
    arm = T.Armillar(T.SerialStream(device.path))
    assert arm.get_power_status() is True
    position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    assert position[2] > 0.0, "the end effector sits above the base"


# ---- Faults that resolve at once ---------------------------------------------


@pytest.mark.parametrize("fault", ["--wrong-code", "--garbage"])
def test_handle_reply_without_a_known_code_is_skipped_byte_by_byte(virtual_device, capfd, fault):
    device = virtual_device("handle", fault)
    handle = RecordingHandle(T.SerialStream(device.path))
    handle.SendDeviceWakeup()
    # The seven bytes of the info response, none of them a reply code.
    results, took = timed(lambda: [handle.Receive() for _ in range(1 + INFO_LENGTH)])
    assert results == [-1] * (1 + INFO_LENGTH)
    assert handle.events == []
    assert took < 1.0
    assert capfd.readouterr().err == ""
    sound_handle_answers(virtual_device)


def test_handle_bad_frame_reads_as_error_flag_one_at_once(virtual_device, capfd):
    device = virtual_device("handle", "--bad-frame")
    handle = T.Handle(T.SerialStream(device.path))
    handle.RequestStatus()
    status, took = timed(handle.GetQuillonetStatus)
    assert status == BAD_FRAME_STATUS
    assert took < 1.0
    assert capfd.readouterr().err == ""
    sound_handle_answers(virtual_device)


def test_handle_flood_is_read_message_by_message(virtual_device):
    device = virtual_device("handle", "--stream-hz", "max")
    handle = RecordingHandle(T.SerialStream(device.path))
    counts, took = timed(lambda: [handle.Receive() for _ in range(1000)])
    assert all(count >= 21 for count in counts)
    assert len(handle.events) == 1000
    assert {name for name, _ in handle.events} == {"status"}
    # The status reader takes a message's bytes for a frame: whatever it
    # makes of them, it answers at once.
    status, status_took = timed(handle.GetQuillonetStatus)
    assert set(status) == set(STATUS_KEYS)
    assert took < 20.0 and status_took < 1.0
    sound_handle_answers(virtual_device)


def test_arm_answering_late_within_the_timeout_is_waited_for(virtual_device, capfd):
    device = virtual_device("arm", "--delay-ms", "400")
    arm = T.Armillar(T.SerialStream(device.path))
    temperature, took = timed(arm.get_temperature)
    assert temperature > 0.0
    assert 0.35 < took < 5.0
    assert capfd.readouterr().err == ""


def test_arm_noise_followed_by_a_drains_worth_resolves_at_once(arm, pty, capfd):
    # Noise of 1024 bytes after a foreign code is drained in one read; the
    # reply after it is the next call's.
    noise = bytes(0x80 | (i % 0x40) for i in range(1024))
    pty.write(b"\xee" + noise + b"\xaa" + floats(36.5))
    temperatures, took = timed(lambda: (arm.get_temperature(), arm.get_temperature()))
    assert temperatures == (0.0, 36.5)
    assert took < 1.0
    assert capfd.readouterr().err == ""
    assert pty.drain() == b"\xaa\xaa"


# ---- Faults that wait out a time-out -----------------------------------------


@pytest.mark.slow
@pytest.mark.parametrize(
    "fault, call, fallback",
    [
        ("--wrong-code", lambda arm: arm.get_temperature(), 0.0),
        (
            "--short-reply",
            lambda arm: arm.end_effector_force([1.0, 2.0, 3.0]),
            ([0.0] * 3, [0.0] * 3),
        ),
    ],
    ids=["wrong-code", "short-reply"],
)
def test_arm_fault_gives_the_fallback_after_one_timeout(
    virtual_device, capfd, fault, call, fallback
):
    device = virtual_device("arm", fault)
    arm = T.Armillar(T.SerialStream(device.path))
    result, took = timed(lambda: call(arm))
    assert result == fallback
    assert 5.0 < took < WAIT_LIMIT
    err = capfd.readouterr().err
    assert err.startswith("[err] Library/src/Device:87> timeout waiting for header code: [")
    assert err.count("\n") == 1
    sound_arm_answers(virtual_device)


@pytest.mark.slow
def test_handle_hanging_up_between_calls(virtual_device, capfd):
    device = virtual_device("handle", "--hangup-after", "1")
    handle = RecordingHandle(T.SerialStream(device.path))
    handle.SendDeviceWakeup()
    assert handle.Receive() == INFO_LENGTH
    handle.SendDeviceWakeup()
    assert device.wait() == 0, "the device hangs up on the request after the last it serves"
    capfd.readouterr()

    handle.SendDeviceWakeup()
    result, took = timed(handle.Receive)
    assert result == -1
    assert 5.0 < took < WAIT_LIMIT
    lines = capfd.readouterr().err.splitlines()
    assert lines[0].startswith(
        "[err] Library/src/SerialStream:53> unable to write '1' bytes to stream: ["
    )
    assert lines[1].startswith("[err] Library/src/Device:58> timeout waiting for header code: [")
    assert len(lines) == 2
    sound_handle_answers(virtual_device)
