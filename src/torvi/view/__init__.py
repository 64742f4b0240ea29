"""A live 3D view of a HapticLoop in a web browser, and the replay of a
recording in the same view (the extra "view": viser).

    from torvi.view import View
    with View(loop, port=8080) as view:   # serves the page until the block ends
        print(view.url)                   # http://localhost:8080
        ...                               # the experiment runs as usual

On another machine, reach the page through an SSH tunnel:
`ssh -L 8080:localhost:8080 user@lab-machine`, then open
http://localhost:8080 there. `torvi view FILE` replays a recording."""

from __future__ import annotations

from .colours import COLOURS
from .live import View, add_view_option, exit_status_of, view_if_asked
from .replay import Replay
from .stage import FORCE_PER_METRE, WORKSPACE, PortInUse

__all__ = [
    "COLOURS",
    "FORCE_PER_METRE",
    "WORKSPACE",
    "PortInUse",
    "Replay",
    "View",
    "add_view_option",
    "exit_status_of",
    "view_if_asked",
]
