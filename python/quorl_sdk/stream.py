"""``quorl-sdk stream`` shows what a server sends; ``quorl-sdk record FILE`` saves it.

``stream`` prints a live status, refreshed a few times a second: per (kind,
side) the rate in Hz over the last second, the frames so far and the age of
the last one, then the counts of refused frames, stream errors and
reconnections. ``--json`` prints one JSON object per frame instead::

    {"time": 1767225600.123456, "type": 5, "kind": "HAND_LANDMARKS", "side": 0,
     "values": [0.24, 0.9, ...]}

``time`` is the receive time in seconds since the Unix epoch; ``values`` are
the frame's values in wire order, each written so that it reads back as the
same binary64. JSON has no NaN or infinity: those are written as the strings
"NaN", "Infinity" and "-Infinity".

``record`` saves every frame with its receive time (see
:mod:`quorl_sdk.recording`) until Ctrl-C, the end of ``--duration`` or the
end of the stream.

Both connect like a client does (the first of 5432-5435 that answers, or
``--port``, or ``--url``); ``--reconnect`` connects again after a loss. They
stop on Ctrl-C or SIGTERM with exit code 0, as at any normal end; a failure to
connect, another protocol version or reconnection giving up is exit code 1,
a bad option exit code 2.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import sys
import time
from collections import deque
from dataclasses import dataclass, field
from typing import TextIO

from quorl_sdk import cli
from quorl_sdk._live import (
    Session,
    Stopping,
    StreamEnded,
    StreamFailed,
    Target,
    add_connection_options,
    fail,
    positive_seconds,
    seconds,
    stopping_on_signals,
)
from quorl_sdk.frames import Frame, FrameKind
from quorl_sdk.recording import RecordingWriter

__all__ = ["StreamStatus", "frame_json"]

#: Seconds over which the rate of each stream is measured.
RATE_WINDOW = 1.0
# How often the status is redrawn on a terminal, and written elsewhere.
_TTY_INTERVAL = 0.25
_PIPE_INTERVAL = 1.0
# How often a recording is handed to the operating system.
_FLUSH_INTERVAL = 0.5

_NON_FINITE = {math.inf: "Infinity", -math.inf: "-Infinity"}

StreamKey = tuple[FrameKind, "int | None"]


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


@dataclass
class _Stream:
    """What the status knows of one (kind, side): arrival times of the last second, count."""

    arrivals: deque[float] = field(default_factory=deque)
    count: int = 0
    first: float = 0.0
    last: float = 0.0


class StreamStatus:
    """The numbers of the live status, and their rendering as lines of text."""

    def __init__(self, started: float) -> None:
        self.started = started
        self._streams: dict[StreamKey, _Stream] = {}
        self.last_event = ""

    def add(self, frame: Frame, now: float) -> None:
        """Counts ``frame``, received at ``now`` (monotonic seconds)."""
        key = (frame.kind, frame.side)
        stream = self._streams.get(key)
        if stream is None:
            stream = self._streams[key] = _Stream(first=now)
        stream.count += 1
        stream.last = now
        stream.arrivals.append(now)
        self._trim(stream, now)

    @staticmethod
    def _trim(stream: _Stream, now: float) -> None:
        while stream.arrivals and stream.arrivals[0] <= now - RATE_WINDOW:
            stream.arrivals.popleft()

    def rate(self, key: StreamKey, now: float) -> float:
        """Returns the frames per second of ``key`` over the last second (less at the start)."""
        stream = self._streams.get(key)
        if stream is None:
            return 0.0
        self._trim(stream, now)
        if now - stream.first >= RATE_WINDOW:
            return len(stream.arrivals) / RATE_WINDOW
        # Less than a window so far: the first arrival opens the span, it adds no interval.
        span = now - stream.first
        return (len(stream.arrivals) - 1) / span if span > 0 else 0.0

    def render(self, session: Session, now: float, state: str) -> list[str]:
        """Returns the status as lines, for the moment ``now``."""
        lines = [
            f"quorl-sdk stream: {session.url}, {state}, {_duration(now - self.started)}",
            f"  {'kind':<18}{'side':>5}{'rate':>11}{'frames':>10}  last frame",
        ]
        for key in sorted(self._streams, key=_order):
            stream = self._streams[key]
            side = "-" if key[1] is None else str(key[1])
            lines.append(
                f"  {key[0].name:<18}{side:>5}{self.rate(key, now):>8.1f} Hz"
                f"{stream.count:>10}  {_age(now - stream.last)}"
            )
        if not self._streams:
            lines.append("  (no frame yet)")
        last = max((stream.last for stream in self._streams.values()), default=None)
        lines.append(
            f"  frames {session.frames}, last {'-' if last is None else _age(now - last)}"
            f" | decode errors {session.decode_errors} | stream errors {session.stream_errors}"
            f" | reconnections {session.reconnections}"
        )
        if self.last_event:
            lines.append(f"  last event: {self.last_event}")
        return lines


def _order(key: StreamKey) -> tuple[int, int]:
    return int(key[0]), -1 if key[1] is None else key[1]


def _age(seconds: float) -> str:
    if seconds < 1.0:
        return f"{seconds * 1000:.0f} ms ago"
    return f"{seconds:.1f} s ago"


def _duration(seconds: float) -> str:
    return f"{seconds:.1f} s"


class _Screen:
    """Writes the status: redrawn in place on a terminal, as blocks of lines elsewhere."""

    def __init__(self, out: TextIO) -> None:
        self.out = out
        self.tty = out.isatty()
        self._drawn = 0

    def draw(self, lines: list[str]) -> None:
        if self.tty:
            # Back to the first line of the previous status, which is cleared; lines are
            # cut to the terminal's width, as a wrapped line would throw the count off.
            width = max(shutil.get_terminal_size().columns - 1, 20)
            back = f"\x1b[{self._drawn}F\x1b[J" if self._drawn else ""
            self.out.write(back + "\n".join(line[:width] for line in lines) + "\n")
            self._drawn = len(lines)
        else:
            self.out.write("\n".join(lines) + "\n\n")
        self.out.flush()


# The commands.


@cli.subcommand
def _add_stream_command(
    subcommands: argparse._SubParsersAction[argparse.ArgumentParser],
) -> None:
    """Adds ``quorl-sdk stream`` to the command line."""
    parser = subcommands.add_parser(
        "stream",
        help="show the frames a Quorl server sends, with a live status",
        description="Connects to a Quorl server and shows a live status of its frames (rate "
        "per kind and side, age of the last frame, decode errors, reconnections) until Ctrl-C, "
        "or with --json prints each frame as one line of JSON. Exit code 0 at Ctrl-C and at the "
        "end of the stream, 1 when connecting fails.",
    )
    add_connection_options(parser)
    parser.add_argument(
        "--json", action="store_true", help="print one JSON object per frame instead"
    )
    parser.add_argument("--duration", type=seconds, metavar="S", help="stop after S seconds")
    parser.add_argument(
        "--interval",
        type=positive_seconds,
        metavar="S",
        help=f"seconds between status updates (default: {_TTY_INTERVAL} on a terminal, "
        f"{_PIPE_INTERVAL} elsewhere)",
    )
    parser.set_defaults(handler=_stream_command)


@cli.subcommand
def _add_record_command(
    subcommands: argparse._SubParsersAction[argparse.ArgumentParser],
) -> None:
    """Adds ``quorl-sdk record`` to the command line."""
    parser = subcommands.add_parser(
        "record",
        help="save the frames a Quorl server sends to a file",
        description="Connects to a Quorl server and saves every frame with its receive time "
        "to FILE until Ctrl-C, the end of --duration or the end of the stream. "
        "`quorl-sdk replay FILE` serves it again.",
    )
    parser.add_argument("file", metavar="FILE", help="the recording to write (replaced)")
    add_connection_options(parser)
    parser.add_argument("--duration", type=seconds, metavar="S", help="stop after S seconds")
    parser.set_defaults(handler=_record_command)


def _stream_command(args: argparse.Namespace) -> int:
    """Runs ``quorl-sdk stream``; returns the exit code."""
    if args.json:
        return _run_live("stream", args, _JsonOutput(sys.stdout))
    interval = args.interval or (_TTY_INTERVAL if sys.stdout.isatty() else _PIPE_INTERVAL)
    return _run_live("stream", args, _StatusOutput(sys.stdout, interval))


def _record_command(args: argparse.Namespace) -> int:
    """Runs ``quorl-sdk record``; returns the exit code."""
    return _run_live("record", args, _RecordOutput(args.file))


class _Output:
    """What a live command does with the session: its start, each frame, idle moments, end."""

    #: Longest wait for a frame before :meth:`idle` runs.
    tick = 0.1

    def start(self, session: Session) -> None:
        """Called once connected."""

    def frame(self, frame: Frame, now: float) -> None:
        """Called with each frame and its receive time (monotonic seconds)."""

    def idle(self, now: float) -> None:
        """Called at least every :attr:`tick` seconds."""

    def event(self, text: str) -> None:
        """Called when something other than a frame happens."""

    def finish(self, now: float, reason: str) -> None:
        """Called once at the end, why it ended in ``reason``."""


def _run_live(command: str, args: argparse.Namespace, output: _Output) -> int:
    """Connects, hands every frame to ``output`` until the end; returns the exit code."""
    session = Session(
        Target.from_args(args), reconnect=getattr(args, "reconnect", False), on_event=output.event
    )
    with stopping_on_signals() as stopping:
        try:
            session.open()
        except KeyboardInterrupt:
            return 0
        except ConnectionError as error:
            return fail(command, error)
        except ValueError as error:  # an unusable --url
            return fail(command, error, 2)
        try:
            return _pump(command, session, output, stopping, args.duration)
        finally:
            session.close()


def _pump(
    command: str, session: Session, output: _Output, stopping: Stopping, duration: float | None
) -> int:
    """Hands frames to ``output`` until the duration, a stop signal or the end of the stream."""
    try:
        with stopping.deferred():
            output.start(session)
    except OSError as error:
        return fail(command, error, 2)
    except KeyboardInterrupt:
        _finish(output, stopping, "stopped")
        return 0
    started = time.monotonic()
    end = math.inf if duration is None else started + duration
    code, reason = 0, "stopped"
    try:
        while (now := time.monotonic()) < end:
            frame = session.next(min(output.tick, end - now))
            now = time.monotonic()
            if frame is not None:
                with stopping.deferred():
                    output.frame(frame, now)
            output.idle(now)
        reason = "duration over"
    except KeyboardInterrupt:
        reason = "stopped"
    except StreamEnded as ended:
        reason = str(ended)
    except StreamFailed as failed:
        code, reason = fail(command, failed), str(failed)
    except BrokenPipeError:
        # The reader of the output went away: stop quietly, with nothing more to write.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except OSError as error:
        code, reason = fail(command, error), str(error)
    _finish(output, stopping, reason)
    return code


def _finish(output: _Output, stopping: Stopping, reason: str) -> None:
    """Ends ``output`` in one piece: a stop signal meanwhile has nothing left to stop."""
    try:
        with stopping.deferred():
            output.finish(time.monotonic(), reason)
    except KeyboardInterrupt:
        pass


class _StatusOutput(_Output):
    """The live status of ``stream``."""

    def __init__(self, out: TextIO, interval: float) -> None:
        self.screen = _Screen(out)
        self.interval = interval
        self.tick = min(interval, 0.1)
        self.status = StreamStatus(time.monotonic())
        self.session: Session | None = None
        self._next_draw = 0.0

    def start(self, session: Session) -> None:
        self.session = session
        self.status = StreamStatus(time.monotonic())
        self._next_draw = self.status.started + self.interval

    def frame(self, frame: Frame, now: float) -> None:
        self.status.add(frame, now)

    def idle(self, now: float) -> None:
        if now >= self._next_draw:
            self._draw(now, self._state())
            self._next_draw = now + self.interval

    def event(self, text: str) -> None:
        self.status.last_event = text

    def finish(self, now: float, reason: str) -> None:
        self._draw(now, reason)

    def _state(self) -> str:
        assert self.session is not None
        return "connected" if self.session.connected else "reconnecting"

    def _draw(self, now: float, state: str) -> None:
        if self.session is not None:
            self.screen.draw(self.status.render(self.session, now, state))


class _JsonOutput(_Output):
    """One JSON object per frame on stdout; events on stderr."""

    def __init__(self, out: TextIO) -> None:
        self.out = out
        # Receive times on the wall clock, kept monotonic from a single reading.
        self._offset = time.time() - time.monotonic()

    def frame(self, frame: Frame, now: float) -> None:
        self.out.write(frame_json(frame, round(now + self._offset, 6)) + "\n")
        self.out.flush()

    def event(self, text: str) -> None:
        print(f"quorl-sdk stream: {text}", file=sys.stderr, flush=True)


class _RecordOutput(_Output):
    """Every frame into a recording, with progress lines on stderr."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.writer: RecordingWriter | None = None
        self.session: Session | None = None
        self._start_ns = 0
        self._next_flush = 0.0

    def start(self, session: Session) -> None:
        self.session = session
        self._start_ns = time.monotonic_ns()
        self.writer = RecordingWriter(self.path)
        _say(f"recording {session.url} to {self.path}; Ctrl-C stops")

    def frame(self, frame: Frame, now: float) -> None:
        assert self.writer is not None
        self.writer.write_frame(frame, max(time.monotonic_ns() - self._start_ns, 0))

    def idle(self, now: float) -> None:
        if now >= self._next_flush and self.writer is not None:
            self.writer.flush()
            self._next_flush = now + _FLUSH_INTERVAL

    def event(self, text: str) -> None:
        _say(text)

    def finish(self, now: float, reason: str) -> None:
        assert self.writer is not None and self.session is not None
        self.writer.close()
        seconds = (time.monotonic_ns() - self._start_ns) / 1e9
        refused = self.session.decode_errors
        plural = "s" if refused != 1 else ""
        note = f"; {refused} frame{plural} refused by the decoder, not recorded" if refused else ""
        _say(f"{self.writer.count} frames in {seconds:.1f} s to {self.path} ({reason}){note}")


def _say(text: str) -> None:
    print(f"quorl-sdk record: {text}", file=sys.stderr, flush=True)
