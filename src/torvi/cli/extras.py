"""The optional libraries of the command (the extra "cli"): a missing one is
reported in one line that says how to install it."""

from __future__ import annotations

from .ports import CommandError

EXTRA = "cli"
INSTALL_HINT = f'pip install "torvihardwareapi[{EXTRA}]"'


def missing(library: str, purpose: str) -> CommandError:
    return CommandError(f"{purpose} needs {library}, which is not installed: {INSTALL_HINT}")
