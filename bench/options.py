"""The bench programs' command lines, each written as a table of its options:
one row an option, (flag, type, default, help), in the order --help lists
them. A default of REQUIRED makes the option one that must be given; a bool
option is a switch, off unless given; a help of None shows the option bare."""

import argparse
import pathlib

REQUIRED = object()
# Where the benches write their results, unless told otherwise.
RESULTS = pathlib.Path(__file__).resolve().parent / "results"


def options_parser(doc, options):
    """A parser of `options` whose description is the first paragraph of
    `doc` (the program's docstring)."""
    made = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    for flag, kind, default, text in options:
        if kind is bool:
            made.add_argument(flag, action="store_true", help=text)
        elif default is REQUIRED:
            made.add_argument(flag, required=True, type=kind, help=text)
        else:
            made.add_argument(flag, type=kind, default=default, help=text)
    return made
