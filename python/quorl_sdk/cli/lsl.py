"""``quorl-sdk lsl``: publishes a server's frames as LSL streams (see :mod:`quorl_sdk.lsl`).

One LSL stream per (kind, side), each sample stamped with the frame's arrival
time on LSL's clock, its channels named by the skeleton (``--skeleton FILE``),
its ``nominal_srate`` measured at start-up or given with ``--rate``, its name
prefixed with ``--name`` (default ``quorl``). The bridge reconnects when the server goes away (the
schedule of ``--reconnect``) and shows the live status of ``stream``.
"""

from __future__ import annotations

import argparse
import math
import sys
from typing import TextIO

from quorl_sdk.cli._live import Session, add_connection_options, seconds
from quorl_sdk.cli._run import run_live
from quorl_sdk.cli._skeleton import add_skeleton_option, with_skeleton
from quorl_sdk.cli._status import StatusOutput, interval
from quorl_sdk.cli.stream import add_interval_option
from quorl_sdk.frames import Frame
from quorl_sdk.lsl import DEFAULT_NAME, MEASURE_SECONDS, LslBridge, clock_offset
from quorl_sdk.skeleton import Skeleton

_COMMAND = "lsl"


def add_parser(subcommands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds ``quorl-sdk lsl`` to the command line."""
    parser = subcommands.add_parser(
        _COMMAND,
        help="publish the frames as LSL streams, one per kind and side (needs pylsl)",
        description="Connects to a Quorl server and publishes each kind and side of frame as "
        "an LSL stream of double64 channels, stamped with each frame's arrival time on LSL's "
        "clock, until Ctrl-C; reconnects when the server goes away and shows a live status. "
        "Channels are labelled, with units and types, by the skeleton; each stream opens "
        "once its rate is measured, or at once with --rate. "
        "liblsl reads its configuration from the file named by LSLAPICFG. Needs "
        "pip install 'quorl-sdk[lsl]'.",
    )
    add_connection_options(parser, reconnect=False)
    parser.add_argument("--duration", type=seconds, metavar="S", help="stop after S seconds")
    add_interval_option(parser)
    parser.add_argument(
        "--name",
        default=DEFAULT_NAME,
        help=f"prefix of the streams' names and source ids (default: {DEFAULT_NAME})",
    )
    parser.add_argument(
        "--rate",
        type=_hertz,
        metavar="HZ",
        help="the streams' nominal rate (default: each stream's rate measured over its "
        f"first {MEASURE_SECONDS:g} s)",
    )
    add_skeleton_option(parser)
    parser.set_defaults(handler=with_skeleton(_COMMAND, run))


def _hertz(text: str) -> float:
    """Parses a rate in Hz, more than zero, for argparse.

    Raises:
        argparse.ArgumentTypeError: not a finite number above zero.
    """
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be more than zero Hz, got {text!r}")
    return value


def run(args: argparse.Namespace) -> int:
    """Runs ``quorl-sdk lsl``; returns the exit status."""
    clock_offset()  # loads liblsl: a missing pylsl is a usage error, before connecting
    output = LslOutput(
        sys.stdout, interval(args.interval, sys.stdout),
        skeleton=args.skeleton, name=args.name, rate=args.rate,
    )  # fmt: skip
    return run_live(_COMMAND, args, output, reconnect=True)


class LslOutput(StatusOutput):
    """Every frame onto its LSL stream, with the live status of ``stream``."""

    def __init__(
        self, out: TextIO, every: float, *, skeleton: Skeleton, name: str, rate: float | None
    ) -> None:
        super().__init__(_COMMAND, out, every)
        self.bridge: LslBridge | None = None
        self.skeleton, self.name, self.rate = skeleton, name, rate

    def start(self, session: Session) -> None:
        super().start(session)
        self.bridge = LslBridge(
            session.url, skeleton=self.skeleton, name=self.name, rate=self.rate
        )

    def frame(self, frame: Frame, time: float) -> None:
        super().frame(frame, time)
        assert self.bridge is not None
        self._opened(self.bridge.push(frame, time))

    def idle(self, now: float) -> None:
        super().idle(now)
        if self.bridge is not None:
            self._opened(self.bridge.poll(now))

    def _opened(self, streams: list[str]) -> None:
        for stream in streams:
            self.event(f"publishing LSL stream '{stream}'")

    def finish(self, now: float, reason: str) -> None:
        try:
            super().finish(now, reason)
        finally:
            if self.bridge is not None:
                self.bridge.close()
