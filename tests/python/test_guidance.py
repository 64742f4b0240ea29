"""Guidance and gentle forces: MoveTo's travelling anchor and its arrival,
fades, the soft start and the rate limit, checked through the record and
on the wire."""

import time

import numpy as np
import pytest

import TorviHardwareAPI as T
from support import ZERO, wait_until
from TorviHardwareAPI.haptics import ConstantForce, HapticLoop, MoveTo

RATE_HZ = 1000.0


def cycle_starts(samples):
    """When each recorded cycle started, in seconds from the first one."""
    periods = np.nan_to_num(samples.period_us.astype(np.float64), nan=0.0)
    return np.cumsum(periods) * 1e-6


def assert_matches_the_wire(samples, device):
    assert samples.dropped == 0
    assert [tuple(f) for f in samples.force.tolist()] == device.forces[: len(samples)]


def test_the_anchor_travels_at_max_speed_and_turns_to_a_new_target(arm, responder):
    # The hand is held at the origin and the spring has no damping, so each
    # cycle's force is stiffness times the anchor.
    stiffness, speed = 1000.0, 0.05
    first, second = np.array([0.01, 0.0, 0.0]), np.array([0.0, 0.01, 0.0])
    device = responder()
    move = MoveTo(target=first, stiffness=stiffness, damping=0.0, max_speed=speed)
    loop = HapticLoop(arm, rate_hz=RATE_HZ, max_force=1e9)
    loop.add(move)
    with loop:
        # Counted in cycles, not slept: a loaded machine may run few at first.
        wait_until(lambda: loop.stats().cycles > 40, what="40 cycles toward the first target")
        move.target = second
        wait_until(lambda: move.anchor == pytest.approx(tuple(second), abs=1e-12), 10.0, "on it")
        time.sleep(0.02)
    s = loop.samples()
    assert_matches_the_wire(s, device)
    anchors, t = s.requested[1:-1].astype(np.float64) / stiffness, cycle_starts(s)[1:-1]
    turned = int(np.argmax(anchors[:, 1] > 0))
    assert turned > 20, "the anchor was meant to be on its way when the target changed"
    # Out from the hand's position along x, max_speed * time from its first cycle.
    np.testing.assert_allclose(anchors[:turned, 0], speed * (t[:turned] - t[0]), atol=1e-7)
    np.testing.assert_allclose(anchors[:turned, 1:], 0.0, atol=1e-9)
    # Then straight from where it was to the new target, as fast, and onto it.
    turn = anchors[turned - 1]
    heading = (second - turn) / np.linalg.norm(second - turn)
    travelled = np.minimum(speed * (t[turned:] - t[turned - 1]), np.linalg.norm(second - turn))
    np.testing.assert_allclose(anchors[turned:], turn + np.outer(travelled, heading), atol=1e-7)
    assert travelled[-1] == np.linalg.norm(second - turn), "the run was meant to reach the target"
    assert move.anchor == pytest.approx(tuple(second), abs=1e-9)


def test_arrived_needs_the_anchor_on_the_target_and_the_hand_near_it(arm, responder):
    target = (0.01, 0.0, 0.0)
    hand = [target]  # where the scripted arm says the hand is
    responder(positions=lambda n: hand[0])
    move = MoveTo(target=target, stiffness=100.0, damping=1.0, max_speed=0.01, tolerance=0.001)
    loop = HapticLoop(arm, rate_hz=RATE_HZ, max_force=1e9)
    loop.add(move)
    with loop:
        assert loop.wait_arrived(move, 2.0), "the anchor starts at the hand, on the target"
        move.target = (0.02, 0.0, 0.0)
        assert not move.arrived, "arrived never answers for a target set since"
        time.sleep(0.2)
        # Back to the first target, slowly: the hand is on it, the anchor not.
        move.target = target
        time.sleep(0.02)
        assert not move.arrived and move.anchor[0] > 0.0105
        move.max_speed = 10.0
        assert loop.wait_arrived(move, 2.0) and move.anchor == pytest.approx(target)
        # Held 1.5 mm away (beyond the tolerance), the hand never arrives.
        hand[0] = (0.0115, 0.0, 0.0)
        time.sleep(0.02)
        started = time.monotonic()
        assert loop.wait_arrived(move, timeout=0.3) is False
        took = time.monotonic() - started
        assert 0.3 <= took < 0.6 and not move.arrived
        hand[0] = (0.0109, 0.0, 0.0)
        assert loop.wait_arrived(move, 2.0)
    assert loop.wait_arrived(move, 5.0), "a stopped loop answers with the last cycle's at once"
    move.target = ZERO
    started = time.monotonic()
    assert loop.wait_arrived(move, 5.0) is False and time.monotonic() - started < 0.1


def test_wait_arrived_on_the_virtual_arm(virtual_arm):
    arm = T.Armillar(T.SerialStream(virtual_arm.path))
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    target = (start[0] + 0.01, start[1], start[2] - 0.005)
    move = MoveTo(target=target, stiffness=300.0, damping=5.0, max_speed=0.05)
    with HapticLoop(arm, rate_hz=RATE_HZ, max_force=5.0) as loop:
        with pytest.raises(ValueError, match="not in this loop"):
            loop.wait_arrived(move, 1.0)
        loop.add(move)
        assert loop.wait_arrived(move, timeout=5.0)
        position = loop.state().position
    assert np.linalg.norm(np.subtract(position, target)) <= 0.0011


FADE_S = 0.1
PUSH = (0.0, 0.0, 2.0)


def fade_in(loop, push):
    with loop:
        time.sleep(0.02)
        loop.add(push, fade_s=FADE_S)
        time.sleep(FADE_S + 0.05)
    return 0.0, 1.0


def fade_out(loop, push):
    loop.add(push)
    with loop:
        time.sleep(0.02)
        loop.remove(push, fade_s=FADE_S)
        time.sleep(FADE_S + 0.05)
        with pytest.raises(ValueError, match="not in this loop"):
            loop.remove(push)  # gone once faded out
    return 1.0, 0.0


def soft_start(loop, push):
    loop.soft_start_s = FADE_S
    loop.add(push)
    with loop:
        time.sleep(FADE_S + 0.05)
    return 0.0, 1.0


@pytest.mark.parametrize("run", [fade_in, fade_out, soft_start])
def test_fades_and_the_soft_start_ramp_linearly_over_the_time_asked(arm, responder, run):
    device = responder()
    loop = HapticLoop(arm, rate_hz=RATE_HZ, max_force=100.0)
    low, high = run(loop, ConstantForce(force=PUSH))
    s = loop.samples()
    assert_matches_the_wire(s, device)
    scale, t = s.requested[:-1, 2].astype(np.float64) / PUSH[2], cycle_starts(s)[:-1]
    np.testing.assert_array_equal(s.requested[:-1, :2], 0.0)
    # The ramp begins at its starting value: a fade at the first cycle that
    # renders it (the last one at that value after the loop's first, which
    # sends nothing), the soft start at the loop's first.
    began = 0 if run is soft_start else int(np.flatnonzero(scale[1:] != low)[0])
    assert scale[began] == low and (scale[1:began] == low).all()
    progress = np.clip((t[began:] - t[began]) / FADE_S, 0.0, 1.0)
    np.testing.assert_allclose(scale[began:], low + (high - low) * progress, atol=1e-3)
    # Enough cycles inside the ramp to see its shape, even where the loop runs
    # below its rate (the sanitizers slow the Python device down to half).
    assert np.count_nonzero((progress > 0) & (progress < 1)) >= 10
    assert progress[-1] == 1.0


def test_max_force_rate_turns_steps_into_ramps_of_that_slope(arm, responder):
    rate = 200.0  # force per second: 0.2 per cycle at 1 kHz
    device = responder()
    push = ConstantForce(force=(3.0, 0.0, 4.0))
    loop = HapticLoop(arm, rate_hz=RATE_HZ, max_force=10.0, max_force_rate=rate)
    assert loop.max_force_rate == rate
    loop.add(push)
    with loop:
        # 5 to reach from the loop's first zero; then 40 cycles or more on it.
        wait_until(lambda: loop.stats().cycles > 60, what="60 cycles of the first push")
        push.force = (0.0, 4.0, -3.0)  # a step of about 7.1
        changed_at = loop.stats().cycles
        wait_until(lambda: loop.stats().cycles > changed_at + 100, what="100 cycles of the step")
    s = loop.samples()
    assert_matches_the_wire(s, device)
    sent, asked = s.force[:-1].astype(np.float64), s.requested[:-1].astype(np.float64)
    steps = np.diff(cycle_starts(s)[:-1])
    change, wanted = np.diff(sent, axis=0), asked[1:] - sent[:-1]
    ramping = np.linalg.norm(wanted, axis=1) > rate * steps + 1e-4
    changed = int(np.flatnonzero((asked[1:] != (3, 0, 4)).any(axis=1))[0])
    ramps = np.count_nonzero(ramping[:changed]), np.count_nonzero(ramping[changed:])
    assert min(ramps) >= 5, f"both steps were meant to ramp: {ramps}"
    # Each change while ramping: rate * the cycle's time, toward what was asked.
    np.testing.assert_allclose(
        np.linalg.norm(change[ramping], axis=1), rate * steps[ramping], rtol=1e-3
    )
    heading = wanted[ramping] / np.linalg.norm(wanted[ramping], axis=1, keepdims=True)
    np.testing.assert_allclose(change[ramping], heading * rate * steps[ramping, None], atol=1e-4)
    # The record keeps the demand beside what was sent.
    np.testing.assert_array_equal(asked[1:40], [(3, 0, 4)] * 39)
    np.testing.assert_allclose(sent[-1], (0, 4, -3), atol=1e-5)
