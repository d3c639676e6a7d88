"""The blocking client: :func:`connect`, :func:`connect_url` and :class:`Client`.

Exceptions seen by a program, by origin::

    connect / connect_url
     ├── TypeError, OverflowError      bad argument (the native module's own)
     ├── ValueError                    bad URL (native) or bad option of this layer
     └── ConnectionError               no server, or the connection attempt failed
    iterating / recv
     ├── TimeoutError                  no frame within the timeout
     ├── ValueError                    the server sent a malformed frame; reading goes on
     ├── ConnectionError               stream failure or incompatible protocol version
     ├── RuntimeError                  "client is closed"
     └── StopIteration / EOFError      the stream has ended for good

The native exceptions keep their types and messages exactly.
"""

from __future__ import annotations

import weakref
from types import EllipsisType, TracebackType
from typing import Any, Literal

import _quorl_sdk

from quorl_sdk._reader import (
    END,
    Channel,
    Item,
    Mode,
    check_options,
    check_timeout,
    start_reader,
)
from quorl_sdk.frames import Frame

__all__ = ["Client", "Mode", "connect", "connect_url"]

ModeName = Literal["lossless", "latest"]

#: How long ``close`` waits, by default, for the reader to drop the connection.
DEFAULT_CLOSE_TIMEOUT = 0.25
#: How many frames wait, by default, in lossless mode before the reader pauses.
DEFAULT_MAX_QUEUE = 1024


class _Handle:
    """What the blocking and the asyncio client share: the reader and its settings."""

    def __init__(
        self, channel: Channel, port: int, timeout: float | None, close_timeout: float | None
    ) -> None:
        """Wraps a connected reader; programs call the connect functions instead."""
        self._channel = channel
        self._port = port
        self._timeout = timeout
        self._close_timeout = close_timeout
        # Runs when the client is collected unclosed, and at interpreter exit.
        self._finalizer = weakref.finalize(self, channel.close)

    @property
    def port(self) -> int:
        """The TCP port of the connection."""
        return self._port

    @property
    def mode(self) -> Mode:
        """How frames are handed over: :attr:`Mode.LOSSLESS` or :attr:`Mode.LATEST`."""
        return self._channel.mode

    @property
    def timeout(self) -> float | None:
        """Seconds that iterating waits for the next frame; None waits without limit."""
        return self._timeout

    @property
    def received(self) -> int:
        """Frames read from the connection so far (errors not counted)."""
        return self._channel.received

    @property
    def dropped(self) -> int:
        """Frames replaced by a newer one of the same kind and side (latest mode only)."""
        return self._channel.dropped

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has been called."""
        return self._channel.closing


class Client(_Handle):
    """A live frame stream from a Quorl server; iterate it to receive :class:`Frame` values.

    Created by :func:`connect` or :func:`connect_url`. A reader thread owns
    the connection and hands frames over; waiting for one answers Ctrl-C
    within a fraction of a second and stops after ``timeout`` seconds.

    Use it as a context manager so that the connection is closed::

        with quorl_sdk.connect() as client:
            for frame in client:
                ...

    A ``ValueError`` (the server sent a malformed frame) ends a ``for`` loop
    but not the stream: iterating again goes on with the following frame.
    Iteration ends (``StopIteration``) when the stream ends for good: the
    server closed the connection and reconnection is off or gave up.

    One consumer thread at a time should read a client; ``close`` may be
    called from any thread.
    """

    def recv(self, timeout: float | None | EllipsisType = ...) -> Frame:
        """Waits for the next frame and returns it.

        Args:
            timeout: seconds to wait; None waits without limit, 0 only takes a
                frame that is already waiting; ``...`` (the default) uses the
                client's ``timeout``.

        Raises:
            TimeoutError: no frame came within the timeout.
            EOFError: the stream has ended for good.
            ValueError: the server sent a frame the decoder rejects (message
                "failed to decode a stream frame: ..."); the next call reads on.
            ConnectionError: the stream failed or the server speaks another
                protocol version.
            RuntimeError: "client is closed".
        """
        wait = self._timeout if isinstance(timeout, EllipsisType) else timeout
        check_timeout("timeout", wait)
        item = self._channel.take(wait)
        if item is END:
            raise EOFError("the stream has ended")
        return _unwrap(item)

    def __iter__(self) -> Client:
        return self

    def __next__(self) -> Frame:
        """Returns the next frame, waiting up to the client's ``timeout``.

        Raises:
            StopIteration: the stream has ended for good.
            TimeoutError, ValueError, ConnectionError, RuntimeError: as :meth:`recv`.
        """
        item = self._channel.take(self._timeout)
        if item is END:
            raise StopIteration
        return _unwrap(item)

    def close(self) -> None:
        """Closes the connection; frames still waiting are discarded.

        When no native step is running the socket is closed at once. While the
        reader thread waits inside the native client (which cannot be
        interrupted), it closes the connection itself as soon as the server's
        next item (frame, close or failure) arrives; ``close`` waits up to
        ``close_timeout`` seconds for that and then returns in any case, so a
        silent server keeps the socket open until it sends something or the
        connection ends; with ``reconnect`` on, a lost connection keeps the
        reader until a new one delivers a frame or the attempts give up.
        Nothing is handed over after ``close``. Safe to call more than once.

        Raises:
            KeyboardInterrupt: Ctrl-C during the wait; nothing else is raised.
        """
        self._finalizer()
        self._channel.wait_stopped(self._close_timeout)

    def __enter__(self) -> Client:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<quorl_sdk.Client port={self._port} mode={self.mode.value} {state}>"


def _unwrap(item: Item | Any) -> Frame:
    """Returns a frame, or raises the error that the reader handed over in its place."""
    if isinstance(item, BaseException):
        raise item
    frame: Frame = item
    return frame


def open_reader(
    connect: Any, arguments: dict[str, Any], mode: object, max_queue: object,
    timeout: object, close_timeout: object,
) -> Channel:
    """Checks this layer's options and starts a reader that runs ``connect(**arguments)``.

    Raises:
        ValueError, TypeError: an option of this layer is invalid.
    """
    checked = check_options(mode, max_queue, timeout=timeout, close_timeout=close_timeout)
    channel = Channel(checked, max_queue)  # type: ignore[arg-type]  # checked to be an int
    start_reader(channel, connect, arguments)
    return channel


def _connect(
    connect: Any, arguments: dict[str, Any], mode: object, max_queue: object,
    timeout: float | None, close_timeout: float | None,
) -> Client:
    """Connects on a reader thread while this thread waits interruptibly."""
    channel = open_reader(connect, arguments, mode, max_queue, timeout, close_timeout)
    try:
        port = channel.wait_connected()
    except BaseException:
        channel.close()  # a Ctrl-C: the reader drops the connection once it is up
        raise
    return Client(channel, port, timeout, close_timeout)


def connect(
    port: int | None = None,
    *,
    reconnect: bool = False,
    base_delay_ms: int = 250,
    max_delay_ms: int = 10000,
    max_retries: int = 10,
    mode: Mode | ModeName = Mode.LOSSLESS,
    max_queue: int = DEFAULT_MAX_QUEUE,
    timeout: float | None = None,
    close_timeout: float | None = DEFAULT_CLOSE_TIMEOUT,
) -> Client:
    """Connects to a Quorl server on ``127.0.0.1`` and returns a :class:`Client`.

    Args:
        port: the server's port; None tries 5432, 5433, 5434 and 5435 in turn.

        reconnect: re-establish a lost connection behind the iterator's back.
        base_delay_ms: wait before the first reconnection attempt; doubles
            after each failed attempt.
        max_delay_ms: longest wait between two attempts.
        max_retries: attempts per lost connection before the stream ends.

        mode: ``"lossless"`` (every frame in order, the reader pauses while
            ``max_queue`` frames wait) or ``"latest"`` (only the newest frame
            of each kind and side waits).
        max_queue: lossless mode's bound on waiting frames, at least 1.

        timeout: seconds that iterating waits for the next frame before it
            raises TimeoutError; None waits without limit.
        close_timeout: seconds that :meth:`Client.close` waits for the reader
            to drop the connection; None waits until it has.

    The connection is made on the reader thread; this thread waits for it and
    answers Ctrl-C meanwhile (the attempt then goes on in the background and
    its connection is dropped). The first connection is never retried.

    Raises:
        ConnectionError: no server on the given port ("failed to connect to
            Quorl at ws://127.0.0.1:PORT: ...") or on the default range ("no
            Quorl server found on ports 5432-5435; is Quorl running?").
        TypeError, OverflowError: ``port``, ``reconnect``, a delay or
            ``max_retries`` has the wrong type or range; exactly as
            ``_quorl_sdk.connect_raw`` raises them.
        ValueError: ``mode``, ``max_queue`` or a timeout is invalid.
    """
    arguments = {
        "port": port, "reconnect": reconnect, "base_delay_ms": base_delay_ms,
        "max_delay_ms": max_delay_ms, "max_retries": max_retries,
    }
    return _connect(
        _quorl_sdk.connect_raw, arguments, mode, max_queue, timeout, close_timeout
    )


def connect_url(
    url: str,
    *,
    reconnect: bool = False,
    base_delay_ms: int = 250,
    max_delay_ms: int = 10000,
    max_retries: int = 10,
    mode: Mode | ModeName = Mode.LOSSLESS,
    max_queue: int = DEFAULT_MAX_QUEUE,
    timeout: float | None = None,
    close_timeout: float | None = DEFAULT_CLOSE_TIMEOUT,
) -> Client:
    """Connects to a Quorl server at ``url`` (``ws://host:port``) and returns a :class:`Client`.

    The options are those of :func:`connect`.

    Raises:
        ValueError: ``url`` is not a usable Quorl URL ("invalid Quorl URL
            `...`: ..."), or ``mode``, ``max_queue`` or a timeout is invalid.
        ConnectionError: the connection attempt failed.
        TypeError, OverflowError: an argument has the wrong type or range;
            exactly as ``_quorl_sdk.connect_url_raw`` raises them.
        UnicodeEncodeError: ``url`` has no UTF-8 form.
    """
    arguments = {
        "url": url, "reconnect": reconnect, "base_delay_ms": base_delay_ms,
        "max_delay_ms": max_delay_ms, "max_retries": max_retries,
    }
    return _connect(
        _quorl_sdk.connect_url_raw, arguments, mode, max_queue, timeout, close_timeout
    )
