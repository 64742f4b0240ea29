"""What the live view (torvi.view) costs the loop, and what reaches the
browser. On one virtual arm, in rounds that take turns:

- the free-running HapticLoop alone, with a View open and no page (the
  view's own cost), and with a headless Chromium page connected to it
  (the browser's too: it draws in software, on the same processors); the
  ratios of their rates, per round;
- a 1 kHz loop with the view and the page: its cycles per second;
- with a 100 k-triangle mesh in the scene and a MoveTo moving the hand: the
  websocket frames per second the page receives (each carries the
  refreshes of up to one 60th of a second) and the view's refreshes per
  second, and the view thread's processor time as a share of the wall time.

Run by `bash bench/run.sh --view`. Writes bench/results/view-latest.json and
view-latest.md."""

import argparse
import pathlib
import platform
import statistics
import sys
import tempfile
import time

import numpy as np

import TorviHardwareAPI as T
from torvi.view import View
from torvi.virtual import VirtualDevice
from TorviHardwareAPI.haptics import Damper, HapticLoop, Mesh, MoveTo, Plane

# The tests' browser, launched with the flags pinned there.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from options import write_results
from support import launch_chromium

ROUNDS = 5
SECONDS = 2.0  # measured per row and round
SETTLE_S = 1.0  # after the page connects, before measuring
CONNECT_S = 60.0
RATE_HZ = 1000.0
MAX_FORCE = 5.0
AROUND, ACROSS = 250, 200  # a torus of 100 000 triangles
RING, TUBE = 0.03, 0.01  # m
LIFT = 0.02  # m: the MoveTo takes the hand up and down by this


def torus(centre):
    """Vertices and faces of a torus of AROUND x ACROSS quads about `centre`."""
    u = np.repeat(np.linspace(0, 2 * np.pi, AROUND, endpoint=False), ACROSS)
    v = np.tile(np.linspace(0, 2 * np.pi, ACROSS, endpoint=False), AROUND)
    radius = RING + TUBE * np.cos(v)
    vertices = np.stack([radius * np.cos(u), radius * np.sin(u), TUBE * np.sin(v)], axis=1)
    vertices += np.asarray(centre)
    i, j = np.divmod(np.arange(AROUND * ACROSS), ACROSS)
    a, b = i * ACROSS + j, (i + 1) % AROUND * ACROSS + j
    c, d = (i + 1) % AROUND * ACROSS + (j + 1) % ACROSS, i * ACROSS + (j + 1) % ACROSS
    faces = np.concatenate([np.stack([a, b, c], 1), np.stack([a, c, d], 1)])
    return vertices, faces


class Browser:
    """A page on a view; counts the websocket frames it receives."""

    def __init__(self, browser, url):
        self.frames = 0
        self.page = browser.new_page(viewport={"width": 960, "height": 640})
        self.page.on("websocket", lambda ws: ws.on("framereceived", self._count))
        self.page.goto(url)
        self.page.get_by_text("cycles at").first.wait_for(timeout=CONNECT_S * 1000)
        self.page.wait_for_timeout(SETTLE_S * 1000)

    def _count(self, frame):
        self.frames += 1

    def wait(self, seconds):
        # Playwright's events are handled only while it waits.
        self.page.wait_for_timeout(seconds * 1000)


def cycles_per_second(loop, wait):
    before, started = loop.stats().cycles, time.monotonic()
    wait(SECONDS)
    return (loop.stats().cycles - before) / (time.monotonic() - started)


def free_rates(arm, browser):
    """Cycles per second of a free loop: alone, with the view but no page
    (the view's own cost), and with a page connected (the browser's too)."""
    with HapticLoop(arm, max_force=MAX_FORCE) as loop:
        loop.add(Damper(1.0))
        time.sleep(SETTLE_S)
        alone = cycles_per_second(loop, time.sleep)
        with View(loop, port=0) as view:
            unwatched = cycles_per_second(loop, time.sleep)
            page = Browser(browser, view.url)
            viewed = cycles_per_second(loop, page.wait)
            page.page.close()
    return alone, unwatched, viewed


def fixed_rate(arm, browser):
    with HapticLoop(arm, rate_hz=RATE_HZ, max_force=MAX_FORCE) as loop, View(loop, port=0) as view:
        loop.add(Damper(1.0))
        page = Browser(browser, view.url)
        rate = cycles_per_second(loop, page.wait)
        overruns = loop.stats().overruns
        page.page.close()
    return rate, overruns


def heavy_scene(arm, browser, mesh, rest):
    """Frames and refreshes per second, and the view's CPU share, with the
    big mesh in the scene and the hand moving."""
    low, high = list(rest), [rest[0], rest[1], rest[2] + LIFT]
    with HapticLoop(arm, rate_hz=RATE_HZ, max_force=MAX_FORCE) as loop:
        loop.add(mesh)
        loop.add(Plane((rest[0], rest[1], rest[2] - 0.03), (0, 0, 1), 300.0, 0.0))
        move = loop.add(MoveTo(high, 300.0, 5.0, 0.05))
        with View(loop, port=0) as view:
            page = Browser(browser, view.url)
            frames, updates, started = page.frames, view.updates, time.monotonic()
            for target in (low, high):
                move.target = target
                page.wait(SECONDS / 2)
            seconds = time.monotonic() - started
            frames, updates = page.frames - frames, view.updates - updates
            page.page.close()
        share = view.cpu_seconds / view.seconds_open
    return frames / seconds, updates / seconds, share


def measure(arm, browser):
    rest, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    vertices, faces = torus((rest[0] + RING, rest[1], rest[2] + 0.01 + TUBE))
    mesh = Mesh(vertices, faces, stiffness=800.0)
    rounds = []
    for number in range(ROUNDS):
        alone, unwatched, viewed = free_rates(arm, browser)
        rate, overruns = fixed_rate(arm, browser)
        frames, updates, share = heavy_scene(arm, browser, mesh, rest)
        rounds.append(
            {
                "free_alone_hz": alone,
                "free_unwatched_hz": unwatched,
                "unwatched_ratio": unwatched / alone,
                "free_viewed_hz": viewed,
                "free_ratio": viewed / alone,
                "fixed_viewed_hz": rate,
                "fixed_overruns": overruns,
                "frames_per_s": frames,
                "refreshes_per_s": updates,
                "view_cpu_share": share,
            }
        )
        print(f"round {number + 1}: {rounds[-1]}", file=sys.stderr)
    return rounds, mesh.triangle_count


def report(rounds, triangles):
    def median(key):
        return statistics.median(r[key] for r in rounds)

    lines = [
        f"View bench, {platform.machine()}, Python {platform.python_version()}, "
        f"{len(rounds)} rounds of {SECONDS} s a row (medians)",
        "",
        "| figure | value | target |",
        "| --- | --- | --- |",
        f"| free-running loop alone (cycles/s) | {median('free_alone_hz'):.0f} | |",
        f"| the same with a view open, no page (cycles/s) | {median('free_unwatched_hz'):.0f} | |",
        f"| ratio, view without a page / alone, per round | {median('unwatched_ratio'):.3f} | |",
        f"| the same with a view and a connected page (cycles/s) | "
        f"{median('free_viewed_hz'):.0f} | |",
        f"| ratio, with / without, per round | {median('free_ratio'):.3f} | >= 0.98 |",
        f"| 1 kHz loop with the view and a page (cycles/s) | {median('fixed_viewed_hz'):.1f} | "
        "1000 +/- 2 |",
        f"| its overruns in {SECONDS} s | {median('fixed_overruns'):.0f} | |",
        f"| websocket frames the page receives per second, {triangles} triangles in the "
        f"scene, the hand moving | {median('frames_per_s'):.1f} | >= 30 |",
        f"| the view's refreshes per second, same scene | {median('refreshes_per_s'):.1f} | |",
        f"| the view thread's processor time / wall time | {median('view_cpu_share'):.3f} | |",
    ]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--results", type=pathlib.Path, default=pathlib.Path(__file__).resolve().parent / "results"
    )
    parser.add_argument(
        "--virtual-device", type=pathlib.Path, help="the torvi-virtual-device program"
    )
    args = parser.parse_args()
    from playwright.sync_api import sync_playwright

    arm_device = VirtualDevice("arm", program=args.virtual_device)
    with arm_device as device, sync_playwright() as playwright:
        browser = launch_chromium(playwright, tempfile.mkdtemp(prefix="torvi-view-bench-"))
        arm = T.Armillar(T.SerialStream(device.path))
        rounds, triangles = measure(arm, browser)
        browser.close()
    text = report(rounds, triangles)
    results = {"rounds": rounds, "triangles": triangles, "seconds": SECONDS}
    write_results(args.results, "view", results, text)


if __name__ == "__main__":
    main()
