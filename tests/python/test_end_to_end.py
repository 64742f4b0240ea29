"""The Python classes against the virtual devices: whole exchanges with a
peer that behaves like the real arm and handle."""

import math
import time
import uuid

import pytest

import TorviHardwareAPI as T
from support import STATUS_KEYS, RecordingHandle
from torvi.virtual import virtual_arm


@pytest.fixture
def arm():
    """An Armillar on a virtual arm, opened as the examples open theirs."""
    with virtual_arm() as opened:
        yield opened


def test_arm_identifies_itself(arm):
    device_id, model, hardware, firmware, identifier = arm.device_wakeup()
    assert model == 4
    assert len(identifier) == 16 and any(identifier)
    assert arm.get_device_id() == uuid.UUID(bytes=bytes(identifier))
    info = arm.device_wakeup_dict()
    assert list(info) == [
        "device_id",
        "device_model_number",
        "hardware_version",
        "firmware_version",
        "device_id_ext",
    ]
    assert (info["device_id"], info["hardware_version"], info["firmware_version"]) == (
        device_id,
        hardware,
        firmware,
    )
    assert info["device_id_ext"] == uuid.UUID(bytes=bytes(identifier))


def test_arm_telemetry_has_its_shapes(arm):
    currents = arm.get_motor_currents()
    orientation = arm.get_device_orientation()
    assert len(currents) == 3 and len(orientation) == 4
    assert math.isclose(sum(q * q for q in orientation), 1.0, rel_tol=1e-3)
    assert arm.get_power_status() is True
    assert 0.0 < arm.get_temperature() < 100.0
    assert arm.get_firmware_version() != uuid.UUID(int=0)


@pytest.mark.parametrize(
    "command, request_vector",
    [
        ("end_effector_force", [1, 2, 3]),
        ("joint_torques", [0.01, -0.01, 0.0]),
        ("end_effector_position", [0.0, 0.02, 0.2]),
        ("joint_angles", [0.0, -30.0, 30.0]),
    ],
)
def test_every_command_is_answered_with_a_state(arm, command, request_vector):
    position, velocity = getattr(arm, command)(request_vector)
    assert len(position) == 3 and len(velocity) == 3
    assert all(math.isfinite(v) for v in position + velocity)


def test_a_still_arm_agrees_with_the_host_model(arm):
    # Hold the arm at a pose until it has settled, then compare.
    settle_until = time.monotonic() + 0.3
    while time.monotonic() < settle_until:
        arm.joint_angles([10.0, -45.0, 60.0])
    onboard, _ = arm.get_end_effector_position(True)
    host, velocity = arm.get_end_effector_position(False)
    assert velocity == [0.0, 0.0, 0.0]
    assert host == pytest.approx(onboard, abs=1e-4)


def test_the_split_requests_read_the_same_replies(arm):
    arm.RequestCurrent()
    assert len(arm.ReceiveCurrent([9.0, 9.0, 9.0, 7.0])) == 4
    arm.SendAngle([0.0, -30.0, 30.0])
    with pytest.warns(DeprecationWarning):
        joint_position, joint_velocity = arm.ReceiveJointState()
    assert len(joint_position) == 3 and len(joint_velocity) == 3
    with pytest.warns(DeprecationWarning):
        arm.SendForce(0.0, 0.0, 0.0)
    with pytest.warns(DeprecationWarning):
        position, velocity = arm.ReceiveState()
    assert len(position) == 3


def test_handle_events_reach_a_subclass(virtual_device):
    device = virtual_device("handle", "--stream-hz", "200")
    handle = RecordingHandle(T.SerialStream(device.path))
    handle.SendHandleState(0x0221, 1, 0x7F)
    handle.SendDeviceWakeup()
    while len([kind for kind, _ in handle.events if kind == "status"]) < 3:
        assert handle.Receive() > 0
    assert "info" in [kind for kind, _ in handle.events]
    _, (device_id, quaternion, error_flag, hall, length, user_data) = handle.events[-1]
    assert len(quaternion) == 4
    assert math.isclose(sum(q * q for q in quaternion), 1.0, rel_tol=1e-3)
    assert length == len(user_data)
    assert user_data == [0x7F]


@pytest.mark.parametrize("form", ["frame", "message"])
def test_status_requests_in_either_form(virtual_device, form):
    device = virtual_device("handle", "--status-form", form)
    handle = RecordingHandle(T.SerialStream(device.path))
    handle.RequestStatus()
    if form == "frame":
        status = handle.GetQuillonetStatus()
        assert list(status) == STATUS_KEYS
        assert status["error_flag"] not in (1, 2)
        assert 3.0 <= status["battery_level"] <= 4.275
        assert math.isclose(sum(q * q for q in status["quaternion"]), 1.0, rel_tol=1e-2)
    else:
        assert handle.Receive() >= 21
        assert handle.events[-1][0] == "status"
