"""What the live commands (stream, record, lsl, view, snapshot) share: their connection
options, a frame source that reconnects and counts, frame times, and their way of stopping.

Reconnection is the client's (``reconnect=True``), which counts what it mends
in ``client.reconnections``: the first attempt after 250 ms, each wait twice
the one before up to 10 s, at most 10 attempts per loss, always to the URL of
the first connection.
"""

from __future__ import annotations

import argparse
import math
import os
import signal
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress
from dataclasses import dataclass
from types import FrameType
from typing import TYPE_CHECKING

from quorl_sdk import client as client_module
from quorl_sdk._engine import CLOSE_ABNORMAL
from quorl_sdk.client import Client, Mode, Recorder
from quorl_sdk.errors import FrameError, FrameTimeout, IncompatibleProtocol, StreamError
from quorl_sdk.frames import Frame, FrameKind

if TYPE_CHECKING:
    from quorl_sdk import _engine
    from quorl_sdk._options import Options

__all__ = [
    "Session",
    "Stopping",
    "StreamEnded",
    "StreamFailed",
    "Target",
    "add_connection_options",
    "fail",
    "open_session",
    "port_number",
    "positive_seconds",
    "seconds",
    "stopping_on_signals",
    "wall_clock_text",
    "wall_time",
]

# Items that watch() takes at most after its wait: one per stream and an error
# wait in latest mode, and a few more may come meanwhile.
_WATCH_TAKES = 32

# The close codes of a server that went away with the connection: it is going
# away (1001, shutting down), restarting (1012), or no close frame came.
_GONE = (1001, 1012, CLOSE_ABNORMAL)

BASE_DELAY = 0.25
MAX_DELAY = 10.0
MAX_RETRIES = 10

class StreamEnded(Exception):
    """The stream has ended for good and no reconnection follows.

    Attributes:
        lost: True when the server went away with the connection (it no
            longer answers), False when it ended the stream and still answers.
    """

    def __init__(self, message: str, *, lost: bool = False) -> None:
        super().__init__(message)
        self.lost = lost


class StreamFailed(Exception):
    """The stream cannot go on: another protocol version, or reconnection gave up."""


@dataclass(frozen=True)
class Target:
    """Where to connect: a loopback port, an explicit URL, or (neither) discovery."""

    port: int | None = None
    url: str | None = None

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> Target:
        """Returns the target given by the connection options of ``args``."""
        return cls(port=args.port, url=args.url)

    def describe(self) -> str:
        """Returns the target as a person reads it."""
        if self.url is not None:
            return self.url
        if self.port is not None:
            return f"ws://127.0.0.1:{self.port}"
        return "ports 5432-5435"


# The wall clock's reading minus the monotonic clock's, taken once so that converted
# times keep the monotonic clock's order and spacing.
_WALL_OFFSET = time.time() - time.monotonic()


def wall_time(monotonic: float) -> float:
    """Returns the Unix time of the monotonic reading ``monotonic``."""
    return monotonic + _WALL_OFFSET


def wall_clock_text(monotonic: float) -> str:
    """Returns the local date and time of the monotonic reading ``monotonic``, to the ms."""
    unix = wall_time(monotonic)
    whole = math.floor(unix)
    milliseconds = min(round((unix - whole) * 1000), 999)
    return f"{time.strftime('%Y-%m-%d %H:%M:%S', time.localtime(whole))}.{milliseconds:03d}"


def port_number(text: str) -> int:
    """Parses a TCP port number for argparse.

    Raises:
        argparse.ArgumentTypeError: not a whole number from 0 to 65535.
    """
    try:
        port = int(text)
    except ValueError:
        port = -1
    if not 0 <= port <= 0xFFFF:
        raise argparse.ArgumentTypeError(f"must be a port number from 0 to 65535, got {text!r}")
    return port


def seconds(text: str) -> float:
    """Parses a number of seconds, zero or more, for argparse.

    Raises:
        argparse.ArgumentTypeError: not a finite number of zero or more.
    """
    value = _number(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be zero or more seconds, got {text!r}")
    return value


def positive_seconds(text: str) -> float:
    """Parses a number of seconds, more than zero, for argparse.

    Raises:
        argparse.ArgumentTypeError: not a finite number above zero.
    """
    value = _number(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than zero seconds, got {text!r}")
    return value


def _number(text: str) -> float:
    """Returns ``text`` as a finite float, or NaN when it is none."""
    try:
        value = float(text)
    except ValueError:
        return math.nan
    return value if math.isfinite(value) else math.nan


def add_connection_options(parser: argparse.ArgumentParser, *, reconnect: bool = True) -> None:
    """Adds ``--port`` or ``--url`` and, when ``reconnect``, ``--reconnect`` to ``parser``."""
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--port",
        type=port_number,
        help="connect to ws://127.0.0.1:PORT (default: try 5432-5435)",
    )
    where.add_argument("--url", help="connect to this ws://host:port URL")
    if reconnect:
        parser.add_argument(
            "--reconnect",
            action="store_true",
            help="connect again when the connection is lost (waits from 0.25 s doubling "
            "to 10 s, 10 attempts)",
        )


class Session:
    """Frames from one server across reconnections, with counts of what happened.

    Connect with :meth:`open`, then call :meth:`next` until it raises
    :class:`StreamEnded` or :class:`StreamFailed`; :meth:`close` at the end.

    Args:
        target: where to connect.
        reconnect: connect again (to the same port or URL) after the
            connection ends.
        mode: how the client hands frames over (see :class:`quorl_sdk.Mode`).
        on_event: called with a line of text when something other than a
            frame happens (a refused frame, a lost connection, a reconnection).
        on_link: called with ``(False, time)`` and ``(True, time)`` for each
            reconnection: the arrival of the last frame before the loss, and
            the moment the new connection was seen (monotonic seconds).
        record: a recording to write from the first frame on (see
            :meth:`quorl_sdk.Client.record`); its :class:`Recorder` is
            :attr:`recorder` once open.
    """

    def __init__(
        self,
        target: Target,
        *,
        reconnect: bool = False,
        mode: Mode = Mode.LOSSLESS,
        on_event: Callable[[str], None] | None = None,
        on_link: Callable[[bool, float], None] | None = None,
        record: str | None = None,
    ) -> None:
        self.target = target
        self.reconnect = reconnect
        self.mode = mode
        #: Frames received.
        self.frames = 0
        #: Frames the decoder refused.
        self.decode_errors = 0
        #: Stream errors the client reported (other than the end of the stream).
        self.stream_errors = 0
        #: Connections made again after a loss.
        self.reconnections = 0
        #: The port of the connection, once connected.
        self.port: int | None = None
        self.record = record
        #: The recording, once open with ``record``.
        self.recorder: Recorder | None = None
        self._on_event = on_event
        self._on_link = on_link
        self._client: Client | None = None
        #: When connecting began (monotonic seconds): every frame arrives after it.
        self.opened = 0.0
        self._last_time = 0.0

    @property
    def connected(self) -> bool:
        """True while the client is open; the client mends losses out of sight."""
        return self._client is not None

    @property
    def url(self) -> str:
        """The URL of the connection, or of the target before the first one."""
        if self.target.url is not None:
            return self.target.url
        if self.port is not None:
            return f"ws://127.0.0.1:{self.port}"
        return self.target.describe()

    def open(self) -> None:
        """Makes the first connection; it is not retried.

        Raises:
            ConnectionError: no server answered.
            ValueError: the URL is not a usable Quorl URL.
            TypeError, OverflowError: the port is out of range.
            OSError: the recording cannot be created (another OSError than a
                ConnectionError).
        """
        self.opened = time.monotonic()
        try:
            self._client = self._connect()
        except BaseException:
            if self.recorder is not None and self.record is not None:
                # Nothing was recorded: no file is left behind.
                with suppress(OSError):
                    os.remove(self.record)
            raise
        self.port = self._client.port
        self._last_time = self.opened

    def _connect(self) -> Client:
        """Connects to the target on the reconnection schedule; the recording starts first."""
        options: Options = {
            "reconnect": self.reconnect, "base_delay_ms": round(BASE_DELAY * 1000),
            "max_delay_ms": round(MAX_DELAY * 1000), "max_retries": MAX_RETRIES,
            "mode": self.mode,
        }  # fmt: skip
        by_url = self.target.url is not None
        target = self.target.url if by_url else self.target.port
        prepare = None if self.record is None else self._start_recording
        return client_module._connect(by_url, target, dict(options), prepare)

    def _start_recording(self, stream: _engine.Stream) -> None:
        assert self.record is not None
        self.recorder = Recorder(stream.record(os.fsencode(self.record)), self.record)

    def latest(self) -> dict[tuple[FrameKind, int | None], Frame]:
        """Returns the newest frame of each stream (see :meth:`quorl_sdk.Client.latest`)."""
        return {} if self._client is None else self._client.latest()

    def next(self, timeout: float) -> Frame | None:
        """Returns the next frame, or None when none came within ``timeout`` seconds.

        Refused frames, stream errors and reconnections are counted and
        reported through ``on_event``; reconnections also through ``on_link``.

        Raises:
            StreamEnded: the stream has ended for good.
            StreamFailed: the server speaks another protocol version, or every
                reconnection attempt failed.
        """
        if self._client is None:
            raise StreamEnded("the stream has ended")
        frame: Frame | None = None
        try:
            frame = self._client.recv(timeout=timeout)
        except FrameTimeout:
            pass
        except FrameError as error:
            # In latest mode one error stands for those it replaced.
            self.decode_errors += 1 + error.replaced
            self._event(str(error))
        except IncompatibleProtocol as error:
            raise StreamFailed(str(error)) from None
        except StreamError as error:
            self.stream_errors += 1
            self._event(str(error))
        except EOFError:
            self._end()
        self._count_reconnections(time.monotonic() if frame is None else frame.time)
        if frame is not None:
            self.frames += 1
            self._last_time = frame.time
        return frame

    def _end(self) -> None:
        """Closes the ended stream and says why it ended.

        Raises:
            StreamFailed: reconnection gave up.
            StreamEnded: the server ended the stream, or went away (``lost``).
        """
        self._count_reconnections(time.monotonic())
        # A server that ends the stream closes it; one that shuts down says it goes
        # away, and a lost connection has no close frame at all.
        code = None if self._client is None else self._client.close_code
        self.close()
        if self.reconnect:
            raise StreamFailed(f"gave up reconnecting to {self.url} after {MAX_RETRIES} attempts")
        if code not in _GONE:
            raise StreamEnded("the server ended the stream")
        raise StreamEnded(f"the connection to {self.url} was lost", lost=True)

    def watch(self, timeout: float) -> None:
        """Waits ``timeout`` seconds, then takes what waits as :meth:`next` does.

        For a latest-mode session whose program looks only at :meth:`latest`:
        no frame wakes it, and errors and the end are still seen.

        Raises:
            As :meth:`next`.
        """
        time.sleep(timeout)
        for _ in range(_WATCH_TAKES):
            if self.next(0) is None:
                return

    def _count_reconnections(self, now: float) -> None:
        """Reports the reconnections the client made since the last look, seen at ``now``.

        The client mends a loss out of sight: the loss is placed at the last
        frame before it, the reconnection at ``now`` (the first frame after it).
        """
        if self._client is None:
            return
        while self.reconnections < self._client.reconnections:
            self.reconnections += 1
            if self._on_link is not None:
                self._on_link(False, self._last_time)
                self._on_link(True, max(now, self._last_time))
            self._event(f"connection to {self.url} lost; reconnecting")
            self._event(f"reconnected to {self.url}")

    def _event(self, text: str) -> None:
        if self._on_event is not None:
            self._on_event(text)

    def close(self) -> None:
        """Closes the connection, if one is up; safe to call more than once."""
        client, self._client = self._client, None
        if client is not None:
            client.close()


class Stopping:
    """Ctrl-C (SIGINT) and SIGTERM stop a command by raising KeyboardInterrupt.

    Inside :meth:`deferred` a signal only takes note, and the interrupt is
    raised when the block ends, so that a record or a line of output is never
    cut in half. With :attr:`raising` off a signal only sets :attr:`requested`,
    for loops that run inside a GUI toolkit, which would swallow the interrupt.
    Only the first signal stops: the command is closing after it, and a second
    one (an impatient Ctrl-C) must not cut that short.
    """

    def __init__(self) -> None:
        #: Whether a signal raises KeyboardInterrupt; otherwise it only sets ``requested``.
        self.raising = True
        #: Whether a stop signal has come.
        self.requested = False
        self._deferring = False
        self._pending = False

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        again, self.requested = self.requested, True
        if again or not self.raising:
            return
        if self._deferring:
            self._pending = True
            return
        raise KeyboardInterrupt

    @contextmanager
    def deferred(self) -> Iterator[None]:
        """Holds back a stop signal until the block has run."""
        self._deferring = True
        try:
            yield
        finally:
            self._deferring = False
        # Reached only when the block ran through; otherwise its exception stops the command.
        if self._pending:
            self._pending = False
            raise KeyboardInterrupt


@contextmanager
def stopping_on_signals() -> Iterator[Stopping]:
    """Routes SIGINT and SIGTERM through a :class:`Stopping` while the block runs."""
    stopping = Stopping()
    previous = {
        signum: signal.signal(signum, stopping._handle) for signum in (signal.SIGINT, signal.SIGTERM)
    }
    try:
        yield stopping
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def fail(command: str, message: object, code: int = 1) -> int:
    """Prints ``quorl-sdk COMMAND: error: MESSAGE`` on stderr and returns ``code``."""
    print(f"quorl-sdk {command}: error: {message}", file=sys.stderr, flush=True)
    return code


def open_session(command: str, session: Session) -> int | None:
    """Opens ``session``; returns None once connected, or 0 when Ctrl-C stopped it.

    Raises:
        ConnectionError: no server answered.
        ValueError: the URL is not a usable Quorl URL.
    """
    try:
        session.open()
    except KeyboardInterrupt:
        return 0
    return None
