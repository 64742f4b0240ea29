"""torvi.view in a real browser (the system's Chromium, headless): the live
view of a loop on the virtual arm with a mesh, a wall and a MoveTo, seen in
screenshots by the colours the view gives them, a stiffness set from the
page, the hand followed as it moves, the page opened again while the loop
runs, a loop that stops said so; a physics scene's bodies drawn, moved and
removed; and `torvi view` replaying a recording. Then the errors of a view that
cannot open: a port in use, viser missing."""

import os
import re
import socket
import subprocess
import sys

import numpy as np
import pytest

import TorviHardwareAPI as T
from support import (
    CHROMIUM,
    CUBE_FACES,
    CUBE_VERTICES,
    ENV,
    TORVI,
    launch_chromium,
    pixels_like,
    wait_until,
)
from torvi.recording import Recorder
from TorviHardwareAPI.haptics import Damper, HapticLoop, Mesh, MoveTo, PhysicsScene, Plane

# Apart from the rest of the suite (see scripts/lib.sh, run_pytest).
pytestmark = pytest.mark.browser

VIEWPORT = {"width": 960, "height": 640}  # small: the browser draws in software
# The scene, away from the panel (right) and the notices and axes (left).
SCENE = (320, 0, 630, 640)
SEEN = 40  # pixels of a colour that show a thing is drawn
MOVED = 30  # pixels the hand's picture must travel
WAIT = 60.0  # s: generous, for a loaded machine and the sanitizer build
MOVE = (0.0, 0.0, 0.03)  # m from the rest position: the MoveTo's target, up
VECTORS = ("position", "requested", "force")


def offset(point, by):
    return tuple(p + b for p, b in zip(point, by))


@pytest.fixture(scope="module")
def chromium(tmp_path_factory):
    pytest.importorskip("viser", reason="the view needs viser (the extra 'view')")
    sync_api = pytest.importorskip("playwright.sync_api", reason="needs Playwright's client")
    if not os.path.exists(CHROMIUM):
        pytest.skip(f"no browser at {CHROMIUM} (scripts/bootstrap.sh installs it)")
    with sync_api.sync_playwright() as playwright:
        browser = launch_chromium(playwright, tmp_path_factory.mktemp("browser"))
        yield browser
        browser.close()


class Page:
    """A page of the browser on `url`, its console errors kept."""

    def __init__(self, browser, url):
        self.page = browser.new_page(viewport=VIEWPORT)
        self.errors = []
        self.page.on("console", lambda m: m.type == "error" and self.errors.append(m.text))
        self.page.on("pageerror", lambda error: self.errors.append(str(error)))
        self.page.goto(url)

    def wait_for_text(self, text):
        self.page.get_by_text(text).first.wait_for(timeout=WAIT * 1000)

    def type_stiffness(self, effect_label, value):
        """Types `value` into the number box beside an effect's stiffness slider."""
        label = self.page.get_by_text(f"{effect_label} (N/m)")
        row = label.locator("xpath=ancestor::*[.//input[not(@type='hidden')]][1]")
        number = row.locator("input:not([type=hidden])").last
        number.fill(str(value))
        number.press("Enter")

    def pixels(self, colour):
        return pixels_like(self.page.screenshot(), colour, SCENE)

    def showing(self, *colours):
        """Polls screenshots until each colour is seen; their pixels."""
        from torvi.view import COLOURS

        def seen():
            found = [self.pixels(COLOURS[name]) for name in colours]
            return found if all(len(f) >= SEEN for f in found) else None

        return wait_until(seen, WAIT, f"{', '.join(colours)} on the page")


def test_the_live_view_draws_the_loop_and_follows_the_hand(virtual_arm, chromium, tmp_path):
    from torvi.view import COLOURS, View

    arm = T.Armillar(T.SerialStream(virtual_arm.path))
    rest, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    loop = HapticLoop(arm, rate_hz=1000.0, max_force=5.0)
    cube = Mesh(CUBE_VERTICES, CUBE_FACES, stiffness=300.0)
    cube.set_pose(position=offset(rest, (0.04, 0.0, 0.0)))
    loop.add(cube)
    loop.add(Plane(offset(rest, (0, 0, -0.04)), (0, 0, 1), 300.0, 0.0))
    loop.add(Damper(3.0))
    with Recorder(loop, tmp_path / "run.csv") as recorder, loop, View(loop, port=0) as view:
        page = Page(chromium, view.url)
        page.wait_for_text("cycles at")
        page.showing("mesh", "wall", "hand")
        page.type_stiffness("Mesh 1", 450)  # set on the running loop
        wait_until(lambda: cube.stiffness == 450.0, WAIT, "the slider setting the stiffness")
        move = loop.add(MoveTo(offset(rest, MOVE), 300.0, 5.0, 0.01))
        before = page.showing("move", "hand")[1].mean(axis=0)
        assert loop.wait_arrived(move, timeout=WAIT), f"not arrived; the loop's error: {loop.error}"

        def hand_elsewhere():
            hand = page.pixels(COLOURS["hand"])
            return len(hand) >= SEEN and np.linalg.norm(hand.mean(axis=0) - before) > MOVED

        wait_until(hand_elsewhere, WAIT, "the hand's picture moving")
        assert page.errors == []
        # Closed and opened again while the loop runs: the scene comes whole.
        page.page.close()
        page = Page(chromium, view.url)
        page.showing("mesh", "wall", "hand")
        loop.stop()
        page.wait_for_text("the loop has stopped")
        assert page.errors == [] and view.error is None
    # The view reads what the loop publishes, never its record.
    assert recorder.dropped == 0 and recorder.written >= loop.stats().cycles


# A weightless box beside the scene's tool, in a colour of its own (violet).
BOX_RGB = (140, 0, 230)
BOX_SCENE = (
    '<mujoco><option gravity="0 0 0"/><worldbody>'
    '<body name="tool"><freejoint/><geom size="0.005" mass="0.1" contype="0" conaffinity="0"/>'
    '</body><body name="box" pos="0.04 0 0"><freejoint/>'
    '<geom type="box" size="0.01 0.01 0.01" rgba="0.55 0 0.9 1"/></body></worldbody></mujoco>'
)


def test_a_physics_scene_s_bodies_are_drawn_where_the_scene_has_them(virtual_arm, chromium):
    mujoco = pytest.importorskip("mujoco", reason="needs MuJoCo (the extra 'physics')")
    from torvi.view import View

    arm = T.Armillar(T.SerialStream(virtual_arm.path))
    rest, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    model = mujoco.MjModel.from_xml_string(BOX_SCENE)
    data = mujoco.MjData(model)
    scene = PhysicsScene(model, data, "tool", stiffness=0.0, workspace_offset=[-c for c in rest])
    loop = HapticLoop(arm, rate_hz=1000.0, max_force=5.0)
    loop.add(scene)
    with loop, View(loop, port=0) as view:
        page = Page(chromium, view.url)

        def box_seen():
            found = page.pixels(BOX_RGB)
            return [found] if len(found) >= SEEN else None

        before = wait_until(box_seen, WAIT, "the box")[0].mean(axis=0)
        assert page.page.get_by_text("PhysicsScene").count() == 0  # no slider: fixed stiffness
        data.qpos[model.jnt_qposadr[model.body("box").jntadr[0]] + 2] += 0.03  # 3 cm up
        scene.reset(data)

        def box_elsewhere():
            seen = box_seen()
            return seen and np.linalg.norm(seen[0].mean(axis=0) - before) > MOVED

        wait_until(box_elsewhere, WAIT, "the box's picture moving")
        loop.remove(scene)
        wait_until(lambda: box_seen() is None, WAIT, "the box gone with its scene")
        assert page.errors == []


def test_torvi_view_replays_a_recording(virtual_arm, chromium, tmp_path):
    arm = T.Armillar(T.SerialStream(virtual_arm.path))
    rest, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    loop = HapticLoop(arm, rate_hz=1000.0, max_force=5.0)
    path = tmp_path / "run.csv"
    with Recorder(loop, path), loop:
        loop.wait_arrived(loop.add(MoveTo(offset(rest, MOVE), 300.0, 5.0, 0.1)), timeout=WAIT)
    command = [*TORVI, "view", str(path), "--port", "0"]
    with subprocess.Popen(command, env=ENV, stdout=subprocess.PIPE, text=True) as replay:
        try:
            line = replay.stdout.readline()
            url = re.search(r"http://\S+", line)
            assert url, f"no address in {line!r}"
            page = Page(chromium, url.group(0))
            page.showing("path", "hand")
            assert page.errors == []
        finally:
            replay.terminate()


NO_VIEWER = """
import sys
sys.modules["viser"] = None  # import viser now fails
from torvi.view import View
View(None)
"""


def test_a_view_that_cannot_open_says_why_in_one_line(tmp_path):
    pytest.importorskip("viser", reason="the view needs viser (the extra 'view')")
    from torvi.view import PortInUse, View

    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        with pytest.raises(PortInUse, match=f"port {port} is in use"):
            View(None, port=port)
        path = tmp_path / "run.csv"
        columns = ["time", "period_us"] + [f"{v}_{a}" for v in VECTORS for a in "xyz"]
        path.write_text(",".join(columns) + "\n" + ",".join("0" for _ in columns) + "\n")
        command = subprocess.run(
            [*TORVI, "view", str(path), "--port", str(port)],
            env=ENV,
            capture_output=True,
            text=True,
        )
    child = subprocess.run(
        [sys.executable, "-c", NO_VIEWER], env=ENV, capture_output=True, text=True
    )
    assert 'pip install "torvihardwareapi[view]"' in child.stderr.splitlines()[-1]
    assert command.returncode == 1 and f"port {port} is in use" in command.stderr
    assert "Traceback" not in command.stderr
