"""``quorl-sdk simulate``: a stand-in tracking server (see :mod:`quorl_sdk.simulator`)."""

from __future__ import annotations

import argparse

from quorl_sdk import wire
from quorl_sdk.cli._serve import add_server_options, serve_command
from quorl_sdk.cli._skeleton import add_skeleton_option, with_skeleton


def add_parser(subcommands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds ``quorl-sdk simulate`` to the command line."""
    parser = subcommands.add_parser(
        "simulate",
        help="serve synthetic tracking frames, like a Quorl server",
        description="Serves synthetic tracking frames over WebSocket on 127.0.0.1 until "
        "Ctrl-C, like a Quorl server. Prints one line with the URL once it serves.",
    )
    add_server_options(parser)
    parser.add_argument("--rate", type=float, default=60.0, help="ticks per second (default: 60)")
    parser.add_argument(
        "--version",
        type=int,
        default=wire.PROTOCOL_VERSION,
        help=f"protocol version in the hello frame (default: {wire.PROTOCOL_VERSION})",
    )
    parser.add_argument(
        "--restart-after",
        type=float,
        metavar="S",
        help="go away after S seconds of serving, then come back on the same port, repeatedly",
    )
    parser.add_argument(
        "--restart-gap",
        type=float,
        default=1.0,
        metavar="S",
        help="seconds away at each restart (default: 1)",
    )
    parser.add_argument(
        "--malformed",
        type=float,
        default=0.0,
        metavar="SHARE",
        help="share of malformed frames, 0 to 1",
    )
    parser.add_argument(
        "--chatter", action="store_true", help="send text, ping and pong messages between ticks"
    )
    parser.add_argument("--seed", type=int, help="seed for the choice of malformed frames")
    add_skeleton_option(parser)
    parser.set_defaults(handler=with_skeleton("simulate", run))


def run(args: argparse.Namespace) -> int:
    """Serves until Ctrl-C, SIGTERM or the end of ``--duration``; returns the exit status."""
    from quorl_sdk.simulator import Simulator

    def simulator() -> Simulator:
        return Simulator(
            port=args.port,
            rate=args.rate,
            version=args.version,
            restart_after=args.restart_after,
            restart_gap=args.restart_gap,
            malformed=args.malformed,
            chatter=args.chatter,
            seed=args.seed,
            skeleton=args.skeleton,
        )

    return serve_command("simulate", simulator, args.duration)
