"""The end-effector position computed on the host, checked against an
independent derivation of the arm's linkage written here in double precision,
and the rules by which the shared model is adjusted and reset."""

import math
import struct

import pytest

import TorviHardwareAPI as T
from support import floats


def f32(value: float) -> float:
    """The single-precision number nearest to `value`, as the model stores it."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


# The model takes π as 3.141592 in single precision.
MODEL_PI = f32(3.141592)
DEFAULT_LENGTHS = (0.14, 0.14, 0.165, 0.165, 0.0765)
QUARTER_TURN_ABOUT_Y = (0.0, 0.7071, 0.0, 0.7071)
ZERO_TORQUE = b"\x1a" + floats(0, 0, 0)
TOLERANCE = 1e-5


def expected_position(
    raw,
    lengths=DEFAULT_LENGTHS,
    gears=(1.0, 1.0, 1.0),
    offsets=(0.0, 0.0, 0.0),
    orientation=QUARTER_TURN_ABOUT_Y,
):
    """Position of the end effector of the five-bar linkage for raw joint
    angles in degrees: the head turns the plane of the linkage; the two arm
    joints share one axis, and their distal links meet at the end effector."""
    inner_1, outer_1, inner_2, outer_2, extension = (f32(v) for v in lengths)
    extension = abs(extension)
    head = (gears[0] * raw[0] + 90) * MODEL_PI / 180 - offsets[0]
    inner = (-gears[1] * raw[1] - 180) * MODEL_PI / 180 - offsets[1]
    outer = (-gears[2] * raw[2] - 180) * MODEL_PI / 180 - offsets[2]

    # Elbows: the ends of the two proximal links.
    inner_elbow = (inner_1 * math.cos(inner), inner_1 * math.sin(inner))
    outer_elbow = (outer_1 * math.cos(outer), outer_1 * math.sin(outer))
    a = inner_elbow[0] - outer_elbow[0]
    b = inner_elbow[1] - outer_elbow[1]
    d = math.hypot(a, b)
    if d >= 1e-6:
        # Law of cosines in the triangle of the elbow gap and the distal links.
        cosine = (d * d + inner_2**2 - outer_2**2) / (2 * inner_2 * d)
        distal = MODEL_PI + math.atan2(b, a) - math.acos(cosine)
    else:
        distal = inner
    x = inner_elbow[0] + inner_2 * math.cos(distal)
    y = inner_elbow[1] + inner_2 * math.sin(distal)

    k = extension - 0.052
    u = (
        -(x + 0.18645),
        k * math.sin(head) - y * math.cos(head),
        k * math.cos(head) + y * math.sin(head),
    )

    qx, qy, qz, qw = (f32(v) for v in orientation)
    rotation = (
        (1 - 2 * (qy * qy + qz * qz), 2 * (qx * qy - qw * qz), 2 * (qx * qz + qw * qy)),
        (2 * (qx * qy + qw * qz), 1 - 2 * (qx * qx + qz * qz), 2 * (qy * qz - qw * qx)),
        (2 * (qx * qz - qw * qy), 2 * (qy * qz + qw * qx), 1 - 2 * (qx * qx + qy * qy)),
    )
    return [sum(row[i] * u[i] for i in range(3)) for row in rotation]


def offsets_for(raw, requested, gears=(1.0, 1.0, 1.0)):
    """The angle offsets that make the pose `raw` read as `requested`."""
    return (
        (raw[0] * gears[0] - requested[0]) * MODEL_PI / 180,
        -(raw[1] * gears[1] - requested[1]) * MODEL_PI / 180,
        -(raw[2] * gears[2] - requested[2]) * MODEL_PI / 180,
    )


def joint_state(raw, velocity=(0.0, 0.0, 0.0)) -> bytes:
    return b"\x1b" + floats(*raw, *velocity)


def host_position(arm, pty, raw):
    pty.write(joint_state(raw, velocity=(5.0, 6.0, 7.0)))
    position, velocity = arm.get_end_effector_position(False)
    assert pty.drain() == ZERO_TORQUE
    assert velocity == [0.0, 0.0, 0.0], "the host computes no velocity"
    return position


@pytest.fixture(autouse=True)
def clear_angle_offsets(pty, stream):
    """The angle offsets outlive every arm: put them back to zero."""
    yield
    pty.write(joint_state((0.0, 0.0, 0.0)))
    T.Armillar(stream).adjust_angles([0.0, 0.0, 0.0])
    pty.drain()


# The three poses with their positions to four decimals.
KNOWN_POSES = [
    ((0.0, 0.0, 0.0), (0.0000, 0.0245, -0.1185)),
    ((0.0, -30.0, 30.0), (0.0000, 0.0245, 0.2146)),
    ((10.0, -45.0, 60.0), (-0.0090, 0.0233, 0.2229)),
]


@pytest.mark.parametrize("raw, rounded", KNOWN_POSES, ids=str)
def test_known_poses(arm, scripted, raw, rounded):
    device = scripted([(ZERO_TORQUE, joint_state(raw, (1.0, 2.0, 3.0)))])
    position, velocity = arm.get_end_effector_position(False)
    assert device.finish() == [ZERO_TORQUE]
    assert velocity == [0.0, 0.0, 0.0]
    assert position == pytest.approx(expected_position(raw), abs=TOLERANCE)
    assert position == pytest.approx(rounded, abs=1e-4)


def test_failed_reply_computes_from_zero_angles(arm, pty):
    pty.write(b"\x2b" + bytes(1024))
    position, velocity = arm.get_end_effector_position(False)
    assert position == pytest.approx(expected_position((0, 0, 0)), abs=TOLERANCE)
    assert velocity == [0.0, 0.0, 0.0]
    assert pty.queued_for_host() == 0


def test_adjusted_lengths_and_gear_ratios(arm, pty):
    lengths = (0.15, 0.13, 0.17, 0.16, -0.08)
    gears = (2.0, 0.5, 1.5)
    arm.adjust_lengths(*lengths)
    arm.adjust_gear_ratios(*gears)
    for raw in [(5.0, -40.0, 20.0), (-10.0, -60.0, 50.0)]:
        assert host_position(arm, pty, raw) == pytest.approx(
            expected_position(raw, lengths, gears), abs=TOLERANCE
        )


def test_adjust_lengths_by_keyword_and_defaults(arm, pty):
    arm.adjust_lengths(extension=-0.0765)
    raw = (0.0, -30.0, 30.0)
    assert host_position(arm, pty, raw) == pytest.approx(expected_position(raw), abs=TOLERANCE)
    arm.adjust_lengths(inner_arm_2=0.2, outer_arm_2=0.18)
    assert host_position(arm, pty, raw) == pytest.approx(
        expected_position(raw, (0.14, 0.14, 0.2, 0.18, 0.0765)), abs=TOLERANCE
    )


def test_links_that_cannot_close_give_nan(arm, pty):
    arm.adjust_lengths(0.14, 0.14, 0.01, 0.3, 0.0765)
    position = host_position(arm, pty, (0.0, -30.0, 30.0))
    assert all(math.isnan(value) for value in position)


def test_adjust_angles_makes_the_present_pose_read_as_requested(arm, pty):
    gears = (2.0, 0.5, 1.5)
    arm.adjust_gear_ratios(*gears)
    present = (12.0, -20.0, 35.0)
    requested = (1.0, 2.0, -3.0)
    pty.write(joint_state(present))
    assert arm.adjust_angles(list(requested)) is None
    assert pty.drain() == ZERO_TORQUE

    offsets = offsets_for(present, requested, gears)
    for raw in [present, (0.0, -30.0, 30.0)]:
        assert host_position(arm, pty, raw) == pytest.approx(
            expected_position(raw, gears=gears, offsets=offsets), abs=TOLERANCE
        )


def test_adjust_angles_to_zero_makes_the_present_pose_the_zero_pose(arm, pty):
    present = (8.0, -25.0, 40.0)
    pty.write(joint_state(present))
    arm.adjust_angles()
    pty.drain()
    assert host_position(arm, pty, present) == pytest.approx(
        expected_position((0.0, 0.0, 0.0)), abs=TOLERANCE
    )


def test_adjust_angles_after_a_failed_reply_uses_zero_angles(arm, pty):
    pty.write(b"\x2b" + bytes(1024))
    arm.adjust_angles([30.0, 0.0, -60.0])
    assert pty.drain() == ZERO_TORQUE
    offsets = offsets_for((0.0, 0.0, 0.0), (30.0, 0.0, -60.0))
    raw = (0.0, -30.0, 30.0)
    assert host_position(arm, pty, raw) == pytest.approx(
        expected_position(raw, offsets=offsets), abs=TOLERANCE
    )


def test_a_new_arm_resets_all_but_the_angle_offsets(arm, stream, pty):
    present = (5.0, -10.0, 15.0)
    pty.write(joint_state(present))
    arm.adjust_angles([0.0, 0.0, 0.0])
    pty.drain()
    offsets = offsets_for(present, (0.0, 0.0, 0.0))
    arm.adjust_lengths(0.2, 0.2, 0.2, 0.2, 0.1)
    arm.adjust_gear_ratios(2.0, 3.0, 4.0)
    raw = (0.0, -30.0, 30.0)
    assert host_position(arm, pty, raw) == pytest.approx(
        expected_position(raw, (0.2, 0.2, 0.2, 0.2, 0.1), (2.0, 3.0, 4.0), offsets), abs=TOLERANCE
    )

    second = T.Armillar(stream)
    assert pty.drain() == b"", "constructing an arm sent something"
    # Both arms share the one model.
    for either in (arm, second):
        assert host_position(either, pty, raw) == pytest.approx(
            expected_position(raw, offsets=offsets), abs=TOLERANCE
        )
