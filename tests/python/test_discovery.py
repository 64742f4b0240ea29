"""Detection end to end: the real detection functions run in a child process
whose /dev is a temporary directory (a private mount namespace) holding links
named like serial ports that point at virtual devices' pty slaves."""

import json
import os
import subprocess
import sys

import pytest

import TorviHardwareAPI as T
from support import namespace_unavailable

DETECTIONS = [
    "detect_armillars",
    "detect_handles",
    "detect_wired_handles",
    "detect_wireless_handles",
]

# Runs in the child: replaces /dev by the directory of links (keeping the real
# /dev/pts reachable inside it), then calls the detections and prints one JSON
# line: per call its outcome, its duration, and how often another Python
# thread ran meanwhile.
CHILD = r"""
import json, os, subprocess, sys, tempfile, threading, time
links, calls = json.loads(sys.argv[1])
fake = tempfile.mkdtemp(prefix="torvi-dev-")
os.mkdir(os.path.join(fake, "pts"))
subprocess.run(["mount", "--rbind", "/dev/pts", os.path.join(fake, "pts")], check=True)
for name, target in links:
    os.symlink(target, os.path.join(fake, name))
subprocess.run(["mount", "--rbind", fake, "/dev"], check=True)

import TorviHardwareAPI as T
ticks = 0
def tick():
    global ticks
    while True:
        ticks += 1
        time.sleep(0.01)
threading.Thread(target=tick, daemon=True).start()
results = []
for name in calls:
    before, start = ticks, time.monotonic()
    try:
        outcome = ["ok", getattr(T, name)()]
    except Exception as error:
        outcome = [type(error).__name__, str(error)]
    results.append(outcome + [time.monotonic() - start, ticks - before])
print(json.dumps(results))
"""


pytestmark = pytest.mark.skipif(
    namespace_unavailable() is not None, reason=str(namespace_unavailable())
)


class Outcome:
    def __init__(self, row):
        self.kind, self.value, self.seconds, self.ticks = row[0], row[1], row[2], row[3]


def detect(links, calls=DETECTIONS):
    """Runs `calls` in a private /dev holding `links` ({name: target}); returns
    {call: Outcome}."""
    argument = json.dumps([list(links.items()), calls])
    child = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", sys.executable, "-c", CHILD, argument],
        capture_output=True,
        text=True,
        timeout=120,
        env=os.environ,
    )
    assert child.returncode == 0, child.stderr
    rows = json.loads(child.stdout.strip().splitlines()[-1])
    return {call: Outcome(row) for call, row in zip(calls, rows)}


def test_each_device_is_found_by_its_own_detection(virtual_device):
    arm = virtual_device("arm")
    wired = virtual_device("handle")
    wireless = virtual_device("handle", "--wireless", "--wakeup-answer", "status")
    bystander = virtual_device("arm")
    found = detect(
        {
            "ttyACM0": arm.path,
            "ttyUSB0": wired.path,
            "rfcomm0": wireless.path,
            "ttyS0": bystander.path,
        }
    )
    assert found["detect_armillars"].value == [arm.path]
    assert found["detect_wired_handles"].value == [wired.path]
    assert found["detect_wireless_handles"].value == [wireless.path]
    assert sorted(found["detect_handles"].value) == sorted([wired.path, wireless.path])


@pytest.mark.slow  # the arm probe waits out its drain after the garbage
def test_only_the_right_answers_confirm_a_device(virtual_device):
    arm5 = virtual_device("arm", "--model", "5")
    garbled_arm = virtual_device("arm", "--garbage")
    refusing = virtual_device("handle", "--wakeup-answer", "error")
    handle_on_acm = virtual_device("handle", "--wakeup-answer", "status")
    found = detect(
        {
            "ttyACM5": arm5.path,
            "ttyACM7": garbled_arm.path,
            "ttyUSB3": refusing.path,
            "ttyACM9": handle_on_acm.path,
        },
        ["detect_armillars", "detect_wired_handles", "detect_handles"],
    )
    assert found["detect_armillars"].value == []
    assert found["detect_wired_handles"].value == []
    # Every kind of port is probed for a handle, a ttyACM one included.
    assert found["detect_handles"].value == [handle_on_acm.path]


def test_a_port_listed_under_two_names_is_probed_twice(virtual_device):
    handle = virtual_device("handle")
    found = detect({"ttyUSB0": handle.path, "ttyUSB_handle": handle.path}, ["detect_wired_handles"])
    assert found["detect_wired_handles"].value == [handle.path, handle.path]


@pytest.mark.slow
def test_a_late_or_silent_device_is_dropped_and_the_lock_held_meanwhile(virtual_device):
    late_arm = virtual_device("arm", "--delay-ms", "3500")
    silent_handle = virtual_device("handle", "--silent")
    found = detect(
        {"ttyACM0": late_arm.path, "rfcomm0": silent_handle.path},
        ["detect_armillars", "detect_wireless_handles"],
    )
    arms, handles = found["detect_armillars"], found["detect_wireless_handles"]
    # The arm answers after its 3 s wait limit: the probe is waited for, then
    # the port is dropped.
    assert arms.value == []
    assert 3.4 < arms.seconds < 8
    # A silent port costs the handle probe one device time-out (5 to 6 s).
    assert handles.value == []
    assert 5 < handles.seconds < 7.5
    # Detection keeps the interpreter lock throughout: the ticker hardly runs.
    assert arms.ticks <= 2 and handles.ticks <= 2


def test_a_dangling_port_link_fails_every_detection(virtual_device):
    arm = virtual_device("arm")
    found = detect({"ttyACM0": arm.path, "rfcomm1": "/dev/pts/does-not-exist"})
    for call in DETECTIONS:
        assert found[call].kind == "RuntimeError"
        assert "rfcomm1" in found[call].value


def test_no_candidates_gives_empty_lists_at_once():
    found = detect({"ttyS0": "/dev/pts/ptmx"})
    for call in DETECTIONS:
        assert found[call].value == []
        assert found[call].seconds < 0.5


@pytest.mark.parametrize(
    "name, doc",
    list(
        zip(
            DETECTIONS,
            [
                "detect available armillar devices",
                "detect available handles",
                "detect available wired handles",
                "detect available wireless handles",
            ],
        )
    ),
)
def test_detections_take_no_arguments(name, doc):
    with pytest.raises(TypeError):
        getattr(T, name)(1)
    assert getattr(T, name).__doc__ == f"{name}() -> list[str]\n\n{doc}\n"
