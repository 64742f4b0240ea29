"""Writes the seed corpus of the fuzz targets: a few well-formed and a few
broken inputs for each, so that a short run starts from every reply kind.
Run it again after changing a seed; the files are committed."""

import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent / "corpus"


def floats(*values):
    return struct.pack(f"<{len(values)}f", *values)


def q15(*values):
    return struct.pack(f"<{len(values)}h", *values)


IDENTIFIER = bytes(range(0x10, 0x20))

# Byte 0 picks the first operation (see fuzz_arm_replies.cpp); the rest is
# what the arm sends.
ARM = {
    "wakeup_info": bytes([0]) + b"\x0b" + struct.pack("<HBBB", 0x1234, 4, 2, 7) + IDENTIFIER,
    "firmware_version": bytes([1]) + b"\x0d\xd2\x10" + b"1.4.2-virtual\0\0\0",
    "device_id_wrong_selector": bytes([2]) + b"\x0d\xd2\x10" + IDENTIFIER,
    "device_id_bad_length": bytes([2]) + b"\x0d\xd1\x0f" + IDENTIFIER,
    "currents": bytes([3]) + b"\xab" + floats(0.1, -0.2, 0.3),
    "orientation": bytes([4]) + b"\x0c" + floats(0.0, 0.7071, 0.0, 0.7071),
    "power": bytes([5]) + b"\xac\x02",
    "temperature_nan": bytes([6]) + b"\xaa" + b"\x00\x00\xc0\x7f",
    "force_state": bytes([7]) + b"\x2b" + floats(0.0, 0.0245, 0.2146, 1.0, -1.0, 0.5),
    "host_position_joint_state": bytes([9]) + b"\x1b" + floats(10.0, -45.0, 60.0, 0, 0, 0),
    "wrong_code": bytes([7]) + b"\xee" + bytes(24),
    "short_state": bytes([7]) + b"\x2b" + floats(1.0, 2.0),
}

STATUS_FIXED = struct.pack("<HBB", 0x0221, 0, 0x1F) + floats(0.5, -1.0, 0.25, 2.0)

# Byte 0: bit 0 runs the status reader, bit 1 makes the handlers throw.
HANDLE = {
    "info": b"\x00" + b"\xd0\x11\x22\x33\x44\x55\x66",
    "error": b"\x00" + b"\xdf\x34\x12\x07",
    "status_no_user_data": b"\x00" + b"\xda" + STATUS_FIXED + b"\x00",
    "status_user_data": b"\x00" + b"\xda" + STATUS_FIXED + b"\x03\xaa\xbb\xcc",
    "stray_then_info": b"\x00" + b"\x55\xd0\x11\x22\x33\x44\x55\x66",
    "throwing_status": b"\x02" + b"\xda" + STATUS_FIXED + b"\x01\x7f" + b"\xdf\x01\x00\x09",
    "reader_frame": b"\x01"
    + b"\xda"
    + bytes(2)
    + b"\x00\xa5\x21"
    + bytes(3)
    + q15(-32768, 16384, 32767, 0)
    + b"\x64\x00",
    "reader_stray_bytes": b"\x01" + b"\x10\x20\x30\xda" + bytes(17) + b"\xdb\xdc",
    "reader_bad_frame": b"\x01" + b"\xda" + bytes(5) + b"\xc0" + bytes(13),
}

# Byte 0: the status requests written before (bits 0-1) and the cuts of the
# reads (the rest); then what the handle sends.
EVENTS = {
    "every_kind": b"\x04"
    + b"\xd0\x11\x22\x33\x44\x55\x66\x55\xda"
    + STATUS_FIXED
    + b"\x02\xaa\xbb\xdf\x34\x12\x07",
    "frame_then_message": b"\x09\xda" + bytes(19) + b"\xda" + STATUS_FIXED + b"\x00",
    "incomplete": b"\x20\xda" + STATUS_FIXED[:7],
}

FRAME_PLAIN = bytes(2) + b"\x01\xa5\x21" + bytes(3) + q15(-32768, 16384, 32767, 0) + b"\xff\x00\x00"
STATUS = {
    "plain": FRAME_PLAIN,
    "escape_end_last": FRAME_PLAIN[:17] + b"\xdb\xdc",
    "escape_esc_last": FRAME_PLAIN[:17] + b"\xdb\xdd",
    "lone_escape_last": FRAME_PLAIN[:17] + b"\xdb\x00",
    "end_in_middle": FRAME_PLAIN[:6] + b"\xc0" + FRAME_PLAIN[7:],
    "escape_pair_in_middle": FRAME_PLAIN[:6] + b"\xdb\xdc" + FRAME_PLAIN[8:],
    "all_end": b"\xc0" * 19,
}


def fixed(*values):
    """Coordinates as fuzz_mesh.cpp reads them when not raw: a signed byte
    of 1/64 steps and a byte of 1/16384 steps."""
    out = b""
    for value in values:
        whole = int(value * 64) if value >= 0 else -int(-value * 64)
        out += bytes([whole & 0xFF, int(round((value - whole / 64) * 16384)) & 0xFF])
    return out


TETRAHEDRON = fixed(0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1)
TETRAHEDRON_FACES = bytes(i + 4 for i in (0, 2, 1, 0, 1, 3, 0, 3, 2, 1, 2, 3))
# Byte 0: vertices and the raw-float flag (0x20); byte 1: faces.
MESH = {
    "tetrahedron_queries_and_hands": bytes([4, 4])
    + TETRAHEDRON
    + TETRAHEDRON_FACES
    + fixed(0.2, 0.2, 1.5, 0.2, 0.2, -1.0, 0, 0, 0, 1, 1, 1)
    + fixed(0.2, 0.2, 0.5, 0.2, 0.2, 0.1, 0.3, 0.3, -0.5, 0.2, 0.2, 0.1),
    "index_out_of_range": bytes([4, 1]) + TETRAHEDRON + bytes([4, 5, 40]),
    "raw_nan": bytes([0x23, 1])
    + floats(0, 0, 0, 1, 0, 0)
    + b"\x00\x00\xc0\x7f"
    + floats(1, 1)
    + bytes([4, 5, 6]),
    "all_zero_area": bytes([3, 2]) + fixed(0, 0, 0, 1, 1, 1, 2, 2, 2) + bytes([4, 5, 6, 4, 4, 5]),
}


def main():
    for target, seeds in (
        ("arm_replies", ARM),
        ("handle_events", EVENTS),
        ("handle_receive", HANDLE),
        ("status_frame", STATUS),
        ("mesh", MESH),
    ):
        folder = HERE / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
