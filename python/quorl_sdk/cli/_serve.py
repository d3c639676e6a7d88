"""What ``simulate`` and ``replay`` share: serving a frame server until a stop."""

from __future__ import annotations

import argparse
import asyncio
import signal
from collections.abc import Callable
from contextlib import suppress
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from quorl_sdk.frameserver import FrameServer

__all__ = ["add_server_options", "serve_command"]


def add_server_options(parser: argparse.ArgumentParser) -> None:
    """Adds ``--port`` and ``--duration``, the options of every serving command."""
    parser.add_argument(
        "--port", type=int, help="port to serve on (default: first free of 5432-5435)"
    )
    parser.add_argument("--duration", type=float, metavar="S", help="stop after S seconds")


def serve_command(
    command: str, make_server: Callable[[], FrameServer], duration: float | None
) -> int:
    """Runs a server command: serves until Ctrl-C, SIGTERM or ``duration`` seconds.

    Prints one line with the URL once it serves; the exit status is 0, also
    after Ctrl-C.

    Raises:
        ValueError: an option is out of range.
        quorl_sdk.frameserver.PortUnavailableError: the port is taken.
        Exception: what ``make_server`` raises for input it refuses.
    """
    from quorl_sdk.frameserver import check  # loads websockets, which only servers need

    try:
        server = make_server()
        check(duration is None or duration >= 0, "duration must be zero or more seconds")
        return asyncio.run(_serve_until_stopped(server, command, duration))
    except KeyboardInterrupt:
        return 0


async def _serve_until_stopped(server: FrameServer, command: str, duration: float | None) -> int:
    """Serves until a stop signal or the duration ends."""
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, stop.set)
    async with server:
        print(f"quorl-sdk {command}: serving {server.describe()} on {server.url}", flush=True)
        with suppress(asyncio.TimeoutError):
            await asyncio.wait_for(stop.wait(), duration)
    return 0
