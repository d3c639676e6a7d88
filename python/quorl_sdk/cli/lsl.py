"""``quorl-sdk lsl``: publishes a server's frames as LSL streams (see :mod:`quorl_sdk.lsl`).

One LSL stream per (kind, side), each sample stamped with the frame's arrival
time on LSL's clock. The bridge reconnects when the server goes away (the
schedule of ``--reconnect``) and shows the live status of ``stream``.
"""

from __future__ import annotations

import argparse
import sys
from typing import TextIO

from quorl_sdk.cli._live import Session, add_connection_options, seconds
from quorl_sdk.cli._run import run_live
from quorl_sdk.cli._status import StatusOutput, interval
from quorl_sdk.cli.stream import add_interval_option
from quorl_sdk.frames import Frame
from quorl_sdk.lsl import LslBridge, clock_offset

_COMMAND = "lsl"


def add_parser(subcommands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds ``quorl-sdk lsl`` to the command line."""
    parser = subcommands.add_parser(
        _COMMAND,
        help="publish the frames as LSL streams, one per kind and side (needs pylsl)",
        description="Connects to a Quorl server and publishes each kind and side of frame as "
        "an LSL stream of double64 channels, stamped with each frame's arrival time on LSL's "
        "clock, until Ctrl-C; reconnects when the server goes away and shows a live status. "
        "liblsl reads its configuration from the file named by LSLAPICFG. Needs "
        "pip install 'quorl-sdk[lsl]'.",
    )
    add_connection_options(parser, reconnect=False)
    parser.add_argument("--duration", type=seconds, metavar="S", help="stop after S seconds")
    add_interval_option(parser)
    parser.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    """Runs ``quorl-sdk lsl``; returns the exit status."""
    clock_offset()  # loads liblsl: a missing pylsl is a usage error, before connecting
    output = LslOutput(sys.stdout, interval(args.interval, sys.stdout))
    return run_live(_COMMAND, args, output, reconnect=True)


class LslOutput(StatusOutput):
    """Every frame onto its LSL stream, with the live status of ``stream``."""

    def __init__(self, out: TextIO, every: float) -> None:
        super().__init__(_COMMAND, out, every)
        self.bridge: LslBridge | None = None

    def start(self, session: Session) -> None:
        super().start(session)
        self.bridge = LslBridge(session.url)

    def frame(self, frame: Frame, time: float) -> None:
        super().frame(frame, time)
        assert self.bridge is not None
        if self.bridge.push(frame, time):
            self.event(f"publishing LSL stream '{self.bridge.streams[-1]}'")

    def finish(self, now: float, reason: str) -> None:
        try:
            super().finish(now, reason)
        finally:
            if self.bridge is not None:
                self.bridge.close()
