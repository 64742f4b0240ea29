"""The demo (examples/demo.py) when things go wrong: a virtual device killed
mid-run, and Ctrl-C. Either way it ends soon, with one line and a non-zero
status, and leaves no device running."""

import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

from support import start_interruptible
from torvi.virtual import PROGRAM_VARIABLE, find_program

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
# How long the demo may take to end once its device is gone.
END_LIMIT = 15.0


def device_pids(demo_pid):
    """{kind: pid} of the torvi-virtual-device processes the demo started."""
    found = {}
    for entry in pathlib.Path("/proc").iterdir():
        try:
            status = (entry / "status").read_text()
            arguments = (entry / "cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if f"PPid:\t{demo_pid}\n" in status and arguments[0].endswith(b"torvi-virtual-device"):
            found[arguments[1].decode()] = int(entry.name)
    return found


def start_demo():
    """The demo, started and seen well into its work with both devices up."""
    # The demo imports the package torvi from the tree, as the tests do, and
    # runs in examples/: the search path must not depend on the directory.
    inherited = filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep))
    path = os.pathsep.join([str(ROOT / "src")] + [os.path.abspath(p) for p in inherited])
    demo = start_interruptible(
        [sys.executable, "-u", "demo.py"],
        cwd=EXAMPLES,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=dict(
            os.environ, PYTHONPATH=path, **{PROGRAM_VARIABLE: os.path.abspath(find_program())}
        ),
    )
    for line in demo.stdout:
        if line.startswith("haptic loop"):
            break
    pids = device_pids(demo.pid)
    if sorted(pids) != ["arm", "handle"]:
        demo.kill()
        _, errors = demo.communicate()
        pytest.fail(f"the demo did not get under way with both devices: {pids}\n{errors}")
    return demo, pids


@pytest.mark.parametrize(
    "stop, status, line",
    [
        pytest.param("kill a device", 1, "demo stopped: the virtual arm ended", id="device killed"),
        pytest.param("SIGINT", 128 + signal.SIGINT, "interrupted", id="ctrl-c"),
    ],
)
def test_the_demo_stops_soon_with_one_line(stop, status, line):
    demo, pids = start_demo()
    try:
        stopped = time.monotonic()
        if stop == "SIGINT":
            demo.send_signal(signal.SIGINT)
        else:
            os.kill(pids["arm"], signal.SIGKILL)
        _, errors = demo.communicate(timeout=END_LIMIT)
        took = time.monotonic() - stopped
    finally:
        demo.kill()
        demo.wait()
    assert demo.returncode == status, errors
    assert took < END_LIMIT
    # The library's error lines about the dead port may come before it.
    assert errors.strip().splitlines()[-1].startswith(line), errors
    assert "Traceback" not in errors
    assert not [pid for pid in pids.values() if pathlib.Path(f"/proc/{pid}").exists()]
