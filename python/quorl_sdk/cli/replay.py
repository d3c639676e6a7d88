"""``quorl-sdk replay FILE``: serves a recording again (see :mod:`quorl_sdk.replay`)."""

from __future__ import annotations

import argparse

from quorl_sdk.cli._run import reading
from quorl_sdk.cli._serve import add_server_options, serve_command


def add_parser(subcommands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds ``quorl-sdk replay`` to the command line."""
    parser = subcommands.add_parser(
        "replay",
        help="serve a recording again, like a Quorl server",
        description="Serves a recording made by `quorl-sdk record` over WebSocket on 127.0.0.1 "
        "until Ctrl-C: every connection gets the hello, then the recorded frames at their "
        "recorded pace, then a normal close. Prints one line with the URL once it serves.",
    )
    parser.add_argument("file", metavar="FILE", help="the recording")
    add_server_options(parser)
    parser.add_argument(
        "--speed",
        type=float,
        default=1.0,
        metavar="FACTOR",
        help="play FACTOR times faster than recorded; inf: without waiting (default: 1)",
    )
    parser.add_argument(
        "--loop", action="store_true", help="start again at the end instead of closing"
    )
    parser.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    """Serves the recording until Ctrl-C, SIGTERM or the end of ``--duration``."""
    from quorl_sdk.replay import Replay

    def replay() -> Replay:
        with reading(args.file):
            return Replay(args.file, port=args.port, speed=args.speed, loop=args.loop)

    return serve_command("replay", replay, args.duration)
