"""`torvi`: finds, inspects, watches and traces the devices on the serial
ports, and charts and replays haptic loop recordings. One module per subcommand; each
is imported only when run, so that `torvi --help` and the subcommands that
need no optional library work without the extra "cli"."""

from __future__ import annotations

import argparse
import sys

from .ports import CommandError

KINDS = ("arm", "handle")


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="torvi",
        description="Find, inspect, watch and trace arms and handles on serial ports.",
    )
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    listing = commands.add_parser("list", help="detect the devices attached to this machine")
    listing.add_argument("--json", action="store_true", help="print a JSON list")

    info = commands.add_parser("info", help="wake one device and print what it reports")
    info.add_argument("port")
    info.add_argument("--kind", choices=KINDS, help="skip trying the other kind of device")
    info.add_argument("--json", action="store_true", help="print a JSON object")

    monitor = commands.add_parser("monitor", help="a live view of one device's readings")
    monitor.add_argument("port")
    monitor.add_argument("--kind", choices=KINDS, help="skip trying the other kind of device")
    monitor.add_argument("--seconds", type=float, help="stop after this many seconds")
    monitor.add_argument("--csv", metavar="FILE", help="record every sample with its time")
    monitor.add_argument("--plot", metavar="FILE.png", help="chart the samples at the end")

    trace = commands.add_parser(
        "trace", help="pass a program's bytes through to a port and decode them"
    )
    trace.add_argument("port")
    trace.add_argument(
        "--out",
        metavar="FILE",
        help="record the session here, for torvi-virtual-device replay FILE "
        "(the decoded trace goes to standard output)",
    )
    trace.add_argument("--link", metavar="PATH", help="also make a symbolic link to the pty")

    plot = commands.add_parser(
        "plot", help="chart a haptic loop's recording: position, force and period over time"
    )
    plot.add_argument("file", metavar="FILE", help="a .csv or .parquet recording")
    plot.add_argument("--out", metavar="FILE.png", help="the chart (default: FILE with .png)")

    view = commands.add_parser(
        "view", help="replay a haptic loop's recording in a 3D view served to a web browser"
    )
    view.add_argument("file", metavar="FILE", help="a .csv or .parquet recording")
    view.add_argument("--port", type=int, default=8080, help="the page's port (0: a free one)")
    return top


def main(argv: list[str] | None = None) -> int:
    arguments = parser().parse_args(argv)
    try:
        if arguments.command == "list":
            from .listing import run_list

            return run_list(arguments)
        if arguments.command == "info":
            from .info import run_info

            return run_info(arguments)
        if arguments.command == "monitor":
            from .monitor import run_monitor

            return run_monitor(arguments)
        if arguments.command == "plot":
            from .plot import run_plot

            return run_plot(arguments)
        if arguments.command == "view":
            from .view import run_view

            return run_view(arguments)
        from .trace import run_trace

        return run_trace(arguments)
    except CommandError as error:
        print(f"torvi {arguments.command}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
