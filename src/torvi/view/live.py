"""The live view of a running HapticLoop (see the package's doc)."""

from __future__ import annotations

import argparse
import contextlib
import sys
import threading
import time
from typing import TYPE_CHECKING, Any, Callable, Iterator

from .._worker import Worker
from ..loops import summary
from .drawers import DRAWERS, Drawer
from .stage import (
    FORCE_PER_METRE,
    HOST,
    WORKSPACE,
    Box,
    PortInUse,
    Stage,
    serve_until_interrupted,
)

if TYPE_CHECKING:
    from TorviHardwareAPI.haptics import Effect, HapticLoop

RATE_HZ = 60.0  # the most the page is refreshed per second
PANEL_EVERY_S = 0.25  # the rate, overruns and sliders are refreshed this often
# A stiffness slider runs from 0 to this many times the effect's stiffness
# when it appeared (or to STIFFNESS_FLOOR, N/m, when that is more).
STIFFNESS_RANGE = 3.0
STIFFNESS_FLOOR = 1000.0
STIFFNESS_STEPS = 300


def settable(effect: Any, name: str) -> bool:
    """Whether `effect` has a property `name` that can be set (a
    PhysicsScene's stiffness is fixed when it is made)."""
    return getattr(getattr(type(effect), name, None), "fset", None) is not None


class StiffnessSlider:
    """A slider in the panel that sets an effect's stiffness on the running
    loop, and follows changes made to it elsewhere."""

    def __init__(self, gui: Any, label: str, effect: Any) -> None:
        self.effect = effect
        top = max(STIFFNESS_FLOOR, STIFFNESS_RANGE * float(effect.stiffness))
        self.slider = gui.add_slider(
            f"{label} (N/m)", 0.0, top, top / STIFFNESS_STEPS, float(effect.stiffness)
        )
        self.slider.on_update(self._set)

    def _set(self, event: Any) -> None:
        if self.slider.value != self.effect.stiffness:
            with contextlib.suppress(ValueError):  # refused: the effect keeps its own
                self.effect.stiffness = self.slider.value

    def follow(self) -> None:
        stiffness = float(self.effect.stiffness)
        if abs(stiffness - self.slider.value) > self.slider.step / 2:
            self.slider.max = max(self.slider.max, stiffness)
            self.slider.value = stiffness

    def remove(self) -> None:
        self.slider.remove()


class View(Worker):
    """Serves a 3D view of `loop` at `url` (http://localhost:PORT; port=0
    picks a free one) while it is open, from a `with` block or start() to
    stop(): the hand and the force sent (an arrow of `force_per_metre`
    newtons per metre), each effect in the loop in the arm's frame, the
    loop's rate and overruns and a stiffness slider for each effect whose
    stiffness can be set. A thread of its own refreshes it up to `rate_hz`
    times a second from what the loop publishes (state(), stats(), effects
    and their properties), never from its record, so that a Recorder on the
    same loop still gets every sample. The camera frames `workspace`
    ((low x, y, z), (high x, y, z), m) when the page opens and when its
    button is pressed.

    ImportError naming the extra "view" when viser is missing, PortInUse
    when the port is taken; a failure of the thread stops the refreshing,
    is kept in `error` and raised when the block ends."""

    def __init__(
        self,
        loop: HapticLoop,
        port: int = 8080,
        *,
        rate_hz: float = RATE_HZ,
        force_per_metre: float = FORCE_PER_METRE,
        workspace: Box = WORKSPACE,
        host: str = HOST,
    ) -> None:
        if not rate_hz > 0:
            raise ValueError(f"rate_hz must be a positive number, got {rate_hz!r}")
        self.loop = loop
        self.period = 1.0 / rate_hz
        self.updates = 0  # refreshes made
        self.cpu_seconds = 0.0  # the thread's processor time, once it has ended
        self.seconds_open = 0.0  # the thread's wall time, once it has ended
        self.error: BaseException | None = None
        self._stage = Stage(port, workspace, force_per_metre, host)
        self.port = self._stage.port
        self.url = self._stage.url
        self._drawers: dict[int, Drawer] = {}
        self._sliders: dict[int, StiffnessSlider] = {}
        self._effects: dict[int, Effect] = {}  # kept alive while drawn: ids stay theirs
        self._counter = 0
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._run, name="torvi-view", daemon=True)
        self._stiffness_folder = self._stage.server.gui.add_folder("Stiffness")

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        """Stops refreshing and serving; any number of times."""
        self._stopping.set()
        if self._thread.is_alive():
            self._thread.join()
        self._stage.close()

    def wait_for_interrupt(self) -> None:
        """Keeps serving until Ctrl-C, which it takes: it returns then."""
        serve_until_interrupted(self._stopping)

    def _run(self) -> None:
        started, opened = time.thread_time(), time.monotonic()
        panel_due = 0.0
        try:
            while not self._stopping.is_set():
                tick = time.monotonic()
                self._refresh()
                if tick >= panel_due:
                    self._refresh_panel()
                    panel_due = tick + PANEL_EVERY_S
                self.updates += 1
                self._stopping.wait(max(0.0, tick + self.period - time.monotonic()))
        except Exception as error:
            self.error = error
            self._stage.say(f"the view stopped: {error}")
        finally:
            self.cpu_seconds = time.thread_time() - started
            self.seconds_open = time.monotonic() - opened

    def _refresh(self) -> None:
        state = self.loop.state()
        effects = self.loop.effects
        with self._stage.server.atomic():
            self._follow_effects(effects)
            self._stage.show_hand(state.position, state.force)
            for drawer in self._drawers.values():
                drawer.update(state.position)

    def _follow_effects(self, effects: list[Effect]) -> None:
        now = {id(effect): effect for effect in effects}
        for key in [key for key in self._effects if key not in now]:
            self._effects.pop(key)
            for table in (self._drawers, self._sliders):
                gone = table.pop(key, None)
                if gone is not None:
                    gone.remove()
        for key, effect in now.items():
            if key in self._effects:
                continue
            self._effects[key] = effect
            self._counter += 1
            label = f"{type(effect).__name__} {self._counter}"
            drawer = DRAWERS.get(type(effect))
            if drawer is not None:
                self._drawers[key] = drawer(
                    self._stage.server.scene, f"/effects/{self._counter}", effect
                )
            if settable(effect, "stiffness"):
                with self._stiffness_folder:
                    self._sliders[key] = StiffnessSlider(self._stage.server.gui, label, effect)

    def _refresh_panel(self) -> None:
        stats = self.loop.stats()
        if self.loop.running:
            text = f"**running**: {summary(stats)}"
        elif stats.cycles == 0:
            text = "**the loop has not started**"
        else:
            error = self.loop.error
            ended = "**the loop has stopped**" + (f": {error}" if error else "")
            text = f"{ended}  \n{summary(stats)}"
        self._stage.say(text)
        for slider in self._sliders.values():
            slider.follow()


@contextlib.contextmanager
def view_if_asked(loop: HapticLoop, port: int | None) -> Iterator[View | None]:
    """What a program's --view PORT option opens: a View of `loop` on
    `port`, its address printed, or nothing when `port` is None."""
    if port is None:
        yield None
        return
    with View(loop, port=port) as view:
        print(f"the view of the loop is at {view.url}", flush=True)
        yield view


DEFAULT_PORT = 8080


def add_view_option(parser: argparse.ArgumentParser) -> None:
    """A program's --view [PORT] option (None when not given), for
    view_if_asked."""
    parser.add_argument(
        "--view",
        nargs="?",
        const=DEFAULT_PORT,
        type=int,
        metavar="PORT",
        help=f"serve a live 3D view of the loop on this port (default {DEFAULT_PORT}; "
        "needs the extra 'view')",
    )


def exit_status_of(run: Callable[[], object]) -> int:
    """Runs `run`, a program that may open a view: 0 once it is done, or 1
    with one line on stderr saying why the view could not open (the extra
    "view" missing, a port in use)."""
    try:
        run()
    except (ImportError, PortInUse) as error:
        print(error, file=sys.stderr)
        return 1
    return 0
