"""Passivity on the virtual arm held by a simulated hand: a wall that buzzes
without it settles with it, the observer's energy is the work of the forces
on the record, and a scene that needs no help is left bit for bit alone."""

import time

import numpy as np
import pytest

import TorviHardwareAPI as T
from TorviHardwareAPI import haptics as H

RATE_HZ = 500.0
HAND = (200.0, 5.0)  # N/m, N*s/m
ARM_DAMPING = 2.6  # N*s/m, the virtual arm's along z at home
PRESS = 0.005  # m: the hand's target below the wall's surface


def home_position(virtual_device):
    arm = T.Armillar(T.SerialStream(virtual_device("arm").path))
    return arm.end_effector_force([0, 0, 0])[0]


def pressed_wall(virtual_device, home, passivity):
    """The record of a hand pressing into a wall at the passive bound: about
    three times the stiffness this loop, whose force acts a cycle after the
    reply it was computed from, renders still without help."""
    target = ",".join(str(v) for v in (home[0], home[1], home[2] - PRESS))
    device = virtual_device("arm", "--hand", f"{HAND[0]},{HAND[1]}", "--hand-target", target)
    loop = H.HapticLoop(
        T.Armillar(T.SerialStream(device.path)), rate_hz=RATE_HZ, max_force=20.0, passivity=True
    )
    loop.passivity = passivity
    stiffness = H.passive_stiffness(RATE_HZ, ARM_DAMPING + HAND[1])
    loop.add(H.Plane(point=tuple(home), normal=(0, 0, 1), stiffness=stiffness, damping=0.0))
    with loop:
        time.sleep(2.2)
    return loop.samples(), loop.stats()


def test_a_wall_that_buzzes_settles_with_passivity(virtual_device):
    home = home_position(virtual_device)
    swings = {}
    for passivity in (False, True):
        samples, stats = pressed_wall(virtual_device, home, passivity)
        settled = (samples.time - samples.time[0] > 1.0) & (samples.time - samples.time[0] < 2.0)
        swings[passivity] = np.ptp(samples.position[settled, 2])
    assert swings[False] > 1e-3 and swings[True] < 1e-4, swings
    assert stats.passivity_cycles > 0 and stats.passivity_dissipated_j > 0
    # The energy is the work of each force sent over the motion that followed
    # it, as far as the replies have shown it when the cycle ran.
    position = samples.position.astype(np.float64)
    work = np.einsum("ij,ij->i", samples.force[:-1].astype(np.float64), np.diff(position, axis=0))
    observed = np.concatenate([[0.0, 0.0], np.cumsum(work)[:-1]])
    np.testing.assert_allclose(samples.energy[:-1], observed[:-1], atol=1e-6)


@pytest.mark.parametrize("effect", [None, H.Damper(3.0)], ids=["free space", "damper"])
def test_a_passive_scene_is_left_alone(virtual_device, effect):
    # A stroking hand moves the arm about; no force of the scene gives energy.
    device = virtual_device("arm", "--hand", "200,5", "--hand-stroke", "0.004,0.004,0.004,3")
    loop = H.HapticLoop(T.Armillar(T.SerialStream(device.path)), rate_hz=1000.0, passivity=True)
    if effect is not None:
        loop.add(effect)
    with loop:
        time.sleep(0.6)
    samples = loop.samples()
    assert (samples.passivity_damping == 0).all()
    assert (samples.energy <= 0).all()
    expected = -3.0 * samples.velocity[:-2] if effect is not None else 0.0 * samples.velocity[:-2]
    np.testing.assert_array_equal(samples.requested[1:-1], expected.astype(np.float32))


@pytest.mark.parametrize(
    "args",
    [(0.0, 4.0), (float("nan"), 4.0), (1000.0, -1.0), (1000.0, 4.0, float("inf"))],
)
def test_a_bound_that_cannot_be_computed_raises(args):
    with pytest.raises(ValueError):
        H.passive_stiffness(*args)


def test_records_and_switches(virtual_arm):
    arm = T.Armillar(T.SerialStream(virtual_arm.path))
    plain = H.HapticLoop(arm)
    assert plain.passivity is False and plain.samples().energy is None
    assert "energy" not in plain.samples().columns()
    plain.passivity = True
    assert plain.passivity is True
    del plain
    recorded = H.HapticLoop(arm, passivity=True)
    columns = recorded.samples().columns()
    assert list(columns)[-2:] == ["energy", "passivity_damping"]
