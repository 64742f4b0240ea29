"""The haptic loop's record: every cycle taken or counted, the samples
matching the wire, and the Recorder's files, also after Ctrl-C."""

import csv
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import TorviHardwareAPI as T
from support import ENV, ZERO, start_interruptible
from torvi.recording import Recorder, partial_path, read_parquet, recover
from TorviHardwareAPI.haptics import ConstantForce, HapticLoop, Spring


def test_a_slow_reader_loses_only_whole_counted_cycles(virtual_arm):
    arm = T.Armillar(T.SerialStream(virtual_arm.path))
    capacity = 64
    loop = HapticLoop(arm, record=capacity)
    batches = []
    with loop:
        for turn in range(30):
            # Every other read waits until the ring has surely overrun, however
            # slowly the loop runs on this machine; the others read at once.
            read_at = loop.stats().cycles + (2 * capacity if turn % 2 else 0)
            while loop.stats().cycles < read_at:
                time.sleep(0.001)
            batches.append(loop.samples())
    batches.append(loop.samples())
    cycles = loop.stats().cycles
    taken = np.concatenate([s.cycle for s in batches])
    assert sum(s.dropped for s in batches) > 0, "the reader was meant to fall behind"
    assert len(taken) + sum(s.dropped for s in batches) == cycles
    assert (np.diff(taken) > 0).all() and taken[0] >= 1 and taken[-1] <= cycles
    # Each gap is counted by the time the cycles after it arrive.
    seen = counted = 0
    for s in batches:
        seen, counted = seen + len(s), counted + s.dropped
        assert len(s) == 0 or int(s.cycle[-1]) - seen <= counted


def test_the_record_holds_what_went_over_the_wire(arm, responder):
    device = responder(positions=lambda n: (n, -n, 0.5))
    loop = HapticLoop(arm, max_force=1e9)
    loop.add(Spring(anchor=ZERO, stiffness=1.0))
    with loop:
        device.wait_for(50)
    s = loop.samples()
    assert s.dropped == 0 and len(s) == loop.stats().cycles == device.settled_count()
    assert [tuple(f) for f in s.force.tolist()] == device.forces
    np.testing.assert_array_equal(s.position, [(n, -n, 0.5) for n in s.cycle.tolist()])
    np.testing.assert_array_equal(s.requested[1:-1], s.force[1:-1])
    assert np.isnan(s.period_us[0]) and (s.period_us[1:] > 0).all()


def test_the_clamp_shows_as_requested_against_sent(arm, responder):
    device = responder()
    loop = HapticLoop(arm, max_force=5.0)
    loop.add(ConstantForce(force=(6, 0, 8)))
    with loop:
        device.wait_for(5)
    s = loop.samples()
    np.testing.assert_array_equal(s.requested[1:-1], [(6, 0, 8)] * (len(s) - 2))
    np.testing.assert_allclose(s.force[1:-1], [(3, 0, 4)] * (len(s) - 2), rtol=1e-6)
    np.testing.assert_array_equal(s.force[[0, -1]], [ZERO, ZERO])


def rows(path):
    with open(path, newline="") as file:
        return list(csv.DictReader(file))


def test_the_recorder_writes_every_sample(arm, responder, tmp_path):
    device = responder()
    loop = HapticLoop(arm, rate_hz=1000.0)
    with Recorder(loop, tmp_path / "run.csv") as recorder, loop:
        device.wait_for(300)
    written = rows(tmp_path / "run.csv")
    assert len(written) == recorder.written == loop.stats().cycles
    assert recorder.dropped == 0
    assert [int(row["cycle"]) for row in written] == list(range(1, len(written) + 1))
    assert float(written[-1]["force_z"]) == 0.0


INTERRUPTED = """
import sys, time
import TorviHardwareAPI as T
from TorviHardwareAPI.haptics import ConstantForce, HapticLoop
from torvi.recording import Recorder, partial_path, read_parquet, recover
loop = HapticLoop(T.Armillar(T.SerialStream(sys.argv[1])), rate_hz=1000.0)
loop.add(ConstantForce(force=(0, 0, 1)))
try:
    with Recorder(loop, sys.argv[2]) as recorder, loop:
        print("recording", flush=True)
        time.sleep(1.0)
        print(recorder.written, flush=True)
        time.sleep(60)
finally:
    print(recorder.written, flush=True)
"""


def recorded(path):
    """The rows of a CSV or Parquet recording as {column: value}; a Parquet
    recording whose process was killed is read from what it left."""
    if path.suffix == ".csv":
        return [{name: float(value) for name, value in row.items()} for row in rows(path)]
    pytest.importorskip("pyarrow")
    return read_parquet(path).to_pylist()


def start_recording(virtual_arm, path):
    """The INTERRUPTED child recording to `path`, and how many samples it had
    written a second after it started."""
    child = start_interruptible(
        [sys.executable, "-c", INTERRUPTED, virtual_arm.path, str(path)],
        env=ENV,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert child.stdout.readline() == "recording\n", child.communicate()[1]
    return child, int(child.stdout.readline())


@pytest.mark.parametrize(
    "stop, suffix, status, error",
    [
        (signal.SIGINT, ".csv", -signal.SIGINT, "KeyboardInterrupt"),
        # SIGTERM takes the same way out, in silence, with the shell's status.
        (signal.SIGTERM, ".csv", 128 + signal.SIGTERM, ""),
        (signal.SIGTERM, ".parquet", 128 + signal.SIGTERM, ""),
    ],
)
def test_after_ctrl_c_or_sigterm_the_recording_is_complete(
    virtual_arm, tmp_path, stop, suffix, status, error
):
    path = tmp_path / f"run{suffix}"
    child, _ = start_recording(virtual_arm, path)
    child.send_signal(stop)
    out, err = child.communicate(timeout=20)
    assert child.returncode == status
    assert error in err if error else err == ""
    written = recorded(path)
    assert len(written) == int(out) > 100
    assert all(len(row) == 15 and None not in row.values() for row in written)
    assert written[-1]["force_z"] == 0.0  # the stop's final cycle is there
    assert not partial_path(path).exists()


def test_a_killed_parquet_recording_is_readable_up_to_its_last_batch(virtual_arm, tmp_path):
    pytest.importorskip("pyarrow")
    path = tmp_path / "run.parquet"
    child, flushed = start_recording(virtual_arm, path)
    child.kill()
    child.communicate(timeout=20)
    cycles = [row["cycle"] for row in recorded(path)]
    assert len(cycles) >= flushed > 100 and cycles == list(range(1, len(cycles) + 1))
    assert recover(path) == len(cycles) and not partial_path(path).exists()
    assert [row["cycle"] for row in recorded(path)] == cycles


@pytest.mark.parametrize("own", [False, True], ids=["default", "own handler"])
def test_sigterm_raises_while_a_loop_or_recorder_runs_unless_the_program_handles_it(
    arm, responder, tmp_path, own
):
    calls = []

    def own_handler(number, frame):
        calls.append(number)

    previous = signal.signal(signal.SIGTERM, own_handler if own else signal.SIG_DFL)
    try:
        responder()
        loop = HapticLoop(arm)
        with Recorder(loop, tmp_path / "run.csv"):
            with loop:
                installed = signal.getsignal(signal.SIGTERM)
            # The recorder still holds it once the loop has stopped.
            assert signal.getsignal(signal.SIGTERM) is installed
            if own:
                signal.raise_signal(signal.SIGTERM)
            else:
                with pytest.raises(T.Terminated) as raised:
                    signal.raise_signal(signal.SIGTERM)
                assert raised.value.code == 128 + signal.SIGTERM
        assert (installed is own_handler) == own and installed is not signal.SIG_DFL
        assert signal.getsignal(signal.SIGTERM) is (own_handler if own else signal.SIG_DFL)
        assert calls == ([signal.SIGTERM] if own else [])
    finally:
        signal.signal(signal.SIGTERM, previous)


def test_parquet_recordings_read_back(arm, responder, tmp_path):
    parquet = pytest.importorskip("pyarrow.parquet")
    device = responder()
    loop = HapticLoop(arm)
    with Recorder(loop, tmp_path / "run.parquet", interval=0.01) as recorder, loop:
        device.wait_for(200)
    table = parquet.read_table(tmp_path / "run.parquet")
    assert table.num_rows == recorder.written == loop.stats().cycles
    assert table.column_names[:3] == ["cycle", "time", "position_x"]


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda arm, path: HapticLoop(arm, record=-1), ValueError),
        (lambda arm, path: HapticLoop(arm, record=1.5), TypeError),
        (lambda arm, path: HapticLoop(arm, record=True), TypeError),
        (lambda arm, path: HapticLoop(arm, record=0).samples(), RuntimeError),
        (lambda arm, path: Recorder(HapticLoop(arm), path / "run.txt"), ValueError),
    ],
)
def test_bad_recording_arguments_are_refused(arm, tmp_path, make, error):
    with pytest.raises(error):
        make(arm, tmp_path)
    assert list(tmp_path.iterdir()) == []


def test_without_numpy_only_samples_fails_and_says_what_to_install(arm, monkeypatch):
    monkeypatch.setitem(sys.modules, "numpy", None)
    loop = HapticLoop(arm)
    with pytest.raises(ImportError, match="pip install numpy"):
        loop.samples()


def test_readers_and_a_recorder_each_get_every_cycle(arm, responder, tmp_path):
    device = responder()
    loop = HapticLoop(arm, rate_hz=1000.0)
    first, second = loop.reader(), loop.reader()
    batches = []
    with Recorder(loop, tmp_path / "run.csv", interval=0.01) as recorder, loop:
        device.wait_for(100)
        batches.append(first.samples())  # one reader drains midway, the other at the end
        device.wait_for(200)
    cycles = loop.stats().cycles
    batches.append(first.samples())
    everything = list(range(1, cycles + 1))
    assert np.concatenate([s.cycle for s in batches]).tolist() == everything
    assert second.samples().cycle.tolist() == everything
    assert [int(row["cycle"]) for row in rows(tmp_path / "run.csv")] == everything
    assert loop.samples().cycle.tolist() == everything
    assert recorder.dropped == 0 and sum(s.dropped for s in batches) == 0


def test_a_reader_made_after_a_stop_starts_with_the_next_run(arm, responder):
    device = responder()
    loop = HapticLoop(arm)
    with loop:
        device.wait_for(20)
    late = loop.reader()
    s = late.samples()
    assert len(s) == 0 and s.dropped == 0
    with loop:
        device.wait_for(device.settled_count() + 20)
    assert late.samples().cycle.tolist() == list(range(1, loop.stats().cycles + 1))
    with pytest.raises(RuntimeError, match="records nothing"):
        HapticLoop(arm, record=0).reader()
