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
from typing import TYPE_CHECKING, Any, Callable, Iterator, Protocol, Union

import TorviHardwareAPI

from ._worker import Worker

if TYPE_CHECKING:
    from os import PathLike

    from TorviHardwareAPI.haptics import HapticLoop, SampleReader, Samples

    StrPath = Union[str, PathLike[str]]

# How often the background thread takes what the loop recorded, seconds.
DRAIN_INTERVAL = 0.1
EXTRA = "record"
# The suffix added to a .parquet recording's name for its stream of batches
# while it is being written.
PARTIAL_SUFFIX = ".partial.arrows"
PYARROW_MISSING = f"a .parquet recording needs pyarrow: pip install 'torvihardwareapi[{EXTRA}]'"


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


def _pyarrow() -> Any:
    try:
        import pyarrow
        import pyarrow.ipc
        import pyarrow.parquet
    except ImportError:
        raise ImportError(PYARROW_MISSING) from None
    return pyarrow


def partial_path(path: StrPath) -> Path:
    """Where a .parquet recording keeps its batches until it is closed: an
    Arrow stream beside it, named after it (trial.parquet.partial.arrows)."""
    path = Path(path)
    return path.with_name(path.name + PARTIAL_SUFFIX)


def _whole_batches(partial: Path) -> Iterator[Any]:
    """The batches of an Arrow stream up to its last whole one: a stream cut
    off in the middle of a batch (a process killed while writing it) ends
    there."""
    pyarrow = _pyarrow()
    with pyarrow.OSFile(str(partial)) as source:
        reader = pyarrow.ipc.open_stream(source)
        yield reader.schema
        try:
            yield from reader
        except (OSError, pyarrow.ArrowInvalid):
            return


def read_parquet(path: StrPath) -> Any:
    """A .parquet recording as a pyarrow Table: the file, or, when only an
    unfinished recording's stream is left (its process was killed), every
    batch that stream holds whole."""
    pyarrow = _pyarrow()
    path = Path(path)
    if path.exists() or not partial_path(path).exists():
        return pyarrow.parquet.read_table(str(path))
    batches = _whole_batches(partial_path(path))
    schema = next(batches)
    return pyarrow.Table.from_batches(list(batches), schema=schema)


def recover(path: StrPath) -> int:
    """Finishes a .parquet recording whose process ended before it closed
    the file (SIGKILL, a power loss): writes `path` from the stream beside it
    (partial_path), every whole batch a row group as the recorder would have,
    removes the stream and returns the number of rows kept.
    FileNotFoundError when there is no stream to recover."""
    return _join(partial_path(path), Path(path))


def _join(partial: Path, path: Path) -> int:
    """The batches of `partial` written to the Parquet file `path`, one row
    group each; `partial` is removed once `path` is complete."""
    pyarrow = _pyarrow()
    batches = _whole_batches(partial)
    rows = 0
    with pyarrow.parquet.ParquetWriter(str(path), next(batches)) as writer:
        for batch in batches:
            writer.write_batch(batch)
            rows += batch.num_rows
    partial.unlink()
    return rows


class _ParquetWriter:
    """Each batch appended to an Arrow stream beside the file (partial_path),
    which a process killed at any moment leaves readable up to its last whole
    batch; closing writes the Parquet file from it, one row group per batch,
    and removes it. The schema comes from the first batch's columns, so that
    even an empty recording is a readable file."""

    def __init__(self, path: Path, first: Samples) -> None:
        pyarrow = _pyarrow()
        self.path = path
        self.table = pyarrow.table
        schema = self.table(first.columns()).schema
        self.sink = pyarrow.OSFile(str(partial_path(path)), "wb")
        self.stream = pyarrow.ipc.new_stream(self.sink, schema)
        self.write(first)

    def write(self, samples: Samples) -> None:
        # Straight to the file, unbuffered: what a kill leaves is whole up to
        # the last batch.
        if len(samples):
            self.stream.write_table(self.table(samples.columns()))

    def close(self) -> None:
        self.stream.close()
        self.sink.close()
        _join(partial_path(self.path), self.path)


WRITERS: dict[str, Callable[[Path, Samples], _Writer]] = {
    ".csv": _CsvWriter,
    ".parquet": _ParquetWriter,
}


class Recorder(Worker):
    """Drains a reader of its own of `loop` (loop.reader(), made at start)
    every `interval` seconds on a background thread and appends its samples
    to `path`, a file that grows while the experiment
    runs (a .parquet one through the stream at partial_path until it
    closes). Leaving the `with` block (by an exception, Ctrl-C or SIGTERM
    too) takes the last samples, then flushes and closes the file. Wrap the loop's own run
    in it to keep the loop's final cycles (the zero force of its stop).
    Its reader takes nothing from loop.samples() nor from any other reader,
    so a recording and other consumers (a stream, a plot) run side by side;
    it records the cycles from its start on.

    `written` and `dropped` count samples: those in the file, and those the
    loop's record lost before they were taken (a record too small for the
    interval). A failure of the thread (a full disk, say) stops the
    recording; `error` keeps it, and leaving the block raises it.

    While it records, a SIGTERM that the program left at its default raises
    TorviHardwareAPI.Terminated in the main thread (see SigtermAsExit), so
    that the with block closes the file before the process exits.

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
        self._reader: SampleReader | None = None
        self._stopping = threading.Event()
        self._thread: threading.Thread | None = None
        self._sigterm = TorviHardwareAPI.SigtermAsExit()

    def start(self) -> None:
        if self._thread is not None:
            raise RuntimeError("this Recorder has already started")
        self._reader = self.loop.reader()
        first = self._reader.samples()
        self._writer = self._writer_class(self.path, first)
        self._count(first)
        self._thread = threading.Thread(target=self._run, name="torvi-recorder", daemon=True)
        self._thread.start()
        self._sigterm.__enter__()

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
            try:
                writer.close()
            finally:
                self._sigterm.__exit__(None, None, None)

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
        assert self._reader is not None
        samples = self._reader.samples()
        writer.write(samples)
        self._count(samples)

    def _count(self, samples: Samples) -> None:
        self.written += len(samples)
        self.dropped += samples.dropped
