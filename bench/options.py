"""The bench programs' command lines, each written as a table of its options:
one row an option, (flag, type, default, help), in the order --help lists
them. A default of REQUIRED makes the option one that must be given; a bool
option is a switch, off unless given; a help of None shows the option bare."""

import argparse
import json
import pathlib

REQUIRED = object()
# Where the benches write their results, unless told otherwise.
RESULTS = pathlib.Path(__file__).resolve().parent / "results"


# The options of a bench that drives the virtual arm.
VIRTUAL_ARM_OPTIONS = [
    ("--virtual-device", pathlib.Path, None, "the torvi-virtual-device program (default: PATH's)"),
    ("--results", pathlib.Path, RESULTS, "the folder of the results"),
]


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


def write_results(folder, stem, results, text):
    """Prints `text`, the results as Markdown, and keeps it and `results` (as
    JSON) in `folder` as STEM-latest.md and STEM-latest.json."""
    print(text)
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"{stem}-latest.json").write_text(json.dumps(results, indent=1) + "\n")
    (folder / f"{stem}-latest.md").write_text(text + "\n")
