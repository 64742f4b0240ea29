"""Checks of the benchmark itself: its summaries, its two hand-written
clients, and one short run end to end. Run with `bash bench/run.sh --test`,
which builds the programs and sets TORVI_BENCH_TOOLS and
TORVI_VIRTUAL_DEVICE."""

import json
import os
import pathlib
import struct
import subprocess
import sys
import threading
import tty

import pytest

import guidance
import stats
from pyserial_arm import PySerialArm
from run import BUSY_WAITING_ARM_ROWS, round_is_clean, select_rounds
from torvi.virtual import VirtualDevice

TOOLS = pathlib.Path(os.environ.get("TORVI_BENCH_TOOLS", "build/bench"))
VIRTUAL_DEVICE = os.environ.get("TORVI_VIRTUAL_DEVICE", "build/tools/torvi-virtual-device")
HERE = pathlib.Path(__file__).resolve().parent


@pytest.mark.parametrize(
    "values, p, expected",
    [
        ([5], 50, 5),
        ([5], 99, 5),
        ([1, 2, 3, 4], 50, 2),  # rank ceil(2.0) = 2
        ([1, 2, 3, 4, 5], 50, 3),  # rank ceil(2.5) = 3
        (list(range(1, 101)), 99, 99),
        (list(range(1, 201)), 99, 198),
        (list(range(1, 101)), 100, 100),
    ],
)
def test_percentile_is_nearest_rank(values, p, expected):
    assert stats.percentile(values, p) == expected


def test_block_summary_figures():
    block = stats.summarize_block([3000, 1000, 2000, 6000], elapsed_s=0.5, cpu_s=0.25)
    assert block == {
        "exchanges": 4,
        "rate": 8.0,
        "mean_us": 3.0,
        "p50_us": 2.0,
        "p99_us": 6.0,
        "cpu_us": 62500.0,
    }


def test_ratios_pair_rounds_before_the_median():
    # Round by round the row takes twice the reference's time but once;
    # the ratio of the two medians (4 / 3) would hide that.
    rows = [2.0, 4.0, 6.0]
    reference = [1.0, 4.0, 3.0]
    assert stats.paired_median(rows, reference, stats.ratio) == 2.0
    assert stats.paired_median(rows, reference, stats.difference) == 1.0
    with pytest.raises(ValueError):
        stats.paired_median(rows, reference[:2], stats.ratio)


def test_empty_block_is_refused():
    with pytest.raises(ValueError):
        stats.summarize_block([], 1.0, 1.0)


def a_round(on_cpu_share):
    blocks = {
        key: {"on_cpu_share": on_cpu_share, "mean_us": on_cpu_share}
        for key in BUSY_WAITING_ARM_ROWS
    }
    return {"clean": round_is_clean(blocks), "blocks": blocks}


@pytest.mark.parametrize("share, clean", [(1.0, True), (0.85, True), (0.5, False)])
def test_a_round_is_clean_while_the_busy_waiting_rows_keep_their_processor(share, clean):
    assert a_round(share)["clean"] is clean


def test_one_slowed_row_does_not_spoil_a_round():
    blocks = a_round(1.0)["blocks"]
    blocks["c_instant"]["on_cpu_share"] = 0.3
    assert round_is_clean(blocks)


@pytest.mark.parametrize(
    "shares, used",
    [
        ([1.0] * 5 + [0.4] * 3, [1.0] * 5),  # enough clean rounds: only those
        ([1.0] * 4 + [0.4] * 2, [1.0] * 4 + [0.4] * 2),  # too few: every round
    ],
)
def test_slowed_rounds_are_left_out_only_when_enough_remain(shares, used):
    blocks, count = select_rounds([a_round(share) for share in shares])
    assert count == len(used)
    assert [b["mean_us"] for b in blocks["c_force"]] == used


def run_client(*args):
    return subprocess.run(
        [str(TOOLS / "torvi-bench-client"), *args], capture_output=True, text=True, timeout=60
    )


@pytest.mark.parametrize("target", ["--queued", "--instant"])
def test_c_client_measures_without_a_device(target):
    done = run_client("--warmup", "0.01", target, "0.05")
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    assert not out["failed"]
    assert out["warmup_exchanges"] > 0 and out["exchanges"] > 10
    assert 0 < out["p50_us"] <= out["p99_us"]
    assert out["mean_us"] * out["exchanges"] / 1e6 <= out["elapsed_s"] * 1.01


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["--instant"],
        ["--instant", "0"],
        ["--warmup", "x", "--instant", "1"],
        ["--warmup", "-1", "--instant", "1"],
    ],
)
def test_c_client_refuses_bad_command_lines(args):
    assert run_client(*args).returncode == 2


@pytest.mark.slow
def test_c_client_reports_a_device_that_stays_silent():
    with VirtualDevice("arm", "--silent", program=VIRTUAL_DEVICE) as device:
        done = run_client("--warmup", "0", device.path, "0.05")
    assert done.returncode == 1
    assert json.loads(done.stdout)["failed"]


class OneShotArm:
    """A pty whose master answers one request with `reply` from a thread."""

    def __init__(self, reply):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.request = b""
        self.thread = threading.Thread(target=self._answer, args=(reply,), daemon=True)
        self.thread.start()

    def _answer(self, reply):
        while len(self.request) < 13:
            self.request += os.read(self.master, 13 - len(self.request))
        os.write(self.master, reply)

    def close(self):
        self.thread.join(5)
        os.close(self.master)
        os.close(self.slave)


def test_pyserial_client_sends_the_force_and_decodes_the_state():
    state = (0.1, 0.2, 0.3, -1.0, -2.0, -3.0)
    device = OneShotArm(bytes([0x2B]) + struct.pack("<6f", *state))
    arm = PySerialArm(device.path, timeout=2.0)
    try:
        position, velocity = arm.end_effector_force([1.5, -2.0, 0.25])
    finally:
        arm.close()
        device.close()
    assert device.request == bytes([0x2A]) + struct.pack("<3f", 1.5, -2.0, 0.25)
    assert position == pytest.approx(state[:3]) and velocity == pytest.approx(state[3:])


@pytest.mark.parametrize(
    "reply, message",
    [
        (bytes([0x1B]) + bytes(24), "unexpected reply code"),
        (bytes([0x2B]) + bytes(20), "short reply"),
    ],
)
def test_pyserial_client_refuses_a_wrong_reply(reply, message):
    device = OneShotArm(reply)
    arm = PySerialArm(device.path, timeout=0.3)
    try:
        with pytest.raises(IOError, match=message):
            arm.end_effector_force([0.0, 0.0, 0.0])
    finally:
        arm.close()
        device.close()


def test_a_short_run_reports_every_row_and_target(tmp_path):
    done = subprocess.run(
        [
            sys.executable,
            str(HERE / "run.py"),
            "--tools",
            str(TOOLS),
            "--virtual-device",
            VIRTUAL_DEVICE,
            "--repeats",
            "5",
            "--seconds",
            "0.05",
            "--quiet-wait",
            "0",
            "--kilohertz-seconds",
            "0.5",
            "--samples-count",
            "20000",
            "--recorder-seconds",
            "0.5",
            "--results",
            str(tmp_path),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    result = json.loads((tmp_path / "latest.json").read_text())
    assert set(result["rows"]) == set(result["order"])
    assert len(result["order"]) == 19
    assert 5 <= result["rounds_used"] <= len(result["rounds"]) <= 10
    for key, row in result["rows"].items():
        figures = row["median"]
        assert figures["rate"] > 0 and figures["cpu_us"] > 0, key
        assert 0 < figures["p50_us"] <= figures["p99_us"], key
        assert all(key in r["blocks"] for r in result["rounds"]), key
    assert result["rows"]["c_force"]["median"]["ratio_to_c"] == 1.0
    assert set(result["targets"]) == {
        "latency_ratio_to_c",
        "rate_ratio_to_pyserial",
        "host_kinematics_added_us",
        "virtual_arm",
        "native_loop",
        "recording",
        "mesh",
    }
    for key in ("native_loop_free", "native_loop_1khz_busy"):
        series = result["rows"][key]["period_series_us"]
        assert series and all(period > 0 for period in series), key
    listener = result["listener"]
    assert listener["streaming"]["events_per_s"] > 0 and listener["iterator"]["p50_us"] > 0
    assert "| C client: force exchange (the floor) |" in done.stdout
    assert "mean ÷ C" in done.stdout


def test_the_guidance_costs_come_out_whole():
    done = subprocess.run(
        [str(TOOLS / "torvi-bench-guidance")], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    costs = json.loads(done.stdout)
    assert costs.pop("finite") is True
    assert set(costs) == {"baseline_ns", *(key for key, _ in guidance.COSTS)}
    assert all(costs[key] > costs["baseline_ns"] for key in ("move_to_render_ns", "line_render_ns"))
