"""What the command's charts share (`torvi monitor --plot`, `torvi plot`):
matplotlib drawing to files, the panels' labels and grid, and the finished
figure written to disk. matplotlib is imported only when a chart is drawn."""

from __future__ import annotations

from pathlib import Path
from typing import Any

LABEL_FONT_SIZE = 9
GRID_ALPHA = 0.3
DPI = 110


def pyplot() -> Any:
    """matplotlib.pyplot on the file-only backend: no window is opened."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def label_panel(axis: Any, label: str) -> None:
    """A panel's title (a quantity and its unit) beside it, and a light grid."""
    axis.set_ylabel(label, fontsize=LABEL_FONT_SIZE)
    axis.grid(alpha=GRID_ALPHA)


def save_figure(figure: Any, bottom: Any, time_label: str, title: str, path: str | Path) -> None:
    """Names the time axis under the bottom panel, titles the figure, writes
    it to `path` and frees it."""
    bottom.set_xlabel(time_label)
    figure.suptitle(title)
    figure.tight_layout()
    figure.savefig(path, dpi=DPI)
    pyplot().close(figure)
