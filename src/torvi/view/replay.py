"""A HapticLoop recording shown in the view: the hand's path as a line, and
the hand and force at a time chosen with a slider or played in real time."""

from __future__ import annotations

import bisect
import threading
import time
from typing import Any, Dict, List, Sequence

from .colours import COLOURS
from .drawers import LINE_PIXELS, segments
from .stage import FORCE_PER_METRE, HOST, Box, Stage, serve_until_interrupted

MAX_PATH_POINTS = 20000  # a longer path is drawn through every n-th sample
SLIDER_STEPS = 2000
PLAY_RATE_HZ = 60.0
# The camera frames the path's box, made at least this large (m) so that
# a hand at rest is not looked at from a millimetre away.
SMALLEST_BOX = 0.03

Columns = Dict[str, List[float]]


def path_box(points: Sequence[Sequence[float]]) -> Box:
    low = [min(p[axis] for p in points) for axis in range(3)]
    high = [max(p[axis] for p in points) for axis in range(3)]
    for axis in range(3):
        grow = max(0.0, SMALLEST_BOX - (high[axis] - low[axis])) / 2
        low[axis] -= grow
        high[axis] += grow
    return (low[0], low[1], low[2]), (high[0], high[1], high[2])


class Replay:
    """Serves `columns` (a recording as torvi plot reads it: time,
    position_x ... force_z) at `url` until close(): the path, and a time
    slider and a play switch in the panel. PortInUse when the port is
    taken, ImportError naming the extra when viser is missing."""

    def __init__(
        self,
        columns: Columns,
        title: str,
        port: int = 8080,
        *,
        force_per_metre: float = FORCE_PER_METRE,
        host: str = HOST,
    ) -> None:
        start = columns["time"][0]
        self.times = [t - start for t in columns["time"]]
        self.positions = self._vectors(columns, "position")
        self.forces = self._vectors(columns, "force")
        self._stage = Stage(port, path_box(self.positions), force_per_metre, host)
        self.url = self._stage.url
        self._stage.say(f"**{title}**: {len(self.times)} cycles over {self.times[-1]:.3f} s")
        self._draw_path()
        gui = self._stage.server.gui
        duration = self.times[-1]
        self.slider = gui.add_slider(
            "time (s)", 0.0, duration, max(duration / SLIDER_STEPS, 1e-6), 0.0
        )
        self.slider.on_update(lambda _: self.show(self.slider.value))
        self.playing = gui.add_checkbox("play in real time", False)
        self._stopping = threading.Event()
        self._player = threading.Thread(target=self._play, name="torvi-replay", daemon=True)
        self._player.start()
        self.show(0.0)

    @staticmethod
    def _vectors(columns: Columns, name: str) -> list[tuple[float, float, float]]:
        return list(zip(columns[f"{name}_x"], columns[f"{name}_y"], columns[f"{name}_z"]))

    def _draw_path(self) -> None:
        every = max(1, len(self.positions) // MAX_PATH_POINTS)
        points = self.positions[::every] + [self.positions[-1]]
        if len(points) < 2:
            points = points * 2
        self._stage.server.scene.add_line_segments(
            "/path",
            segments(points[:-1], points[1:]),
            COLOURS["path"],
            thickness=LINE_PIXELS,
            thickness_units="screen",
        )

    def show(self, seconds: float) -> None:
        """The hand and force of the last sample at or before `seconds`."""
        index = max(0, bisect.bisect_right(self.times, seconds) - 1)
        self._stage.show_hand(self.positions[index], self.forces[index])

    def _play(self) -> None:
        origin: float | None = None  # the wall clock's time at the recording's 0
        while not self._stopping.wait(1.0 / PLAY_RATE_HZ):
            if not self.playing.value:
                origin = None
                continue
            now = time.monotonic()
            if origin is None:
                at_end = self.slider.value >= self.times[-1]
                origin = now - (0.0 if at_end else self.slider.value)
            self.slider.value = min(now - origin, self.times[-1])
            if now - origin >= self.times[-1]:
                self.playing.value = False

    def wait_for_interrupt(self) -> None:
        """Keeps serving until Ctrl-C, which it takes: it returns then."""
        serve_until_interrupted(self._stopping)

    def close(self) -> None:
        self._stopping.set()
        self._player.join()
        self._stage.close()

    def __enter__(self) -> Replay:
        return self

    def __exit__(self, *error: Any) -> None:
        self.close()
