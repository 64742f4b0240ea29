"""The handle's events from a native reader thread: a HandleListener on a
virtual handle that streams status messages, for two seconds with a plain
`for` loop, then for two seconds in an asyncio program whose other task
keeps running. Each second it prints the events received, the newest
orientation, and what was dropped or skipped. Runs against a virtual handle.
"""

from __future__ import annotations

import asyncio
import time

import TorviHardwareAPI as T
from torvi.virtual import VirtualDevice
from TorviHardwareAPI.events import HandleListener, InfoEvent, StatusEvent

STREAM_HZ = 500
REPORTS = 2  # one a second: two seconds per way of listening
REPORT_EVERY = 1.0  # s


def report(listener: HandleListener, events: int, elapsed: float) -> None:
    latest = listener.latest
    orientation = ", ".join(f"{q:+.3f}" for q in latest.quaternion) if latest else "none yet"
    print(
        f"  {events / elapsed:6.0f} events/s  orientation [{orientation}]  "
        f"dropped {listener.dropped}  skipped {listener.skipped}"
    )


def with_threads(listener: HandleListener) -> None:
    """Blocking calls: the reader thread queues, this thread takes."""
    print("for event in listener:")
    listener.send_device_wakeup()
    # The answer comes among the streamed status messages.
    deadline = time.monotonic() + 1.0
    while time.monotonic() < deadline:
        event = listener.get(timeout=deadline - time.monotonic())
        if isinstance(event, InfoEvent):
            print(f"  info: device id {event.device_id:#06x}, firmware {event.firmware_version}")
            break
    # One byte of user data, which the handle reports back from now on.
    listener.send_handle_state(0x0042, b"\x7f")
    last = time.monotonic()
    events = reports = 0
    for event in listener:
        events += isinstance(event, StatusEvent)
        now = time.monotonic()
        if now - last >= REPORT_EVERY:
            report(listener, events, now - last)
            events, last, reports = 0, now, reports + 1
            if reports == REPORTS:
                break


async def with_asyncio(listener: HandleListener) -> None:
    """The same with `async for`; the ticker shows that the loop runs on."""
    print("async for event in listener.aiter():")
    ticks = 0

    async def ticker() -> None:
        nonlocal ticks
        while True:
            ticks += 1
            await asyncio.sleep(0.01)

    other = asyncio.create_task(ticker())
    last = time.monotonic()
    events = reports = 0
    async for event in listener.aiter():
        events += isinstance(event, StatusEvent)
        now = time.monotonic()
        if now - last >= REPORT_EVERY:
            report(listener, events, now - last)
            print(f"  the other task ticked {ticks} times meanwhile")
            events, last, ticks, reports = 0, now, 0, reports + 1
            if reports == REPORTS:
                break
    other.cancel()


def main() -> None:
    with VirtualDevice("handle", "--stream-hz", STREAM_HZ) as virtual_handle:
        stream = T.SerialStream(virtual_handle.path)
        handle = T.Handle(stream)
        with HandleListener(handle, maxlen=1024) as listener:
            with_threads(listener)
            asyncio.run(with_asyncio(listener))
        if listener.error is not None:
            print(f"the listener stopped by itself: {listener.error}")
        # Stopped: the handle is free for direct calls again.
        handle.SendDeviceWakeup()
        print("after stop(), Receive() read", handle.Receive(), "bytes")


if __name__ == "__main__":
    main()
