"""The two devices' wire messages, as the trace decodes them: header codes,
payload lengths and field layouts.

The C++ protocol headers Library/protocol/include/Torvi/HardwareAPI/protocol/
ArmillarProtocol.hpp and HandleProtocol.hpp are the source: every code,
length and offset here mirrors a constant there, under the same name in
upper snake case. Change them there first.

The decoder only reads: it is handed copies of the bytes that pass through
and never alters what is forwarded.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Callable, Dict

# --- Arm (ArmillarProtocol.hpp) -------------------------------------------
DEVICE_WAKEUP = 0x0A  # shared by both devices
ARM_ORIENTATION_REQUEST = 0x0C
ARM_PARAMETER_REQUEST = 0x0D
ARM_JOINT_TORQUES = 0x1A
ARM_JOINT_ANGLES = 0x1C
ARM_END_EFFECTOR_FORCE = 0x2A
ARM_END_EFFECTOR_POSITION = 0x2C
ARM_TEMPERATURE_REQUEST = 0xAA
ARM_CURRENT_REQUEST = 0xAB
ARM_POWER_STATUS_REQUEST = 0xAC

ARM_DEVICE_INFO = 0x0B
ARM_ORIENTATION_REPLY = 0x0C
ARM_PARAMETER_REPLY = 0x0D
ARM_JOINT_STATE = 0x1B
ARM_END_EFFECTOR_STATE = 0x2B
ARM_TEMPERATURE_REPLY = 0xAA
ARM_CURRENT_REPLY = 0xAB
ARM_POWER_STATUS_REPLY = 0xAC

ARM_SELECTOR_DEVICE_ID = 0xD1
ARM_SELECTOR_FIRMWARE_VERSION = 0xD2

ARM_DEVICE_INFO_LENGTH = 21
ARM_ORIENTATION_LENGTH = 16
ARM_PARAMETER_LENGTH = 17  # after the selector byte
ARM_STATE_LENGTH = 24
ARM_TEMPERATURE_LENGTH = 4
ARM_CURRENT_LENGTH = 12
ARM_POWER_STATUS_LENGTH = 1
ARM_VECTOR_PAYLOAD_LENGTH = 12  # three binary32 values
ARM_PARAMETER_REQUEST_PAYLOAD_LENGTH = 1

# --- Handle (HandleProtocol.hpp) ------------------------------------------
HANDLE_STATUS_REQUEST = 0xDA
HANDLE_STATE = 0xDB

HANDLE_INFO_RESPONSE = 0xD0
HANDLE_STATUS_MESSAGE = 0xDA
HANDLE_ERROR_RESPONSE = 0xDF

HANDLE_INFO_RESPONSE_LENGTH = 6
HANDLE_STATUS_MESSAGE_LENGTH = 21  # then user_data_length bytes
HANDLE_STATUS_FRAME_LENGTH = 19  # byte-stuffed
HANDLE_STATUS_FRAME_DECODED_LENGTH = 18
HANDLE_ERROR_RESPONSE_LENGTH = 3
HANDLE_STATE_HEADER_PAYLOAD_LENGTH = 3  # device id (uint16), data length (uint8)
HANDLE_MESSAGE_USER_DATA_LENGTH_OFFSET = 20

SLIP_END = 0xC0
SLIP_ESC = 0xDB
SLIP_ESC_END = 0xDC
SLIP_ESC_ESC = 0xDD
FRAME_LAST_LEADING_BYTE = 17
BUTTONS_SHIFT = 5
HALL_LEVEL_MASK = 0x1F
Q15_SCALE = 2.0**-15
Q15_MAX_POSITIVE = 32767
Q15_WRAP = 65536
BATTERY_VOLTS_PER_STEP = 0.005
BATTERY_BASE_VOLTS = 3.0

Fields = Dict[str, object]


def floats(payload: bytes, count: int, offset: int = 0) -> list[float]:
    return [round(v, 6) for v in struct.unpack_from(f"<{count}f", payload, offset)]


def unstuff_frame(raw: bytes) -> bytes:
    """The status frame's SLIP unstuffing, step for step as the library does
    it: only bytes 0 to 17 lead a step; byte 18 is read only as the second
    byte of an escape pair."""
    out = bytearray()
    i = 0
    while i <= FRAME_LAST_LEADING_BYTE:
        byte = raw[i]
        if byte == SLIP_ESC:
            follower = raw[i + 1]
            if follower == SLIP_ESC_END:
                out.append(SLIP_END)
                i += 2
            elif follower == SLIP_ESC_ESC:
                out.append(SLIP_ESC)
                i += 2
            else:
                i += 1
        elif byte == SLIP_END:
            i += 1
        else:
            out.append(byte)
            i += 1
    return bytes(out)


# --- Field decoders, one per message layout ---------------------------------


def _vector(name: str) -> Callable[[bytes], Fields]:
    return lambda p: {name: floats(p, 3)}


def _state(position: str, velocity: str) -> Callable[[bytes], Fields]:
    return lambda p: {position: floats(p, 3), velocity: floats(p, 3, 12)}


def _arm_info(p: bytes) -> Fields:
    device_id, model, hardware, firmware = struct.unpack_from("<HBBB", p)
    return {
        "device_id": device_id,
        "model": model,
        "hardware_version": hardware,
        "firmware_version": firmware,
        "identifier": p[5:21].hex(),
    }


def _parameter_request(p: bytes) -> Fields:
    return {"selector": _selector_name(p[0])}


def _parameter_reply(p: bytes) -> Fields:
    # p[0] is the selector, p[1] the length byte, then the data.
    return {"selector": _selector_name(p[0]), "length": p[1], "data": p[2:18].hex()}


def _selector_name(selector: int) -> str:
    names = {ARM_SELECTOR_DEVICE_ID: "device id", ARM_SELECTOR_FIRMWARE_VERSION: "firmware"}
    return names.get(selector, f"0x{selector:02x}")


def _handle_state(p: bytes) -> Fields:
    device_id, length = struct.unpack_from("<HB", p)
    return {"device_id": device_id, "data": p[3 : 3 + length].hex()}


def _handle_info(p: bytes) -> Fields:
    return {
        "tool_data_remaining": p[0],
        "device_id": struct.unpack_from("<H", p, 2)[0],
        "model": p[3],
        "hardware_version": p[4],
        "firmware_version": p[5],
    }


def _status_message(p: bytes) -> Fields:
    device_id, error_flag, hall = struct.unpack_from("<HBB", p)
    length = p[HANDLE_MESSAGE_USER_DATA_LENGTH_OFFSET]
    return {
        "device_id": device_id,
        "error_flag": error_flag,
        "hall_level": hall,
        "quaternion": floats(p, 4, 4),
        "user_data": p[HANDLE_STATUS_MESSAGE_LENGTH : HANDLE_STATUS_MESSAGE_LENGTH + length].hex(),
    }


def _q15(value: int) -> float:
    return (value - Q15_WRAP if value > Q15_MAX_POSITIVE else value) * Q15_SCALE


def _status_frame(p: bytes) -> Fields:
    frame = unstuff_frame(p)
    if len(frame) != HANDLE_STATUS_FRAME_DECODED_LENGTH:
        return {"invalid frame": f"{len(frame)} bytes after unstuffing", "raw": p.hex()}
    return {
        "device_id": frame[4],
        "error_flag": frame[2],
        "buttons": frame[3] >> BUTTONS_SHIFT,
        "hall_level": frame[3] & HALL_LEVEL_MASK,
        "quaternion": [round(_q15(v), 6) for v in struct.unpack_from("<4H", frame, 8)],
        "battery_V": round(frame[16] * BATTERY_VOLTS_PER_STEP + BATTERY_BASE_VOLTS, 3),
    }


def _handle_error(p: bytes) -> Fields:
    device_id, code = struct.unpack_from("<HB", p)
    return {"device_id": device_id, "error_code": code}


def _nothing(p: bytes) -> Fields:
    return {}


@dataclass(frozen=True)
class Layout:
    """One message: its name, the payload length after the code (or a
    function of the bytes so far that gives it, None while it is not known
    yet) and the decoder of its fields (handed the payload)."""

    name: str
    length: Callable[[bytes], int | None]
    fields: Callable[[bytes], Fields]


def fixed(length: int) -> Callable[[bytes], int | None]:
    return lambda payload: length


def _handle_state_length(p: bytes) -> int | None:
    if len(p) < HANDLE_STATE_HEADER_PAYLOAD_LENGTH:
        return None
    return HANDLE_STATE_HEADER_PAYLOAD_LENGTH + p[HANDLE_STATE_HEADER_PAYLOAD_LENGTH - 1]


def _status_message_length(p: bytes) -> int | None:
    if len(p) <= HANDLE_MESSAGE_USER_DATA_LENGTH_OFFSET:
        return None
    return HANDLE_STATUS_MESSAGE_LENGTH + p[HANDLE_MESSAGE_USER_DATA_LENGTH_OFFSET]


REQUESTS: dict[int, Layout] = {
    DEVICE_WAKEUP: Layout("DeviceWakeup", fixed(0), _nothing),
    ARM_ORIENTATION_REQUEST: Layout("OrientationRequest", fixed(0), _nothing),
    ARM_PARAMETER_REQUEST: Layout(
        "ParameterRequest", fixed(ARM_PARAMETER_REQUEST_PAYLOAD_LENGTH), _parameter_request
    ),
    ARM_JOINT_TORQUES: Layout("JointTorques", fixed(ARM_VECTOR_PAYLOAD_LENGTH), _vector("torques")),
    ARM_JOINT_ANGLES: Layout("JointAngles", fixed(ARM_VECTOR_PAYLOAD_LENGTH), _vector("angles")),
    ARM_END_EFFECTOR_FORCE: Layout(
        "EndEffectorForce", fixed(ARM_VECTOR_PAYLOAD_LENGTH), _vector("force")
    ),
    ARM_END_EFFECTOR_POSITION: Layout(
        "EndEffectorPosition", fixed(ARM_VECTOR_PAYLOAD_LENGTH), _vector("position")
    ),
    ARM_TEMPERATURE_REQUEST: Layout("TemperatureRequest", fixed(0), _nothing),
    ARM_CURRENT_REQUEST: Layout("CurrentRequest", fixed(0), _nothing),
    ARM_POWER_STATUS_REQUEST: Layout("PowerStatusRequest", fixed(0), _nothing),
    HANDLE_STATUS_REQUEST: Layout("HandleStatusRequest", fixed(0), _nothing),
    HANDLE_STATE: Layout("HandleState", _handle_state_length, _handle_state),
}

STATUS_MESSAGE = Layout("HandleStatusMessage", _status_message_length, _status_message)
STATUS_FRAME = Layout("HandleStatusFrame", fixed(HANDLE_STATUS_FRAME_LENGTH), _status_frame)

REPLIES: dict[int, Layout] = {
    ARM_DEVICE_INFO: Layout("DeviceInfo", fixed(ARM_DEVICE_INFO_LENGTH), _arm_info),
    ARM_ORIENTATION_REPLY: Layout(
        "OrientationReply", fixed(ARM_ORIENTATION_LENGTH), lambda p: {"quaternion": floats(p, 4)}
    ),
    # The selector byte is counted in the payload here.
    ARM_PARAMETER_REPLY: Layout(
        "ParameterReply", fixed(1 + ARM_PARAMETER_LENGTH), _parameter_reply
    ),
    ARM_JOINT_STATE: Layout("JointState", fixed(ARM_STATE_LENGTH), _state("angles", "velocities")),
    ARM_END_EFFECTOR_STATE: Layout(
        "EndEffectorState", fixed(ARM_STATE_LENGTH), _state("position", "velocity")
    ),
    ARM_TEMPERATURE_REPLY: Layout(
        "TemperatureReply",
        fixed(ARM_TEMPERATURE_LENGTH),
        lambda p: {"temperature": floats(p, 1)[0]},
    ),
    ARM_CURRENT_REPLY: Layout("CurrentReply", fixed(ARM_CURRENT_LENGTH), _vector("currents")),
    ARM_POWER_STATUS_REPLY: Layout(
        "PowerStatusReply", fixed(ARM_POWER_STATUS_LENGTH), lambda p: {"powered": p[0] != 0}
    ),
    HANDLE_INFO_RESPONSE: Layout(
        "HandleInfoResponse", fixed(HANDLE_INFO_RESPONSE_LENGTH), _handle_info
    ),
    HANDLE_STATUS_MESSAGE: STATUS_MESSAGE,
    HANDLE_ERROR_RESPONSE: Layout(
        "HandleErrorResponse", fixed(HANDLE_ERROR_RESPONSE_LENGTH), _handle_error
    ),
}


@dataclass(frozen=True)
class Decoded:
    """One message taken from the stream, or a run of bytes that is none
    (`layout` None: shown as hex)."""

    raw: bytes
    layout: Layout | None

    @property
    def name(self) -> str:
        return self.layout.name if self.layout else "undecoded"

    def fields(self) -> Fields:
        if self.layout is None:
            return {}
        return self.layout.fields(self.raw[1:])


class StreamDecoder:
    """Cuts one direction's bytes into messages by their header codes.
    `layout_of(code)` gives the layout a code starts, or None for a byte that
    starts no message. Bytes of a message not complete yet are held until
    more come or flush() gives them up as hex."""

    def __init__(self, layout_of: Callable[[int], Layout | None]) -> None:
        self._layout_of = layout_of
        self._pending = bytearray()

    def feed(self, data: bytes) -> list[Decoded]:
        self._pending += data
        out: list[Decoded] = []
        unknown = bytearray()
        while self._pending:
            layout = self._layout_of(self._pending[0])
            if layout is None:
                unknown.append(self._pending.pop(0))
                continue
            length = layout.length(bytes(self._pending[1:]))
            if length is None or len(self._pending) < 1 + length:
                break
            if unknown:
                out.append(Decoded(bytes(unknown), None))
                unknown.clear()
            out.append(Decoded(bytes(self._pending[: 1 + length]), layout))
            del self._pending[: 1 + length]
        if unknown:
            out.append(Decoded(bytes(unknown), None))
        return out

    def pending(self) -> bool:
        return bool(self._pending)

    def flush(self) -> list[Decoded]:
        """What is held, as undecoded bytes: a message that never completed."""
        if not self._pending:
            return []
        held = Decoded(bytes(self._pending), None)
        self._pending.clear()
        return [held]


class Conversation:
    """Both directions of one port. A status reply (0xDA) comes in two forms
    that the bytes cannot tell apart: after a status request it is read as
    the stuffed frame (what the status reader expects), otherwise as the
    status message (what the receive loop expects)."""

    def __init__(self) -> None:
        self._status_requested = False
        self.requests = StreamDecoder(REQUESTS.get)
        self.replies = StreamDecoder(self._reply_layout)

    def _reply_layout(self, code: int) -> Layout | None:
        if code == HANDLE_STATUS_MESSAGE and self._status_requested:
            return STATUS_FRAME
        return REPLIES.get(code)

    def from_host(self, data: bytes) -> list[Decoded]:
        messages = self.requests.feed(data)
        if any(m.layout is REQUESTS[HANDLE_STATUS_REQUEST] for m in messages):
            self._status_requested = True
        return messages

    def from_device(self, data: bytes) -> list[Decoded]:
        messages = self.replies.feed(data)
        if any(m.layout is STATUS_FRAME for m in messages):
            self._status_requested = False
        return messages


def describe(message: Decoded) -> tuple[str, str]:
    """The message's name and its fields as text; undecoded bytes as hex."""
    if message.layout is None:
        return message.name, message.raw.hex(" ")
    text = " ".join(f"{key}={value}" for key, value in message.fields().items())
    return message.name, text
