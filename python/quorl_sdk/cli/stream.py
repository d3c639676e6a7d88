"""``quorl-sdk stream``: shows what a server sends, as a live status or as JSON lines.

The status, refreshed a few times a second, is that of
:mod:`quorl_sdk.cli._status`. ``--json`` prints one JSON object per frame instead::

    {"time": 1767225600.123456, "type": 5, "kind": "HAND_LANDMARKS", "side": 0,
     "values": [0.24, 0.9, ...]}

``time`` is the moment the frame arrived from the socket, in seconds since the
Unix epoch; ``values`` are the frame's values in wire order, each written so
that it reads back as the same binary64. JSON has no NaN or infinity: those
are written as the strings "NaN", "Infinity" and "-Infinity".
"""

from __future__ import annotations

import argparse
import json
import math
import sys
from typing import TextIO

from quorl_sdk.cli._live import add_connection_options, positive_seconds, seconds, wall_time
from quorl_sdk.cli._run import Output, run_live
from quorl_sdk.cli._status import PIPE_INTERVAL, TTY_INTERVAL, StatusOutput, interval
from quorl_sdk.frames import Frame

__all__ = ["frame_json"]

_NON_FINITE = {math.inf: "Infinity", -math.inf: "-Infinity"}


def add_parser(subcommands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds ``quorl-sdk stream`` to the command line."""
    parser = subcommands.add_parser(
        "stream",
        help="show the frames a Quorl server sends, with a live status",
        description="Connects to a Quorl server and shows a live status of its frames (rate "
        "per kind and side, age of the last frame, decode errors, reconnections) until Ctrl-C, "
        "or with --json prints each frame as one line of JSON. Exit status 0 at Ctrl-C and at "
        "the end of the stream, 1 when connecting fails or the connection is lost.",
    )
    add_connection_options(parser)
    parser.add_argument(
        "--json", action="store_true", help="print one JSON object per frame instead"
    )
    parser.add_argument("--duration", type=seconds, metavar="S", help="stop after S seconds")
    add_interval_option(parser)
    parser.set_defaults(handler=run)


def add_interval_option(parser: argparse.ArgumentParser) -> None:
    """Adds ``--interval``, the seconds between two updates of the live status."""
    parser.add_argument(
        "--interval",
        type=positive_seconds,
        metavar="S",
        help=f"seconds between status updates (default: {TTY_INTERVAL} on a terminal, "
        f"{PIPE_INTERVAL} elsewhere)",
    )


def run(args: argparse.Namespace) -> int:
    """Runs ``quorl-sdk stream``; returns the exit status."""
    if args.json:
        return run_live("stream", args, JsonOutput(sys.stdout))
    every = interval(args.interval, sys.stdout)
    return run_live("stream", args, StatusOutput("stream", sys.stdout, every))


def frame_json(frame: Frame, received: float) -> str:
    """Returns ``frame`` as one line of JSON, received at ``received`` (Unix seconds)."""
    document = {
        "time": received,
        "type": int(frame.kind),
        "kind": frame.kind.name,
        "side": frame.side,
        "values": frame.values,
    }
    try:
        return json.dumps(document, allow_nan=False, separators=(",", ":"))
    except ValueError:
        document["values"] = [_json_number(value) for value in frame.values]
        return json.dumps(document, allow_nan=False, separators=(",", ":"))


def _json_number(value: float) -> float | str:
    """Returns ``value``, or for NaN and the infinities the string that stands for it."""
    if math.isnan(value):
        return "NaN"
    return _NON_FINITE.get(value, value)


class JsonOutput(Output):
    """One JSON object per frame on stdout, stamped with its arrival; events on stderr."""

    def __init__(self, out: TextIO) -> None:
        self.out = out

    def frame(self, frame: Frame, time: float) -> None:
        self.out.write(frame_json(frame, round(wall_time(time), 6)) + "\n")
        self.out.flush()

    def event(self, text: str) -> None:
        print(f"quorl-sdk stream: {text}", file=sys.stderr, flush=True)
