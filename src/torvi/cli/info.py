"""`torvi info PORT`: wakes the device and prints everything it reports."""

from __future__ import annotations

import argparse
import json
import uuid
from typing import Dict

from .ports import CommandError, Connection, connect, library_output_held

Report = Dict[str, object]


def printable_text(raw: bytes) -> str | None:
    """The bytes as text when, without trailing zero bytes, they are all
    printable ASCII; else None."""
    text = raw.rstrip(b"\0")
    if text and all(0x20 <= byte < 0x7F for byte in text):
        return text.decode("ascii")
    return None


def arm_report(connection: Connection) -> Report:
    arm, wakeup = connection.arm, connection.arm_info
    assert arm is not None and wakeup is not None
    device_id, model, hardware, firmware, extension = wakeup
    identifier: uuid.UUID = arm.get_device_id()
    firmware_text: uuid.UUID = arm.get_firmware_version()
    position, velocity = arm.get_end_effector_position()
    return {
        "port": connection.port,
        "kind": "arm",
        "device_id": device_id,
        "model": model,
        "hardware_version": hardware,
        "firmware_version": firmware,
        "device_id_ext": bytes(extension).hex(),
        "identifier": str(identifier),
        "firmware_version_bytes": firmware_text.bytes.hex(),
        "firmware_version_text": printable_text(firmware_text.bytes),
        "temperature": arm.get_temperature(),
        "powered": arm.get_power_status(),
        "base_orientation": arm.get_device_orientation(),
        "motor_currents": arm.get_motor_currents(),
        "end_effector_position": position,
        "end_effector_velocity": velocity,
    }


def handle_report(connection: Connection) -> Report:
    handle = connection.handle
    assert handle is not None
    report: Report = {"port": connection.port, "kind": "handle"}
    if handle.info is not None:
        tool_data, device_id, model, hardware, firmware = handle.info
        report.update(
            device_id=device_id,
            model=model,
            hardware_version=hardware,
            firmware_version=firmware,
            tool_data_remaining=tool_data,
        )
    if handle.status is not None:
        device_id, quaternion, error_flag, hall = handle.status
        report["wakeup_status"] = {
            "device_id": device_id,
            "quaternion": quaternion,
            "error_flag": error_flag,
            "hall_effect_sensor_level": hall,
        }
    handle.RequestStatus()
    report["status"] = dict(handle.GetQuillonetStatus())
    return report


def text_lines(report: Report) -> list[str]:
    width = max(len(key) for key in report)
    return [
        f"{key.ljust(width)}  {'-' if value is None else value}" for key, value in report.items()
    ]


def run_info(arguments: argparse.Namespace) -> int:
    connection = connect(arguments.port, arguments.kind)
    lines: list[str] = []
    with library_output_held(lines):
        report = arm_report(connection) if connection.kind == "arm" else handle_report(connection)
    if lines:
        raise CommandError(f"{arguments.port} stopped answering: {lines[0]}")
    print(json.dumps(report, indent=1) if arguments.json else "\n".join(text_lines(report)))
    return 0
