"""The live status that ``stream`` and ``lsl`` show: per (kind, side) the rate in Hz
over the last second, the frames so far and the age of the last one, then the
counts of refused frames, stream errors and reconnections.
"""

from __future__ import annotations

import shutil
import time
from collections import deque
from dataclasses import dataclass, field
from typing import TextIO

from quorl_sdk.cli._live import Session
from quorl_sdk.cli._run import Output
from quorl_sdk.frames import Frame, FrameKind

__all__ = ["PIPE_INTERVAL", "TTY_INTERVAL", "Screen", "StatusOutput", "StreamStatus", "interval"]

#: Seconds over which the rate of each stream is measured.
RATE_WINDOW = 1.0
#: How often the status is redrawn on a terminal, and written elsewhere.
TTY_INTERVAL = 0.25
PIPE_INTERVAL = 1.0

StreamKey = tuple[FrameKind, "int | None"]


def interval(chosen: float | None, out: TextIO) -> float:
    """Returns the seconds between two status updates: ``chosen``, or the default for ``out``."""
    return chosen or (TTY_INTERVAL if out.isatty() else PIPE_INTERVAL)


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

    def render(self, command: str, session: Session, now: float, state: str) -> list[str]:
        """Returns the status of ``quorl-sdk COMMAND`` as lines, for the moment ``now``."""
        lines = [
            f"quorl-sdk {command}: {session.url}, {state}, {_duration(now - self.started)}",
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


class Screen:
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


class StatusOutput(Output):
    """The live status of ``stream`` (and of ``lsl``), titled with the command's name."""

    def __init__(self, command: str, out: TextIO, interval: float) -> None:
        self.command = command
        self.screen = Screen(out)
        self.interval = interval
        self.tick = min(interval, 0.1)
        self.status = StreamStatus(time.monotonic())
        self.session: Session | None = None
        self._next_draw = 0.0

    def start(self, session: Session) -> None:
        self.session = session
        self.status = StreamStatus(time.monotonic())
        self._next_draw = self.status.started + self.interval

    def frame(self, frame: Frame, time: float) -> None:
        self.status.add(frame, time)

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
            self.screen.draw(self.status.render(self.command, self.session, now, state))
