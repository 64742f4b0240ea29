"""Lab Streaming Layer streams of a HapticLoop and a HandleListener, for the
lab's LSL recorder (LabRecorder writes them to an XDF file) and any other
LSL consumer on the network.

    with torvi.lsl.stream_loop(loop), torvi.lsl.stream_markers(loop), loop:
        ...

- `stream_loop(loop)`: "TorviArm", one LSL sample per cycle, the record's
  numeric columns as channels, pushed every 10 ms from a reader of its own
  (loop.reader()), each stamped with its cycle's reply time.
- `stream_handle(listener)`: "TorviHandle", one sample per handle event, its
  kind and fields as text, stamped with the event's time, from a tap of the
  listener (listener.tap()), which takes nothing from the program's own
  iteration.
- `stream_markers(loop, listener)`: "TorviMarkers", what happened to them
  (started, stopped, effects added and removed, a MoveTo arrived, errors),
  looked for every 10 ms.

The record's and the events' times are CLOCK_MONOTONIC seconds (the clock of
time.monotonic()); pylsl.local_clock() is std::chrono::steady_clock, which on
Linux is CLOCK_MONOTONIC too. Each stream measures the offset between the two
once, at its start (ClockMap), and adds it to every time it pushes.

pylsl comes with the extra "lsl"."""

from __future__ import annotations

import importlib
import threading
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable

from ._worker import Worker

if TYPE_CHECKING:
    from TorviHardwareAPI.events import EventTap, HandleListener
    from TorviHardwareAPI.haptics import HapticLoop, SampleReader, Samples

EXTRA = "lsl"
PYLSL_MISSING = f"LSL streams need pylsl: pip install 'torvihardwareapi[{EXTRA}]'"
# How often each stream pushes what came since its last push, seconds.
PUSH_INTERVAL = 0.01
# Paired clock reads taken to measure the offset; the tightest pair counts.
CLOCK_READS = 16

LOOP_STREAM = "TorviArm"
HANDLE_STREAM = "TorviHandle"
MARKER_STREAM = "TorviMarkers"

# The record's units by column, as Samples.columns() names them.
COLUMN_UNITS = {
    "cycle": "count",
    "time": "s",
    "position": "m",
    "velocity": "m/s",
    "requested": "device units",
    "force": "device units",
    "period_us": "us",
    "energy": "J",
    "passivity_damping": "N*s/m",
}
# The channels of the handle's stream after its first, the kind: every field
# any kind of event carries, empty in the events that lack it.
HANDLE_FIELDS = (
    "device_id",
    "quaternion_0",
    "quaternion_1",
    "quaternion_2",
    "quaternion_3",
    "error_flag",
    "hall_effect_sensor_level",
    "buttons",
    "battery_level",
    "user_data_length",
    "user_data",
    "tool_data_remaining",
    "device_model_number",
    "hardware_version",
    "firmware_version",
    "error_code",
)
MARKER_CHANNELS = ("marker", "detail")


def _pylsl() -> Any:
    try:
        return importlib.import_module("pylsl")
    except ImportError:
        raise ImportError(PYLSL_MISSING) from None


@dataclass(frozen=True)
class ClockMap:
    """LSL's clock against CLOCK_MONOTONIC: lsl = monotonic + offset, both
    in seconds. `uncertainty` is the time the tightest pair of reads took
    (the offset is within it)."""

    offset: float
    uncertainty: float

    @classmethod
    def measure(cls, local_clock: Callable[[], float]) -> ClockMap:
        best: tuple[int, float] | None = None
        for _ in range(CLOCK_READS):
            before = time.monotonic_ns()
            lsl = local_clock()
            after = time.monotonic_ns()
            offset = lsl - (before + after) / 2e9
            if best is None or after - before < best[0]:
                best = (after - before, offset)
        assert best is not None
        return cls(offset=best[1], uncertainty=best[0] / 1e9)

    def to_lsl(self, monotonic_s: float) -> float:
        return monotonic_s + self.offset


class _Pusher(Worker):
    """A stream's outlet and the thread that pushes to it every `interval`
    seconds until stop(), which pushes what is left. A failure of the thread
    ends the stream, never the loop or the listener; `error` keeps it and
    leaving the `with` block raises it."""

    name: str  # the stream's, set by each kind of stream
    source_id: str

    def __init__(self, interval: float) -> None:
        if not interval > 0:
            raise ValueError(f"interval must be a positive number of seconds, got {interval!r}")
        self.pylsl = _pylsl()
        self.interval = interval
        self.pushed = 0  # samples pushed
        self.cpu_seconds = 0.0  # the pushing thread's processor time
        self.error: BaseException | None = None
        self.clock = ClockMap.measure(self.pylsl.local_clock)  # measured again at start
        self.outlet: Any = None
        self._stopping = threading.Event()
        self._thread: threading.Thread | None = None

    def start(self) -> None:
        if self._thread is not None:
            raise RuntimeError("this stream has already started")
        self.clock = ClockMap.measure(self.pylsl.local_clock)
        self.outlet = self.pylsl.StreamOutlet(self._info())
        self._begin()
        self._thread = threading.Thread(target=self._run, name="torvi-lsl", daemon=True)
        self._thread.start()

    def stop(self) -> None:
        """Pushes what is left and closes the outlet; any number of times."""
        if self._thread is None or self.outlet is None:
            return
        self._stopping.set()
        self._thread.join()
        try:
            if self.error is None:
                self._push()
        finally:
            self.outlet = None  # the outlet goes with its last reference

    def _run(self) -> None:
        started = time.thread_time()
        try:
            while not self._stopping.wait(self.interval):
                self._push()
        except Exception as error:
            self.error = error
        finally:
            self.cpu_seconds = time.thread_time() - started

    def _stream_info(
        self,
        name: str,
        kind: str,
        channels: list[tuple[str, str]],
        rate: float,
        channel_format: Any,
        source_id: str,
    ) -> Any:
        """A StreamInfo whose description names each channel and its unit."""
        info = self.pylsl.StreamInfo(
            name, kind, len(channels), rate, channel_format, source_id or name
        )
        described = info.desc().append_child("channels")
        for label, unit in channels:
            channel = described.append_child("channel")
            channel.append_child_value("label", label)
            channel.append_child_value("unit", unit)
        info.desc().append_child("clock").append_child_value(
            "offset_from_monotonic_s", repr(self.clock.offset)
        )
        return info

    def _marker_info(self, labels: tuple[str, ...]) -> Any:
        """The StreamInfo of an irregular stream of text channels, no units."""
        channels = [(label, "") for label in labels]
        return self._stream_info(
            self.name,
            "Markers",
            channels,
            self.pylsl.IRREGULAR_RATE,
            self.pylsl.cf_string,
            self.source_id,
        )

    def _info(self) -> Any:
        raise NotImplementedError

    def _begin(self) -> None:
        """On start, once the outlet is there."""

    def _push(self) -> None:
        raise NotImplementedError


class LoopStream(_Pusher):
    """stream_loop's stream. `pushed` counts the cycles pushed, `dropped` those
    its reader lost to a full record before it took them."""

    def __init__(self, loop: HapticLoop, name: str, interval: float, source_id: str) -> None:
        super().__init__(interval)
        self.loop = loop
        self.name = name
        self.source_id = source_id
        self.dropped = 0
        self._reader: SampleReader | None = None
        # The channels of an empty batch: the same for every batch of a loop.
        self.columns = list(loop.reader().samples().columns())

    def _info(self) -> Any:
        rate = self.loop.rate_hz or self.pylsl.IRREGULAR_RATE
        channels = [(column, _unit(column)) for column in self.columns]
        return self._stream_info(
            self.name, "Haptics", channels, rate, self.pylsl.cf_double64, self.source_id
        )

    def _begin(self) -> None:
        self._reader = self.loop.reader()

    def _push(self) -> None:
        assert self._reader is not None
        samples = self._reader.samples()
        self.dropped += samples.dropped
        if len(samples):
            self.outlet.push_chunk(_rows(samples), [self.clock.to_lsl(t) for t in samples.time])
            self.pushed += len(samples)


def _unit(column: str) -> str:
    return COLUMN_UNITS.get(column, COLUMN_UNITS.get(column.rsplit("_", 1)[0], ""))


def _rows(samples: Samples) -> Any:
    """The batch as an (n, channels) float64 array in the columns' order."""
    import numpy

    columns = list(samples.columns().values())
    return numpy.column_stack(columns).astype(numpy.float64, copy=False)


class HandleStream(_Pusher):
    """stream_handle's stream. `pushed` counts the events pushed; `dropped`
    those its tap lost because it was full (the listener's own queue is not
    touched)."""

    def __init__(
        self, listener: HandleListener, name: str, interval: float, source_id: str, maxlen: int
    ) -> None:
        super().__init__(interval)
        self.listener = listener
        self.name = name
        self.source_id = source_id
        self.maxlen = maxlen
        self._tap: EventTap | None = None

    @property
    def dropped(self) -> int:
        return self._tap.dropped if self._tap is not None else 0

    def _info(self) -> Any:
        return self._marker_info(("kind", *HANDLE_FIELDS))

    def _begin(self) -> None:
        self._tap = self.listener.tap(self.maxlen)

    def _push(self) -> None:
        assert self._tap is not None
        events = self._tap.take()
        if events:
            rows = [handle_row(event) for event in events]
            self.outlet.push_chunk(rows, [self.clock.to_lsl(event.time) for event in events])
            self.pushed += len(events)


def handle_row(event: Any) -> list[str]:
    """One event as the handle stream's channels: its kind, then each field
    of HANDLE_FIELDS as text ("" where the event has none; numbers in their
    shortest round-trip form, user data in hex)."""
    fields: dict[str, Any] = {}
    for field in HANDLE_FIELDS:
        if hasattr(event, field):
            fields[field] = getattr(event, field)
    if hasattr(event, "quaternion"):
        for i, value in enumerate(event.quaternion):
            fields[f"quaternion_{i}"] = value
    if "user_data" in fields:
        fields["user_data"] = bytes(fields["user_data"]).hex()
    return [str(event.kind)] + [_text(fields.get(field)) for field in HANDLE_FIELDS]


def _text(value: Any) -> str:
    return "" if value is None else repr(value) if isinstance(value, float) else str(value)


class MarkerStream(_Pusher):
    """stream_markers' stream: two text channels, the marker and its detail,
    each stamped when it was seen (within one interval of when it happened).
    Markers: loop_started, loop_stopped, loop_error (detail: why),
    effect_added and effect_removed (detail: the effect's class),
    move_to_arrived, listener_error (detail: why)."""

    def __init__(
        self,
        loop: HapticLoop | None,
        listener: HandleListener | None,
        name: str,
        interval: float,
        source_id: str,
    ) -> None:
        super().__init__(interval)
        self.loop = loop
        self.listener = listener
        self.name = name
        self.source_id = source_id
        self.markers: list[tuple[str, str]] = []  # every marker pushed, in order
        self._running = False
        self._effects: dict[int, Any] = {}
        self._arrived: set[int] = set()
        self._errors: dict[str, str | None] = {"loop_error": None, "listener_error": None}

    def _info(self) -> Any:
        return self._marker_info(MARKER_CHANNELS)

    def _push(self) -> None:
        seen: list[tuple[str, str]] = []
        if self.loop is not None:
            self._look_at_loop(self.loop, seen)
        if self.listener is not None:
            self._look_for_error("listener_error", self.listener.error, seen)
        if seen:
            now = self.pylsl.local_clock()
            self.outlet.push_chunk([list(marker) for marker in seen], [now] * len(seen))
            self.markers.extend(seen)
            self.pushed += len(seen)

    def _look_at_loop(self, loop: HapticLoop, seen: list[tuple[str, str]]) -> None:
        running = loop.running
        if running and not self._running:
            seen.append(("loop_started", ""))
        effects = {id(effect): effect for effect in loop.effects}
        for key in effects.keys() - self._effects.keys():
            seen.append(("effect_added", type(effects[key]).__name__))
        for key in self._effects.keys() - effects.keys():
            seen.append(("effect_removed", type(self._effects[key]).__name__))
            self._arrived.discard(key)
        self._effects = effects
        for key, effect in effects.items():
            # Only a MoveTo has `arrived`; each arrival is marked once.
            if not getattr(effect, "arrived", False):
                self._arrived.discard(key)
            elif key not in self._arrived:
                seen.append(("move_to_arrived", type(effect).__name__))
                self._arrived.add(key)
        self._look_for_error("loop_error", loop.error, seen)
        if self._running and not running:
            seen.append(("loop_stopped", ""))
        self._running = running

    def _look_for_error(self, marker: str, error: str | None, seen: list[tuple[str, str]]) -> None:
        if error is not None and error != self._errors[marker]:
            seen.append((marker, error))
        self._errors[marker] = error


def stream_loop(
    loop: HapticLoop,
    name: str = LOOP_STREAM,
    *,
    interval: float = PUSH_INTERVAL,
    source_id: str = "",
) -> LoopStream:
    """An LSL stream `name` of every cycle of `loop` from its start on, a
    context manager (or start() and stop()). Its channels are the record's
    columns (Samples.columns(): cycle, time, position_x ... period_us, and
    energy and passivity_damping for a loop made with passivity), float64,
    each labelled with its unit in the stream's description; its nominal
    rate is the loop's rate_hz, or irregular (0) for a free-running loop.
    Every `interval` seconds a reader of its own pushes what came, each
    sample stamped with its cycle's reply time on LSL's clock. The loop
    never waits for the stream, nor the stream for a consumer: with none,
    pushing costs the stream's thread only. ImportError naming the extra
    when pylsl is missing."""
    return LoopStream(loop, name, interval, source_id)


def stream_handle(
    listener: HandleListener,
    name: str = HANDLE_STREAM,
    *,
    interval: float = PUSH_INTERVAL,
    source_id: str = "",
    maxlen: int = 4096,
) -> HandleStream:
    """An LSL stream `name` with one sample per event `listener` queues from
    the stream's start on: its kind and its fields (HANDLE_FIELDS) as text
    channels, stamped with the event's own time on LSL's clock. The events
    come from a tap of the listener (holding `maxlen`), so the program
    iterates the listener as before and loses nothing to the stream."""
    return HandleStream(listener, name, interval, source_id, maxlen)


def stream_markers(
    loop: HapticLoop | None = None,
    listener: HandleListener | None = None,
    name: str = MARKER_STREAM,
    *,
    interval: float = PUSH_INTERVAL,
    source_id: str = "",
) -> MarkerStream:
    """An LSL marker stream `name` of what happens to `loop` and `listener`
    (see MarkerStream), looked for every `interval` seconds: a change that
    comes and goes within one interval (an effect added and removed at once)
    is not seen."""
    return MarkerStream(loop, listener, name, interval, source_id)
