"""The native haptic loop: the forces it puts on the wire for each effect,
its life cycle, its hold on the arm, and how it ends when the arm fails."""

import gc
import os
import subprocess
import sys
import threading
import time

import pytest

import TorviHardwareAPI as T
from support import ZERO, Spinner, turns_during, wait_until
from TorviHardwareAPI.haptics import (
    ConstantForce,
    Damper,
    Fence,
    HapticLoop,
    Line,
    MoveTo,
    Plane,
    Sphere,
    Spring,
)

# (effects, external force, max_force, position, velocity, expected force)
CASES = {
    "spring": ([Spring(anchor=(1, 2, 3), stiffness=10)], ZERO, 100, ZERO, ZERO, (10, 20, 30)),
    "plane-spring-and-damping": (
        [Plane(point=(0, 0, 0.5), normal=(0, 0, 2), stiffness=100, damping=4)],
        ZERO,
        100,
        (7, 7, 0.25),
        (5, 5, -2),
        (0, 0, 33),
    ),
    "plane-never-pulls": (
        [Plane(point=(0, 0, 0.5), normal=(0, 0, 1), stiffness=100, damping=4)],
        ZERO,
        100,
        (0, 0, 0.25),
        (0, 0, 10),
        ZERO,
    ),
    "ball": (
        [Sphere(center=ZERO, radius=1, stiffness=8)],
        ZERO,
        100,
        (0, 0.25, 0),
        ZERO,
        (0, 6, 0),
    ),
    "bowl": (
        [Sphere(center=ZERO, radius=1, stiffness=8, inside=True)],
        ZERO,
        100,
        (3, 0, 0),
        ZERO,
        (-16, 0, 0),
    ),
    "damper": ([Damper(coefficient=0.5)], ZERO, 100, ZERO, (2, -4, 6), (-1, 2, -3)),
    "sum-with-external-force": (
        [Spring(anchor=(1, 0, 0), stiffness=2), ConstantForce(force=(0, 1, 0))],
        (0, 0, 3),
        100,
        ZERO,
        ZERO,
        (2, 1, 3),
    ),
    "clamp-keeps-direction": ([ConstantForce(force=(6, 0, 8))], ZERO, 5, ZERO, ZERO, (3, 0, 4)),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_forces_on_the_wire(arm, responder, case):
    effects, external, max_force, position, velocity, expected = case
    device = responder(position=position, velocity=velocity)
    loop = HapticLoop(arm, max_force=max_force)
    for effect in effects:
        assert loop.add(effect) is effect
    loop.set_force(external)
    with loop:
        device.wait_for(3)
    assert not loop.running and loop.error is None
    assert device.forces[0] == ZERO, "the first cycle has no reply to work from"
    assert device.forces[1] == pytest.approx(expected, abs=1e-4)
    assert device.forces[-1] == ZERO, "stop leaves the arm without a force"
    assert device.stray == b""
    state = loop.state()
    assert state.position == pytest.approx(position) and state.velocity == pytest.approx(velocity)


def test_changes_while_running_reach_the_next_cycles(arm, responder):
    device = responder(position=(0, 0, 0.25))
    with HapticLoop(arm, max_force=1000) as loop:
        wall = loop.add(Plane(point=(0, 0, 0.5), normal=(0, 0, 1), stiffness=100, damping=0))
        device.wait_for(len(device.forces) + 3)
        wall.stiffness = 200.0
        device.wait_for(len(device.forces) + 3)
        listed = loop.effects
        assert listed == [wall] and listed[0] is wall
        loop.remove(wall, fade_s=0.05)
        assert loop.effects == [wall], "an effect fading out is still in the loop"
        wait_until(lambda: loop.effects == [], what="the faded-out wall leaving the list")
        assert listed == [wall], "the list is a copy"
        device.wait_for(len(device.forces) + 3)
    seen = [force[2] for force in device.forces]
    assert seen.index(pytest.approx(25.0)) < seen.index(pytest.approx(50.0))
    assert seen[-2] == 0.0 and seen[-1] == 0.0
    with pytest.raises(ValueError):
        loop.remove(wall)


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda: Plane(point=ZERO, normal=ZERO, stiffness=1, damping=0), ValueError),
        (lambda: Spring(anchor=(0, 0), stiffness=1), ValueError),
        (lambda: Spring(anchor=(0, 0, float("nan")), stiffness=1), ValueError),
        (lambda: Spring(anchor="abc", stiffness=1), TypeError),
        (lambda: Spring(anchor=(0, "x", 0), stiffness=1), TypeError),
        (lambda: Sphere(center=ZERO, radius=-1, stiffness=1), ValueError),
        (lambda: Damper(coefficient=float("inf")), ValueError),
        (lambda: MoveTo(target=ZERO, stiffness=1, damping=0, max_speed=0), ValueError),
        (lambda: MoveTo(target=ZERO, stiffness=1, damping=-1, max_speed=1), ValueError),
        (lambda: MoveTo(ZERO, 1, 0, 1, tolerance=float("nan")), ValueError),
        (lambda: Line(start=(1, 2, 3), end=(1, 2, 3), stiffness=1, damping=0), ValueError),
        (lambda: Fence(minimum=(0, 1, 0), maximum=(1, 0, 1), stiffness=1, damping=0), ValueError),
        (lambda: Fence(minimum=ZERO, maximum=(1, 1, 1), stiffness=-1, damping=0), ValueError),
    ],
)
def test_bad_parameters_are_refused(make, error):
    with pytest.raises(error):
        make()


def test_a_refused_change_leaves_the_effect_and_loop_as_they_were(arm):
    wall = Plane(point=[0, 0, 0.2], normal=(0, 0, 1), stiffness=800, damping=2)
    with pytest.raises(ValueError):
        wall.stiffness = -1.0
    with pytest.raises(ValueError):
        wall.normal = (0, 0, 0)
    assert (
        repr(wall)
        == "Plane(point=(0.0, 0.0, 0.2), normal=(0.0, 0.0, 1.0), stiffness=800.0, damping=2.0)"
    )
    move = MoveTo(target=(0, 0, 0.2), stiffness=100, damping=1, max_speed=0.05)
    with pytest.raises(ValueError):
        move.max_speed = 0.0
    assert move.max_speed == 0.05
    for options in (
        {"rate_hz": 0},
        {"rate_hz": -5.0},
        {"max_force": 0},
        {"soft_start_s": -1.0},
        {"soft_start_s": float("inf")},
        {"max_force_rate": 0.0},
    ):
        with pytest.raises(ValueError):
            HapticLoop(arm, **options)
    loop = HapticLoop(arm)
    for change in (
        lambda: loop.add(move, fade_s=-1.0),
        lambda: loop.remove(move, fade_s=float("nan")),
        lambda: setattr(loop, "max_force_rate", float("nan")),
        lambda: loop.wait_arrived(move, timeout=-1.0),
    ):
        with pytest.raises(ValueError):
            change()


def test_life_cycle(arm, responder):
    device = responder()
    loop = HapticLoop(arm=arm, rate_hz=500.0, max_force=5.0)
    loop.stop()  # before start: nothing to do
    assert not loop.running
    loop.start()
    loop.start()  # already running: nothing changes
    device.wait_for(5)
    stats = loop.stats()
    assert loop.running and stats.cycles >= 4 and stats.failures == 0
    loop.stop()
    loop.stop()
    sent = device.settled_count()
    time.sleep(0.05)
    assert len(device.forces) == sent, "nothing is sent after stop"
    # A running loop dropped by the program stops and gives the arm back.
    loop = HapticLoop(arm)
    loop.start()
    device.wait_for(sent + 3)
    del loop
    gc.collect()
    count = device.settled_count()
    time.sleep(0.05)
    assert len(device.forces) == count and device.forces[-1] == ZERO
    with HapticLoop(arm):  # the arm is free again
        device.wait_for(count + 2)


def test_a_dropped_running_loop_ends_on_zero_force_while_python_threads_run(arm, responder):
    # The arm is answered from a Python thread and a second one counts its
    # turns: dropping the loop must let both run, so that the last exchange
    # is answered and the arm is left with zero force, every time.
    # (The lock table checks a single drop more strictly, with retries for a
    # loaded machine; here the counter must turn during the drops at all.)
    device = responder()
    turns = 0
    with Spinner() as spinner:
        for _ in range(20):
            held = [HapticLoop(arm)]
            held[0].add(ConstantForce(force=(1, 2, 3)))
            held[0].start()
            device.wait_for(len(device.forces) + 3)
            turns += turns_during(held.clear, spinner)
            sent = device.settled_count()
            assert device.forces[sent - 2 : sent] == [(1, 2, 3), ZERO]
    assert turns > 0, "the drops held the interpreter lock"


def test_the_loop_owns_the_arm_while_it_runs(virtual_arm):
    arm = T.Armillar(T.SerialStream(virtual_arm.path))
    with HapticLoop(arm) as loop:
        for call in (
            arm.get_power_status,
            lambda: arm.end_effector_force([0, 0, 1]),
            arm.device_wakeup,
            lambda: arm.SendForce(1, 2, 3),
        ):
            with pytest.raises(RuntimeError, match="driven by a running HapticLoop"):
                call()
        with pytest.raises(RuntimeError, match="already driven"):
            HapticLoop(arm).start()
        time.sleep(0.1)
        # Had a refused call written anything, the replies would be out of step.
        assert loop.running and loop.error is None
    assert arm.get_power_status() is True


def test_a_device_that_hangs_up_stops_the_loop_with_a_reason(virtual_device):
    device = virtual_device("arm", "--hangup-after", "50")
    arm = T.Armillar(T.SerialStream(device.path))
    loop = HapticLoop(arm)
    loop.start()
    deadline = time.monotonic() + 5.0
    while loop.running and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not loop.running
    assert loop.stats().failures == 1 and loop.stats().cycles == 50
    assert "force request" in loop.error
    loop.stop()


def test_stop_returns_at_once_when_the_arm_falls_silent_mid_wait(arm, responder):
    device = responder(answers=20)
    loop = HapticLoop(arm)
    loop.start()
    assert device.silent.wait(5.0)
    started = time.monotonic()
    loop.stop()
    took = time.monotonic() - started
    assert took < 0.5
    assert not loop.running and loop.error is None


def test_a_busy_python_thread_does_not_stall_the_loop(virtual_arm):
    arm = T.Armillar(T.SerialStream(virtual_arm.path))
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            sum(range(100))

    thread = threading.Thread(target=busy)
    thread.start()
    try:
        with HapticLoop(arm) as loop:
            time.sleep(1.0)
        cycles = loop.stats().cycles
    finally:
        stop.set()
        thread.join()
    # A Python loop gets about a hundred and ninety exchanges in this second.
    assert cycles >= 1000


EXIT_PROGRAM = """
import sys, time
import TorviHardwareAPI as T
from TorviHardwareAPI.haptics import ConstantForce, HapticLoop
arm = T.Armillar(T.SerialStream(sys.argv[1]))
loop = HapticLoop(arm)
loop.add(ConstantForce(force=(1, 2, 3)))
loop.start()
time.sleep(0.2)
print(loop.running, flush=True)
"""


def test_the_interpreter_exiting_stops_a_running_loop(pty, responder):
    device = responder()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.run(
        [sys.executable, "-c", EXIT_PROGRAM, pty.path], env=env, capture_output=True, timeout=20
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout == b"True\n"
    assert device.forces[-2] == (1.0, 2.0, 3.0) and device.forces[-1] == ZERO
