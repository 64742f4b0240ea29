"""The colours the view gives what it draws, as (red, green, blue) from 0 to
255: saturated and, but for the greys, apart in hue, so that each thing is
told apart on the page (and in a screenshot's pixels) however the light
falls on it, which changes a colour's brightness more than its hue."""

from __future__ import annotations

from typing import Tuple

Colour = Tuple[int, int, int]

COLOURS: dict[str, Colour] = {
    "hand": (230, 0, 0),  # red
    "force": (255, 140, 0),  # orange
    "path": (120, 200, 0),  # the replay's path: yellow-green
    "wall": (0, 190, 40),  # green: a Plane's patch and normal
    "mesh": (0, 80, 230),  # blue
    "proxy": (0, 200, 230),  # cyan: a mesh's proxy out of contact
    "contact": (255, 230, 0),  # yellow: the proxy held back by the surface
    "sphere": (140, 0, 230),  # violet
    "spring": (120, 120, 120),  # grey: a Spring's anchor and pull
    "move": (230, 0, 200),  # magenta: a MoveTo's anchor and its way to the target
    "arrived": (0, 140, 100),  # dark teal: a MoveTo's target once it has arrived
    "guide": (160, 100, 40),  # brown: a Line's segment
    "fence": (90, 90, 90),  # dark grey: a Fence's edges
}
