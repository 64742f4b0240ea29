"""Recording a HapticLoop to a file while it runs.

    loop = HapticLoop(arm, rate_hz=1000.0)
    with Recorder(loop, "trial.csv") as recorder:
        with loop:
            ...
    print(recorder.written, recorder.dropped)

The file follows its suffix: ".csv" (the module alone, with numpy) or
".parquet" (pyarrow, the extra "record"). Its columns are those of
`Samples.columns()`: cycle, time, position_x ... force_z, period_us."""

from __future__ import annotations

import threading
import time
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Callable, Protocol, Union

if TYPE_CHECKING:
    from os import PathLike

    from TorviHardwareAPI.haptics import HapticLoop, Samples

    StrPath = Union[str, PathLike[str]]

# How often the background thread takes what the loop recorded, seconds.
DRAIN_INTERVAL = 0.1
EXTRA = "record"
PYARROW_MISSING = (
    f"writing a .parquet recording needs pyarrow: pip install 'torvihardwareapi[{EXTRA}]'"
)


class _Writer(Protocol):
    def write(self, samples: Samples) -> None: ...

    def close(self) -> None: ...


class _CsvWriter:
    """A header line first, then each batch appended and the file closed
    again, so that what is on disk is always whole up to the last batch."""

    def __init__(self, path: Path, first: Samples) -> None:
        self.path = path
        first.to_csv(path)

    def write(self, samples: Samples) -> None:
        samples.to_csv(self.path, append=True)

    def close(self) -> None:
        pass


class _ParquetWriter:
    """One row group per batch; the schema comes from the first batch's
    columns, so that even an empty recording is a readable file."""

    def __init__(self, path: Path, first: Samples) -> None:
        try:
            import pyarrow
            import pyarrow.parquet
        except ImportError:
            raise ImportError(PYARROW_MISSING) from None
        self.table = pyarrow.table
        schema = self.table(first.columns()).schema
        self.writer = pyarrow.parquet.ParquetWriter(str(path), schema)
        self.write(first)

    def write(self, samples: Samples) -> None:
        if len(samples):
            self.writer.write_table(self.table(samples.columns()))

    def close(self) -> None:
        self.writer.close()


WRITERS: dict[str, Callable[[Path, Samples], _Writer]] = {
    ".csv": _CsvWriter,
    ".parquet": _ParquetWriter,
}


class Recorder:
    """Drains `loop` every `interval` seconds on a background thread and
    appends its samples to `path`, a file that grows while the experiment
    runs. Leaving the `with` block (by an exception or Ctrl-C too) takes the
    last samples, then flushes and closes the file. Wrap the loop's own run
    in it to keep the loop's final cycles (the zero force of its stop).

    `written` and `dropped` count samples: those in the file, and those the
    loop's record lost before they were taken (a record too small for the
    interval). A failure of the thread (a full disk, say) stops the
    recording; `error` keeps it, and leaving the block raises it.

    ValueError for a suffix other than .csv or .parquet, and ImportError
    naming what to install when numpy (or, for .parquet, pyarrow) is
    missing, both before anything starts."""

    def __init__(self, loop: HapticLoop, path: StrPath, interval: float = DRAIN_INTERVAL) -> None:
        self.path = Path(path)
        suffix = self.path.suffix.lower()
        if suffix not in WRITERS:
            raise ValueError(
                f"cannot record to {self.path}: the suffix must be one of {', '.join(WRITERS)}"
            )
        if not interval > 0:
            raise ValueError(f"interval must be a positive number of seconds, got {interval!r}")
        self.loop = loop
        self.interval = interval
        self.written = 0
        self.dropped = 0
        self.error: BaseException | None = None
        self.cpu_seconds = 0.0  # the background thread's processor time
        self._writer_class = WRITERS[suffix]
        self._writer: _Writer | None = None
        self._stopping = threading.Event()
        self._thread: threading.Thread | None = None

    def __enter__(self) -> Recorder:
        self.start()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.stop()
        if self.error is not None and exc is None:
            raise self.error

    def start(self) -> None:
        if self._thread is not None:
            raise RuntimeError("this Recorder has already started")
        first = self.loop.samples()
        self._writer = self._writer_class(self.path, first)
        self._count(first)
        self._thread = threading.Thread(target=self._run, name="torvi-recorder", daemon=True)
        self._thread.start()

    def stop(self) -> None:
        """Takes the last samples and closes the file; any number of times."""
        if self._thread is None or self._writer is None:
            return
        self._stopping.set()
        self._thread.join()
        writer, self._writer = self._writer, None
        try:
            if self.error is None:
                self._drain(writer)
        finally:
            writer.close()

    def _run(self) -> None:
        started = time.thread_time()
        try:
            while not self._stopping.wait(self.interval):
                assert self._writer is not None
                self._drain(self._writer)
        except Exception as error:
            self.error = error
        finally:
            self.cpu_seconds = time.thread_time() - started

    def _drain(self, writer: _Writer) -> None:
        samples = self.loop.samples()
        writer.write(samples)
        self._count(samples)

    def _count(self, samples: Samples) -> None:
        self.written += len(samples)
        self.dropped += samples.dropped
