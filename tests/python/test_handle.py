"""The Python class Handle: construction, requests, the receive step with
Python overrides, the deprecated Receive, and the status reader."""

import gc
import threading
import time
import warnings
import weakref

import pytest

import TorviHardwareAPI as T
from support import (
    BAD_FRAME_STATUS,
    ERROR,
    INFO,
    QUATERNION,
    STATUS_KEYS,
    VALID_FRAME,
    RecordingHandle,
    status_message,
)

PURE_VIRTUAL = (
    'Tried to call pure virtual function "API::Devices::Handle::OnReceiveHandleStatusMessage"'
)


class StatusOnly(T.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.events = []

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, hall, length, data):
        self.events.append((device_id, quaternion, error_flag, hall, length, data))


class NoStatus(T.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.events = []

    def OnReceiveHandleInfo(self, *args):
        self.events.append(args)


# ---- The class and its signatures -----------------------------------------

SIGNATURES = {
    "__init__": "__init__(self: TorviHardwareAPI.Handle, arg0: TorviHardwareAPI.SerialStream)"
    " -> None\n",
    "SendDeviceWakeup": "SendDeviceWakeup(self: TorviHardwareAPI.Handle) -> None\n",
    "SendHandleState": "SendHandleState(self: TorviHardwareAPI.Handle, device_id: int = 0, "
    "data_length: int = 0, user_data: int = None) -> None\n\nsend handle state\n",
    "RequestStatus": "RequestStatus(self: TorviHardwareAPI.Handle) -> None\n\n"
    "request handle status\n",
    "OnReceiveHandleInfo": "OnReceiveHandleInfo(self: TorviHardwareAPI.Handle, "
    "tool_data_remaining: int, device_id: int, device_model_number: int, hardware_version: int, "
    "firmware_version: int) -> None\n\nOnReceiveHandleInfo\n",
    "OnReceiveHandleStatusMessage": "OnReceiveHandleStatusMessage(self: TorviHardwareAPI.Handle, "
    "device_id: int, quaternion: float, error_flag: int, hall_effect_sensor_level: int, "
    "user_data_length: int, user_data: int) -> None\n\nOnReceiveHandleStatusMessage\n",
    "OnReceiveHandleErrorResponse": "OnReceiveHandleErrorResponse(self: TorviHardwareAPI.Handle, "
    "device_id: int, error_code: int) -> None\n\nOnReceiveHandleErrorResponse\n",
    "Receive": "Receive(*args, **kwargs)\nOverloaded function.\n\n"
    "1. Receive(self: TorviHardwareAPI.Handle) -> int\n\nReceive data from the handle\n\n"
    "2. Receive(self: TorviHardwareAPI.Handle, obsolete: int) -> int\n\n"
    "[DEPRECATED] Receive current and return current\n",
    "GetQuillonetStatus": "GetQuillonetStatus(self: TorviHardwareAPI.Handle) -> dict\n\n"
    "Get the most recent Quillonet informations\n",
}


def test_class_docstring_methods_and_their_order():
    assert T.Handle.__doc__ == "The quillonet handle class"
    assert not issubclass(T.Handle, T.Device)
    own = [name for name in vars(T.Handle) if name in SIGNATURES]
    assert own == list(SIGNATURES)


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_signature_and_docstring(name):
    assert getattr(T.Handle, name).__doc__ == SIGNATURES[name]


@pytest.mark.parametrize("argument", [None, "/dev/null", 3])
def test_construction_needs_a_stream(argument):
    with pytest.raises(TypeError):
        T.Handle(argument)


def test_handle_keeps_its_stream_alive(pty):
    stream = T.SerialStream(pty.path)
    stream_ref = weakref.ref(stream)
    handle = T.Handle(stream)
    del stream
    gc.collect()
    assert stream_ref() is not None
    handle.SendDeviceWakeup()
    assert pty.read(1) == b"\x0a"
    del handle
    gc.collect()
    assert stream_ref() is None


# ---- Requests ----------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, wire",
    [
        ((1, 0, 0), {}, "DB 01 00 00"),
        ((1, 1, 0x7F), {}, "DB 01 00 01 7F"),
        ((0x2345, 0), {}, "DB 45 23 00"),
        ((), {}, "DB 00 00 00"),
        ((), {"device_id": 0xFFFF, "data_length": 1, "user_data": 0xC0}, "DB FF FF 01 C0"),
        ((7, 0, None), {}, "DB 07 00 00"),
    ],
)
def test_send_handle_state(pty, stream, args, kwargs, wire):
    T.Handle(stream).SendHandleState(*args, **kwargs)
    assert pty.drain() == bytes.fromhex(wire)


@pytest.mark.parametrize(
    "args, error",
    [
        ((70000, 0, 0), TypeError),
        ((-1, 0, 0), TypeError),
        ((1, 256, 0), TypeError),
        ((1, 0, 256), TypeError),
        ((1.0, 0, 0), TypeError),
        ((1, 1), ValueError),  # a length without user data
        ((1, 1, None), ValueError),
        ((1, 2, 5), ValueError),  # more than the one byte given
    ],
)
def test_send_handle_state_refusals_write_nothing(pty, stream, args, error):
    with pytest.raises(error):
        T.Handle(stream).SendHandleState(*args)
    assert pty.drain() == b""


def test_wakeup_and_status_request(pty, stream):
    handle = T.Handle(stream)
    handle.SendDeviceWakeup()
    assert pty.drain() == b"\x0a"
    handle.RequestStatus()
    assert pty.drain() == b"\xda"


# ---- Receive -------------------------------------------------------------------


@pytest.mark.parametrize(
    "reply, count",
    [(INFO, 6), (ERROR, 3), (status_message(1), 21), (status_message(1, b"\x01\x02\x03"), 24)],
)
def test_plain_handle_receive_returns_the_payload_count(pty, stream, reply, count):
    pty.write(reply)
    assert T.Handle(stream).Receive() == count


def test_overrides_receive_every_reply_in_order(pty, scripted, stream):
    handle = RecordingHandle(stream)
    device = scripted([(b"\x0a", INFO + ERROR + status_message(0x0102, b"\xc0\x00\xff"), 0.05)])
    handle.SendDeviceWakeup()
    assert [handle.Receive() for _ in range(3)] == [6, 3, 24]
    assert device.finish() == [b"\x0a"]
    assert handle.events == [
        ("info", (0x11, 0x4433, 0x44, 0x55, 0x66)),
        ("error", (0x1234, 7)),
        ("status", (0x0102, list(QUATERNION), 2, 31, 3, [0xC0, 0x00, 0xFF])),
    ]


@pytest.mark.parametrize("user_data", [b"", b"\x07", bytes(range(255))])
def test_status_override_gets_python_values(pty, stream, user_data):
    handle = StatusOnly(stream)
    pty.write(INFO + ERROR + status_message(0xBEEF, user_data, error_flag=9, hall=200))
    assert handle.Receive() == 6
    assert handle.Receive() == 3
    assert handle.Receive() == 21 + len(user_data)
    [(device_id, quaternion, error_flag, hall, length, data)] = handle.events
    assert (device_id, error_flag, hall, length) == (0xBEEF, 9, 200, len(user_data))
    assert all(type(value) is int for value in (device_id, error_flag, hall, length))
    assert type(quaternion) is list and quaternion == list(QUATERNION)
    assert all(type(value) is float for value in quaternion)
    assert type(data) is list and data == list(user_data)


def test_missing_status_override_raises_and_the_next_receive_goes_on(pty, stream):
    handle = NoStatus(stream)
    pty.write(status_message(5, b"\x01\x02") + INFO)
    with pytest.raises(RuntimeError) as raised:
        handle.Receive()
    assert str(raised.value) == PURE_VIRTUAL
    assert handle.Receive() == 6
    assert handle.events == [(0x11, 0x4433, 0x44, 0x55, 0x66)]


def test_exception_from_an_override_reaches_the_caller(pty, stream):
    class Failing(RecordingHandle):
        def OnReceiveHandleErrorResponse(self, device_id, error_code):
            raise ValueError(f"device {device_id} failed with {error_code}")

    handle = Failing(stream)
    pty.write(ERROR + status_message(3))
    with pytest.raises(ValueError, match="device 4660 failed with 7"):
        handle.Receive()
    assert handle.Receive() == 21
    assert [name for name, _ in handle.events] == ["status"]


def test_super_reaches_the_native_handler_without_recursing(pty, stream):
    class Chaining(T.Handle):
        events = []

        def OnReceiveHandleInfo(self, *args):
            super().OnReceiveHandleInfo(*args)
            T.Handle.OnReceiveHandleInfo(self, *args)
            self.events.append(("info", args))

    handle = Chaining(stream)
    pty.write(INFO)
    assert handle.Receive() == 6
    assert handle.events == [("info", (0x11, 0x4433, 0x44, 0x55, 0x66))]


def test_direct_native_status_call_fills_the_rest_with_zeros(stream):
    # Called through the class, the native handler forwards to the override.
    handle = StatusOnly(stream)
    T.Handle.OnReceiveHandleStatusMessage(handle, 1, 0.5, 2, 3, 4, 9)
    T.Handle.OnReceiveHandleStatusMessage(handle, 1, 0.5, 2, 3, 255, 9)
    T.Handle.OnReceiveHandleStatusMessage(handle, 1, 0.5, 2, 3, 0, 9)
    assert handle.events[0] == (1, [0.5, 0.0, 0.0, 0.0], 2, 3, 4, [9, 0, 0, 0])
    assert handle.events[1][5] == [9] + [0] * 254
    assert handle.events[2][5] == []


def test_direct_handler_calls(stream):
    plain = T.Handle(stream)
    assert plain.OnReceiveHandleStatusMessage(1, 0.5, 2, 3, 255, 9) is None
    assert plain.OnReceiveHandleInfo(1, 2, 3, 4, 5) is None
    assert plain.OnReceiveHandleErrorResponse(device_id=65535, error_code=255) is None
    recorder = RecordingHandle(stream)
    T.Handle.OnReceiveHandleErrorResponse(recorder, device_id=65535, error_code=255)
    assert recorder.events == [("error", (65535, 255))]
    with pytest.raises(RuntimeError) as raised:
        NoStatus(stream).OnReceiveHandleStatusMessage(1, 0.5, 2, 3, 4, 9)
    assert str(raised.value) == PURE_VIRTUAL
    with pytest.raises(TypeError):
        T.Handle.OnReceiveHandleInfo(recorder, 256, 2, 3, 4, 5)
    assert recorder.events == [("error", (65535, 255))]


def test_other_threads_run_while_receive_waits(pty, scripted, stream):
    handle = RecordingHandle(stream)
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        scripted([(b"\x0a", INFO, 0.6)])
        handle.SendDeviceWakeup()
        start = time.monotonic()
        assert handle.Receive() == 6
        end = time.monotonic()
    finally:
        stop.set()
        ticker.join()
    assert handle.events == [("info", (0x11, 0x4433, 0x44, 0x55, 0x66))]
    assert any(start + 0.1 < tick_time < end - 0.1 for tick_time in ticks)


def test_receive_on_a_worker_thread_calls_the_override_there(pty, stream):
    class ThreadNoting(T.Handle):
        threads = []

        def OnReceiveHandleStatusMessage(self, *args):
            self.threads.append(threading.get_ident())

    handle = ThreadNoting(stream)
    results = []
    worker = threading.Thread(target=lambda: results.append(handle.Receive()))
    pty.write(status_message(1, b"\x05"))
    worker.start()
    worker.join(10)
    assert results == [22]
    assert handle.threads == [worker.ident]


# ---- The deprecated Receive -----------------------------------------------------


@pytest.mark.parametrize("call", [lambda h: h.Receive(7), lambda h: h.Receive(obsolete=255)])
def test_receive_with_an_argument_warns_then_receives(pty, stream, call):
    handle = RecordingHandle(stream)
    pty.write(INFO)
    message = "^Receive with one argument is deprecated$"
    with pytest.warns(DeprecationWarning, match=message) as record:
        assert call(handle) == 6
    assert len(record) == 1
    assert record[0].filename == __file__
    assert handle.events == [("info", (0x11, 0x4433, 0x44, 0x55, 0x66))]


def test_receive_with_a_bad_argument_neither_warns_nor_reads(pty, stream):
    handle = RecordingHandle(stream)
    pty.write(INFO)
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        with pytest.raises(TypeError):
            handle.Receive(300)
    assert record == []
    assert handle.Receive() == 6


def test_warning_turned_error_is_raised_after_the_reply_was_read(pty, stream):
    handle = RecordingHandle(stream)
    pty.write(INFO + ERROR)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            handle.Receive(1)
    assert handle.events == [("info", (0x11, 0x4433, 0x44, 0x55, 0x66))]
    assert handle.Receive() == 3


# ---- The status reader --------------------------------------------------------------


def test_status_dict_from_a_valid_frame(pty, stream):
    pty.write(b"\x55\xd0" + VALID_FRAME)
    status = T.Handle(stream).GetQuillonetStatus()
    assert list(status) == STATUS_KEYS
    assert status == {
        "device_id": 0x42,
        "quaternion": [-1.0, 0.5, 0.999969482421875, 0.0],
        "error_flag": 3,
        "hall_effect_sensor_level": 22,
        "buttons": 5,
        "battery_level": 3.5,
    }
    assert all(type(value) is float for value in status["quaternion"])
    assert type(status["battery_level"]) is float


@pytest.mark.parametrize(
    "battery, volts", [(0, 3.0), (1, 3.005000114440918), (255, 4.275000095367432)]
)
def test_status_battery_level_has_float_precision(pty, stream, battery, volts):
    frame = bytearray(VALID_FRAME)
    frame[17] = battery
    pty.write(bytes(frame))
    assert T.Handle(stream).GetQuillonetStatus()["battery_level"] == volts


def test_status_bad_frame(pty, stream):
    frame = bytearray(VALID_FRAME)
    frame[6] = 0xC0  # an END byte among the first 17
    pty.write(bytes(frame))
    assert T.Handle(stream).GetQuillonetStatus() == BAD_FRAME_STATUS


@pytest.mark.slow
def test_status_from_a_silent_device(stream):
    status = T.Handle(stream).GetQuillonetStatus()
    assert list(status.items()) == [
        ("device_id", 0),
        ("quaternion", [0.0] * 4),
        ("error_flag", 2),
        ("hall_effect_sensor_level", 0),
        ("buttons", 0),
        ("battery_level", 0.0),
    ]


@pytest.mark.slow
def test_status_search_after_a_stray_byte_is_bounded(pty, stream):
    handle = T.Handle(stream)
    pty.write(b"\x55")
    start = time.monotonic()
    status = handle.GetQuillonetStatus()
    elapsed = time.monotonic() - start
    assert status["error_flag"] == 2
    # Two time-outs of 5 s, then at most one more wait of 5 to 6 s.
    assert 10.0 <= elapsed < 20.0
