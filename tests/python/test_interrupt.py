"""Ctrl-C during a device wait, or a wait for the haptic loop: a real SIGINT
sent to a child process that is blocked in a call raises KeyboardInterrupt
there within half a second, and the next call on a live device still
works."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

from support import namespace_unavailable, start_interruptible

# How long after the signal the exception may come, and how long the child
# waits in the call before the signal (the device waits last 5 to 6 s).
INTERRUPT_LIMIT = 0.5
BLOCKED_FOR = 0.5

# Runs in the child (started with SIGINT at its default): optionally makes
# /dev a directory of links (as the detection tests do), opens `silent` and
# `live` as the kind's class, says "ready", makes the blocking call and, once
# interrupted, the working call.
# Prints one JSON line: the monotonic time of the interruption (None when
# the call returned) and what the working call gave.
CHILD = r"""
import json, os, subprocess, sys, tempfile, time
kind, silent_path, live_path, links, blocking, working = json.loads(sys.argv[1])
if links:
    fake = tempfile.mkdtemp(prefix="torvi-dev-")
    os.mkdir(os.path.join(fake, "pts"))
    subprocess.run(["mount", "--rbind", "/dev/pts", os.path.join(fake, "pts")], check=True)
    for name, target in links.items():
        os.symlink(target, os.path.join(fake, name))
    subprocess.run(["mount", "--rbind", fake, "/dev"], check=True)
import TorviHardwareAPI as T
make = {"arm": T.Armillar, "handle": T.Handle}[kind]
silent, live = make(T.SerialStream(silent_path)), make(T.SerialStream(live_path))
names = {"T": T, "silent": silent, "live": live}
print("ready", flush=True)
try:
    eval(blocking, names)
    interrupted = None
except KeyboardInterrupt:
    interrupted = time.monotonic()
print(json.dumps([interrupted, eval(working, names)]), flush=True)
"""

# (device kind, blocking call, working call that must come out true,
# detection in a private /dev holding the silent device as an arm's port)
CASES = [
    pytest.param(
        "arm",
        "silent.get_firmware_version()",
        "live.get_firmware_version().int != 0",
        False,
        id="arm query keeping the lock",
    ),
    pytest.param(
        "arm",
        "silent.end_effector_force([1.0, 2.0, 3.0])",
        "live.end_effector_force([0.0, 0.0, 0.0]) is not None and live.get_device_id().int != 0",
        False,
        id="arm exchange releasing the lock",
    ),
    pytest.param(
        "handle",
        "silent.Receive()",
        "live.SendDeviceWakeup() or live.Receive() > 0",
        False,
        id="handle receive",
    ),
    pytest.param(
        "handle",
        "silent.GetQuillonetStatus()",
        "live.RequestStatus() or live.GetQuillonetStatus()['device_id'] != 0",
        False,
        id="handle status reader",
    ),
    pytest.param(
        "arm",
        # Never arrives: the target is out of reach and the spring has no force.
        "(loop := T.haptics.HapticLoop(live)).add(move := T.haptics.MoveTo((1, 1, 1), 0, 0, 1))"
        " and loop.start() or loop.wait_arrived(move)",
        "loop.stop() or live.get_device_id().int != 0",
        False,
        id="haptic loop's wait for arrival",
    ),
    pytest.param(
        "arm",
        "T.detect_armillars()",
        "live.get_device_id().int != 0",
        True,
        id="detection",
    ),
]


@pytest.mark.parametrize("kind, blocking, working, in_private_dev", CASES)
def test_sigint_interrupts_a_wait_and_the_next_call_works(
    virtual_device, kind, blocking, working, in_private_dev
):
    if in_private_dev and namespace_unavailable():
        pytest.skip(namespace_unavailable())
    silent = virtual_device(kind, "--silent")
    live = virtual_device(kind)
    links = {"ttyACM0": silent.path} if in_private_dev else {}
    command = [sys.executable, "-c", CHILD]
    if in_private_dev:
        command = ["unshare", "--mount", "--propagation", "private", *command]
    setup = json.dumps([kind, silent.path, live.path, links, blocking, working])
    child = start_interruptible(
        [*command, setup], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline().strip() == "ready", child.stderr.read()
        time.sleep(BLOCKED_FOR)
        signalled = time.monotonic()
        os.kill(child.pid, signal.SIGINT)
        output, errors = child.communicate(timeout=30)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, errors
    interrupted, worked = json.loads(output.strip().splitlines()[-1])
    assert interrupted is not None, "the call returned instead of raising KeyboardInterrupt"
    delay = interrupted - signalled
    print(f"{blocking}: KeyboardInterrupt {delay * 1000:.1f} ms after SIGINT")
    assert 0 <= delay < INTERRUPT_LIMIT
    assert worked is True
