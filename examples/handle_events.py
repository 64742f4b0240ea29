"""Handle events through a subclass: Receive() reads one message of the handle
and calls the matching handler. A subclass overrides the handlers it wants;
OnReceiveHandleStatusMessage is required as soon as status messages can
arrive. Runs against two virtual handles: one that streams status messages,
one that answers its wakeup with an error response."""

from __future__ import annotations

import TorviHardwareAPI as T
from torvi.virtual import VirtualDevice

STATUS_EVENTS = 5
RECEIVE_LIMIT = 50  # Receive() calls before giving up on an event
USER_BYTE = 0x7F  # sent to the handle, reported back in its status


class PrintingHandle(T.Handle):
    def __init__(self, stream: T.SerialStream) -> None:
        super().__init__(stream)
        self.events = 0

    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
    ) -> None:
        self.events += 1
        print(
            f"  info: device id {device_id:#06x}, model {device_model_number}, "
            f"hardware {hardware_version}, firmware {firmware_version}"
        )

    # Receive() passes lists here; called directly from Python the method
    # takes one float and one byte, which is what the stub declares.
    def OnReceiveHandleStatusMessage(  # type: ignore[override]
        self,
        device_id: int,
        quaternion: list[float],
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: list[int],
    ) -> None:
        self.events += 1
        components = ", ".join(f"{q:+.4f}" for q in quaternion)
        print(
            f"  status: device id {device_id:#06x}, quaternion [{components}], "
            f"error flag {error_flag}, hall {hall_effect_sensor_level}, "
            f"user data {user_data} ({user_data_length} bytes)"
        )

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        self.events += 1
        print(f"  error response: device id {device_id:#06x}, error code {error_code}")

    def receive_events(self, count: int) -> None:
        """Calls Receive() until `count` more events have arrived. Receive()
        returns the payload bytes read, or -1 after a time-out or an
        unrecognised message."""
        target = self.events + count
        for _ in range(RECEIVE_LIMIT):
            if self.events >= target:
                return
            self.Receive()
        raise RuntimeError(f"no {count} events within {RECEIVE_LIMIT} Receive() calls")


def woken_handle(port: VirtualDevice) -> PrintingHandle:
    """A handle on the virtual device's port, woken, its answer to the wakeup
    received and printed. The handle keeps its stream alive."""
    handle = PrintingHandle(T.SerialStream(port.path))
    handle.SendDeviceWakeup()
    handle.receive_events(1)
    return handle


def main() -> None:
    print("a streaming handle:")
    with VirtualDevice("handle", "--stream-hz", "20") as port:
        handle = woken_handle(port)
        # Device id 0x42 with one byte of user data; later status messages
        # carry the byte.
        handle.SendHandleState(0x42, 1, USER_BYTE)
        handle.receive_events(STATUS_EVENTS)

    print("a handle that answers its wakeup with an error:")
    with VirtualDevice("handle", "--wakeup-answer", "error") as port:
        woken_handle(port)


if __name__ == "__main__":
    main()
