"""``quorl-sdk record FILE``: saves every frame a server sends, with its arrival time.

The recording (see :mod:`quorl_sdk.recording`) holds each frame exactly as the
server sent it, with the moment it arrived from the socket, and marks where
the connection was lost and made again (with ``--reconnect``). The client's
engine thread writes it (:meth:`quorl_sdk.Client.record`) from the first frame
on; this command only watches, in latest mode, and shows a live status on
stderr: redrawn in place on a terminal, one line a second elsewhere. It runs
until Ctrl-C, the end of ``--duration`` or the end of the stream, then says
why it stopped, how many frames it saved and over how long. A connection lost
without ``--reconnect`` (the server went away) is exit status 1.
"""

from __future__ import annotations

import argparse
import sys
import time
from collections import deque
from typing import TextIO

from quorl_sdk.cli._live import Session, add_connection_options, seconds
from quorl_sdk.cli._run import Output, run_live
from quorl_sdk.cli._status import RATE_WINDOW, Screen, StreamKey, _age, _duration, _order, interval
from quorl_sdk.client import Mode
from quorl_sdk.frames import Frame


def add_parser(subcommands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds ``quorl-sdk record`` to the command line."""
    parser = subcommands.add_parser(
        "record",
        help="save the frames a Quorl server sends to a file",
        description="Connects to a Quorl server and saves every frame with its arrival time "
        "to FILE until Ctrl-C, the end of --duration or the end of the stream, with a live "
        "status on stderr. "
        "`quorl-sdk replay FILE` serves it again, `quorl-sdk export FILE OUT` converts it.",
    )
    parser.add_argument("file", metavar="FILE", help="the recording to write (replaced)")
    add_connection_options(parser)
    parser.add_argument("--duration", type=seconds, metavar="S", help="stop after S seconds")
    parser.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    """Runs ``quorl-sdk record``; returns the exit status."""
    return run_live("record", args, RecordOutput(args.file, sys.stderr))


class RecordStatus:
    """What the status of ``record`` shows: per stream the rate over the last second,
    the frames written and the age of the newest, then the counts of the session."""

    def __init__(self, session: Session, path: str, started: float) -> None:
        self.session = session
        self.path = path
        self.started = started
        self.last_event = ""
        # (time, frames written per stream) over the last RATE_WINDOW; the
        # start counts as a sample, so the first status already has a rate.
        self._samples: deque[tuple[float, dict[StreamKey, int]]] = deque([(started, {})])

    def sample(self, now: float) -> dict[StreamKey, int]:
        """Takes the recorder's counts at ``now``; returns them."""
        assert self.session.recorder is not None
        counts = self.session.recorder.stream_frames
        self._samples.append((now, counts))
        while len(self._samples) > 1 and self._samples[1][0] <= now - RATE_WINDOW:
            self._samples.popleft()
        return counts

    def rate(self, key: StreamKey | None, now: float, counts: dict[StreamKey, int]) -> float:
        """Frames per second of ``key`` (None: of all) since the oldest sample in the window."""
        then, old = self._samples[0]
        if now <= then:
            return 0.0
        return (_total(counts, key) - _total(old, key)) / (now - then)

    def line(self, now: float) -> str:
        """The one-line status, for a pipe or a file."""
        counts = self.sample(now)
        s = self.session
        return (
            f"quorl-sdk record: {_duration(now - self.started)}, {sum(counts.values())} frames "
            f"({self.rate(None, now, counts):.1f}/s), malformed {s.decode_errors}, "
            f"stream errors {s.stream_errors}, reconnections {s.reconnections}"
        )

    def block(self, now: float, state: str) -> list[str]:
        """The status as lines, for a terminal."""
        counts = self.sample(now)
        newest: dict[StreamKey, Frame] = self.session.latest()
        s = self.session
        lines = [
            f"quorl-sdk record: {s.url} to {self.path}, {state}, {_duration(now - self.started)}",
            f"  {'kind':<18}{'side':>5}{'rate':>11}{'frames':>10}  last frame",
        ]
        for key in sorted(counts, key=_order):
            side = "-" if key[1] is None else str(key[1])
            frame = newest.get(key)
            age = "-" if frame is None else _age(max(now - frame.time, 0.0))
            lines.append(
                f"  {key[0].name:<18}{side:>5}{self.rate(key, now, counts):>8.1f} Hz"
                f"{counts[key]:>10}  {age}"
            )
        if not counts:
            lines.append("  (no frame yet)")
        lines.append(
            f"  frames {sum(counts.values())} | malformed {s.decode_errors}"
            f" | stream errors {s.stream_errors} | reconnections {s.reconnections}"
        )
        if self.last_event:
            lines.append(f"  last event: {self.last_event}")
        return lines


def _total(counts: dict[StreamKey, int], key: StreamKey | None) -> int:
    """The frames of ``key`` in ``counts``; None: of every stream."""
    return sum(counts.values()) if key is None else counts.get(key, 0)


class RecordOutput(Output):
    """A recording written by the engine; the status and the end on ``out``."""

    mode = Mode.LATEST

    def __init__(self, path: str, out: TextIO) -> None:
        self.record: str = path
        self.out = out
        self.screen = Screen(out)
        self.interval = interval(None, out)
        self.tick = min(self.interval, 0.1)
        self.status: RecordStatus | None = None
        self._next_draw = 0.0
        self._last_event = ""

    def take(self, session: Session, timeout: float) -> Frame | None:
        # The engine writes every frame; this loop only looks now and then.
        session.watch(timeout)
        return None

    def start(self, session: Session) -> None:
        self.status = RecordStatus(session, self.record, session.opened)
        self._next_draw = time.monotonic() + self.interval
        self._say(f"recording {session.url} to {self.record}; Ctrl-C stops")

    def idle(self, now: float) -> None:
        if now >= self._next_draw:
            self._draw(now, "recording")
            self._next_draw = now + self.interval

    def event(self, text: str) -> None:
        # Counted in the status, one line at most a second, never one line each.
        if self.status is not None:
            self.status.last_event = text

    def finish(self, now: float, reason: str) -> None:
        assert self.status is not None
        session = self.status.session
        try:
            if session.recorder is not None:
                session.recorder.stop()
        finally:
            frames = 0 if session.recorder is None else session.recorder.frames
            refused = session.decode_errors
            plural = "s" if refused != 1 else ""
            note = f"; {refused} frame{plural} refused by the decoder, not recorded"
            note = note if refused else ""
            span = now - session.opened
            self._say(f"{frames} frames in {span:.1f} s to {self.record} ({reason}){note}")

    def _draw(self, now: float, state: str) -> None:
        assert self.status is not None
        if self.screen.tty:
            self.screen.draw(self.status.block(now, state))
        else:
            print(self.status.line(now), file=self.out, flush=True)

    def _say(self, text: str) -> None:
        print(f"quorl-sdk record: {text}", file=self.out, flush=True)
