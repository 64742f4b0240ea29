"""The arm's force exchange written the way a user would without the module:
pyserial, struct.pack and struct.unpack, one write of 13 bytes, a read of the
reply code and a read of the 24 payload bytes, two lists out."""

import struct

import serial

FORCE_REQUEST = 0x2A
FORCE_REPLY = 0x2B
STATE_LENGTH = 24


class PySerialArm:
    def __init__(self, path, timeout=5.0):
        self.port = serial.Serial(path, 115200, timeout=timeout)

    def end_effector_force(self, force):
        self.port.write(struct.pack("<B3f", FORCE_REQUEST, force[0], force[1], force[2]))
        code = self.port.read(1)
        if code != bytes([FORCE_REPLY]):
            raise OSError(f"unexpected reply code {code!r}")
        payload = self.port.read(STATE_LENGTH)
        if len(payload) != STATE_LENGTH:
            raise OSError(f"short reply: {len(payload)} of {STATE_LENGTH} bytes")
        values = struct.unpack("<6f", payload)
        return list(values[:3]), list(values[3:])

    def close(self):
        self.port.close()
