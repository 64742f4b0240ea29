"""The torvi command, run as a program against virtual devices."""

import csv
import json
import os
import struct
import subprocess
import time
import tty

import pytest

import TorviHardwareAPI as T
from support import ENV, TORVI, Descriptor, Trace, namespace_unavailable, run_in_private_dev


def torvi(*arguments, timeout=60):
    return subprocess.run(
        TORVI + [str(a) for a in arguments],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=ENV,
    )


class InfoHandle(T.Handle):
    info = None

    def OnReceiveHandleInfo(self, *fields):
        self.info = fields


@pytest.mark.skipif(namespace_unavailable() is not None, reason=str(namespace_unavailable()))
@pytest.mark.parametrize("attached", [True, False])
def test_list_json_has_one_row_per_device_or_none(virtual_device, attached):
    links = {}
    expected = []
    if attached:
        arm = virtual_device("arm")
        wired = virtual_device("handle")
        wireless = virtual_device("handle", "--wireless", "--wakeup-answer", "status")
        links = {"ttyACM0": arm.path, "ttyUSB0": wired.path, "rfcomm0": wireless.path}
        expected = [(arm.path, "arm", 4), (wired.path, "wired handle", 2)]
        expected.append((wireless.path, "wireless handle", None))
    listed = run_in_private_dev(links, [*TORVI, "list", "--json"], env=ENV)
    assert listed.returncode == 0, listed.stderr
    rows = json.loads(listed.stdout)
    assert [(r["port"], r["kind"], r["model"]) for r in rows] == expected
    for row in rows:
        assert set(row) == {
            "port",
            "kind",
            "device_id",
            "model",
            "hardware_version",
            "firmware_version",
        }
        assert row["device_id"] is not None


def test_info_reports_what_the_module_reads(virtual_device):
    arm = virtual_device("arm")
    handle = virtual_device("handle")
    arm_report = torvi("info", arm.path, "--json")
    handle_report = torvi("info", handle.path, "--kind", "handle", "--json")
    assert arm_report.returncode == 0 and handle_report.returncode == 0, arm_report.stderr
    reported_arm, reported_handle = json.loads(arm_report.stdout), json.loads(handle_report.stdout)

    direct_arm = T.Armillar(T.SerialStream(arm.path))
    device_id, model, hardware, firmware, extension = direct_arm.device_wakeup()
    assert (reported_arm["kind"], reported_arm["device_id"], reported_arm["model"]) == (
        "arm",
        device_id,
        model,
    )
    assert (reported_arm["hardware_version"], reported_arm["firmware_version"]) == (
        hardware,
        firmware,
    )
    assert reported_arm["device_id_ext"] == bytes(extension).hex()
    assert reported_arm["identifier"] == str(direct_arm.get_device_id())
    assert reported_arm["firmware_version_bytes"] == direct_arm.get_firmware_version().bytes.hex()
    for key in ("temperature", "powered", "base_orientation", "motor_currents"):
        assert key in reported_arm

    direct_handle = InfoHandle(T.SerialStream(handle.path))
    direct_handle.SendDeviceWakeup()
    direct_handle.Receive()
    _, device_id, model, hardware, firmware = direct_handle.info
    assert [reported_handle[k] for k in ("device_id", "model", "hardware_version")] == [
        device_id,
        model,
        hardware,
    ]
    assert reported_handle["firmware_version"] == firmware
    assert set(reported_handle["status"]) >= {"quaternion", "buttons", "battery_level"}


def test_info_on_a_silent_port_fails_in_one_line(virtual_device):
    silent = virtual_device("handle", "--silent")
    started = time.monotonic()
    result = torvi("info", silent.path, "--kind", "handle")
    assert result.returncode == 1
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1
    assert silent.path in result.stderr
    # One wait of the handle's: 5 to 6 s, and process start-up.
    assert time.monotonic() - started < 9


@pytest.mark.parametrize(
    "command",
    [["info"], ["info", "--kind", "handle"], ["info", "--kind", "arm"], ["monitor"], ["trace"]],
)
@pytest.mark.parametrize(
    "path, kind", [(__file__, "a regular file"), ("/dev/null", "a character device")]
)
def test_a_path_that_is_no_terminal_is_refused_before_any_wait(command, path, kind):
    # Well inside one of the library's waits (5 to 6 s): the check comes first.
    result = torvi(command[0], path, *command[1:], timeout=4)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr == f"torvi {command[0]}: {path} is not a terminal ({kind})\n"


def test_trace_forwards_bytes_unchanged_decodes_and_records_them(virtual_device, tmp_path):
    arm = virtual_device("arm")
    wakeup_reply_direct = direct_exchange(arm.path, b"\x0a", 22)
    session = tmp_path / "session.txt"
    trace = Trace(arm.path, "--out", session)
    try:
        force = struct.pack("<3f", 0.5, -0.25, 1.0)
        wakeup_reply = direct_exchange(trace.path, b"\x0a", 22)
        state_reply = direct_exchange(trace.path, b"\x2a" + force, 25)
    finally:
        status, output = trace.stop()
    decoded = output.splitlines()
    assert status == 0
    assert wakeup_reply == wakeup_reply_direct
    assert state_reply[0] == 0x2B and len(state_reply) == 25
    position = [round(v, 6) for v in struct.unpack_from("<3f", state_reply, 1)]
    assert any("> EndEffectorForce force=[0.5, -0.25, 1.0]" in line for line in decoded), decoded
    assert any(f"< EndEffectorState position={position}" in line for line in decoded), decoded
    header, *chunks = session.read_text().splitlines()
    settings = "baud=115200 data_bits=8 parity=none stop_bits=1"
    assert header.startswith(
        f"torvi-session 1 {settings} port={arm.path} library={T.get_cpp_version()} "
    )
    # Each chunk as it went through, in order, with non-decreasing times.
    sent = [(arrow, bytes.fromhex(data)) for _, arrow, data in (c.split(" ", 2) for c in chunks)]
    assert b"".join(d for a, d in sent if a == ">") == b"\x0a\x2a" + force
    assert b"".join(d for a, d in sent if a == "<") == wakeup_reply + state_reply
    times = [float(c.split()[0]) for c in chunks]
    assert times == sorted(times)


def direct_exchange(path, request, reply_length):
    """Writes `request` on the tty `path` and reads the reply's bytes."""
    port = Descriptor()
    port.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(port.fd)
        port.write(request)
        return port.read(reply_length, timeout=5.0)
    finally:
        os.close(port.fd)


def test_monitor_records_samples_with_increasing_times(virtual_arm, tmp_path):
    record = tmp_path / "samples.csv"
    result = torvi("monitor", virtual_arm.path, "--kind", "arm", "--seconds", 1, "--csv", record)
    assert result.returncode == 0, result.stderr
    with record.open() as recorded:
        rows = list(csv.DictReader(recorded))
    times = [float(row["time_s"]) for row in rows]
    assert len(rows) >= 5
    assert times == sorted(times) and len(set(times)) == len(times)
    assert {"position_x", "temperature", "current_2"} <= set(rows[0])


@pytest.mark.parametrize("passivity", [False, True], ids=["plain", "with passivity"])
def test_plot_charts_a_recording_and_refuses_what_is_not_one(arm, responder, tmp_path, passivity):
    from TorviHardwareAPI.haptics import HapticLoop

    device = responder()
    with HapticLoop(arm, passivity=passivity) as loop:
        device.wait_for(20)
    loop.samples().to_csv(tmp_path / "run.csv")
    result = torvi("plot", tmp_path / "run.csv")
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "run.png").read_bytes()[:4] == b"\x89PNG"
    (tmp_path / "other.csv").write_text("a,b\n1,2\n")
    result = torvi("plot", tmp_path / "other.csv", "--out", tmp_path / "other.png")
    assert result.returncode == 1 and len(result.stderr.splitlines()) == 1
    assert "not a HapticLoop recording" in result.stderr


def test_plot_marks_the_cycles_whose_period_overran():
    from torvi.cli.plot import overran

    nan = float("nan")
    # The first cycle has no period; the median is 1000 µs, the limit 1500.
    assert overran([nan, *[1000.0] * 5, 1499.0, 1500.0, 6000.0]) == [7, 8]
    assert overran([nan]) == []
