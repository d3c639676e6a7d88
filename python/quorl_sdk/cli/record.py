"""``quorl-sdk record FILE``: saves every frame a server sends, with its arrival time.

The recording (see :mod:`quorl_sdk.recording`) holds each frame with the
moment it arrived from the socket, and marks where the connection was lost
and made again (with ``--reconnect``). It runs until Ctrl-C, the end of
``--duration`` or the end of the stream, then says why it stopped, how many
frames it saved and over how long. A connection lost without
``--reconnect`` (the server went away) is exit status 1.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator
from contextlib import contextmanager

from quorl_sdk.cli._live import Session, add_connection_options, seconds, wall_time
from quorl_sdk.cli._run import Output, run_live
from quorl_sdk.frames import Frame
from quorl_sdk.recording import MarkKind, RecordingWriter

# How often a recording is handed to the operating system.
_FLUSH_INTERVAL = 0.5


def add_parser(subcommands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds ``quorl-sdk record`` to the command line."""
    parser = subcommands.add_parser(
        "record",
        help="save the frames a Quorl server sends to a file",
        description="Connects to a Quorl server and saves every frame with its arrival time "
        "to FILE until Ctrl-C, the end of --duration or the end of the stream. "
        "`quorl-sdk replay FILE` serves it again, `quorl-sdk export FILE OUT` converts it.",
    )
    parser.add_argument("file", metavar="FILE", help="the recording to write (replaced)")
    add_connection_options(parser)
    parser.add_argument("--duration", type=seconds, metavar="S", help="stop after S seconds")
    parser.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    """Runs ``quorl-sdk record``; returns the exit status."""
    return run_live("record", args, RecordOutput(args.file))


class RecordOutput(Output):
    """Every frame into a recording, with progress lines on stderr."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.writer: RecordingWriter | None = None
        self.session: Session | None = None
        self._next_flush = 0.0

    def start(self, session: Session) -> None:
        self.session = session
        with self._writing():
            self.writer = RecordingWriter(
                self.path,
                started_ns=round(wall_time(session.opened) * 1e9),
                monotonic_ns=round(session.opened * 1e9),
            )
        _say(f"recording {session.url} to {self.path}; Ctrl-C stops")

    def frame(self, frame: Frame, time: float) -> None:
        assert self.writer is not None
        with self._writing():
            self.writer.write_frame(frame, self._since_start(time))

    def link(self, up: bool, time: float) -> None:
        assert self.writer is not None
        with self._writing():
            mark = MarkKind.RECONNECTED if up else MarkKind.LOST
            self.writer.write_mark(mark, self._since_start(time))

    def idle(self, now: float) -> None:
        if now >= self._next_flush and self.writer is not None:
            with self._writing():
                self.writer.flush()
            self._next_flush = now + _FLUSH_INTERVAL

    def event(self, text: str) -> None:
        _say(text)

    def finish(self, now: float, reason: str) -> None:
        assert self.writer is not None and self.session is not None
        try:
            with self._writing():
                self.writer.close()
        finally:
            seconds = self._since_start(now) / 1e9
            refused = self.session.decode_errors
            plural = "s" if refused != 1 else ""
            note = f"; {refused} frame{plural} refused by the decoder, not recorded"
            note = note if refused else ""
            _say(f"{self.writer.count} frames in {seconds:.1f} s to {self.path} ({reason}){note}")

    def _since_start(self, time: float) -> int:
        """Returns the nanoseconds from the start of the recording to ``time`` (monotonic s)."""
        assert self.writer is not None
        return max(round(time * 1e9) - self.writer.monotonic_ns, 0)

    @contextmanager
    def _writing(self) -> Iterator[None]:
        """Names the recording in an OSError that lacks a file name (a failed flush)."""
        try:
            yield
        except OSError as error:
            if error.filename is None and error.errno is not None:
                raise OSError(error.errno, error.strerror, self.path) from error
            raise


def _say(text: str) -> None:
    print(f"quorl-sdk record: {text}", file=sys.stderr, flush=True)
