"""What the package's background workers (the recorder, the lab streams, the
live view) share: a block that starts the worker and stops it on the way out,
raising the error that ended the worker's thread when the block itself raised
none, so that a failure in the background is never lost."""

from __future__ import annotations

from types import TracebackType
from typing import TypeVar

_Worker = TypeVar("_Worker", bound="Worker")


class Worker:
    """A context manager over start() and stop(); `error` is what ended the
    worker's thread, if anything did."""

    error: BaseException | None = None

    def start(self) -> None:
        raise NotImplementedError

    def stop(self) -> None:
        raise NotImplementedError

    def __enter__(self: _Worker) -> _Worker:
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
