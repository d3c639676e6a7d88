"""The asyncio client: :func:`connect_async`, :func:`connect_url_async` and :class:`AsyncClient`.

The same reader thread as the blocking client connects and reads; the event
loop is only woken (``loop.call_soon_threadsafe``) when a frame arrives while a
coroutine waits for one, so the loop never blocks on the connection::

    async with quorl_sdk.connect_async() as client:
        async for frame in client:
            ...

The exceptions are those of :mod:`quorl_sdk.client`, with
``StopAsyncIteration`` in place of ``StopIteration``.
"""

from __future__ import annotations

import asyncio
from collections.abc import Callable, Generator
from types import EllipsisType, TracebackType
from typing import Any

import _quorl_sdk

from quorl_sdk._reader import (
    END,
    NOTHING,
    Channel,
    Item,
    Mode,
    Waker,
    check_options,
    check_timeout,
)
from quorl_sdk.client import (
    DEFAULT_CLOSE_TIMEOUT,
    DEFAULT_MAX_QUEUE,
    ModeName,
    _Handle,
    _unwrap,
    open_reader,
)
from quorl_sdk.frames import Frame

__all__ = ["AsyncClient", "Connecting", "connect_async", "connect_url_async"]


class AsyncClient(_Handle):
    """A live frame stream for asyncio; ``async for`` it to receive :class:`Frame` values.

    Created by :func:`connect_async` or :func:`connect_url_async`. Waiting
    never blocks the event loop; cancelling a waiting coroutine is safe and
    loses no frame.

    A ``ValueError`` (the server sent a malformed frame) ends an ``async for``
    loop but not the stream: iterating again goes on with the following frame.
    """

    async def recv(self, timeout: float | None | EllipsisType = ...) -> Frame:
        """Waits for the next frame and returns it.

        Args:
            timeout: seconds to wait; None waits without limit, 0 only takes a
                frame that is already waiting; ``...`` (the default) uses the
                client's ``timeout``.

        Raises:
            TimeoutError: no frame came within the timeout.
            EOFError: the stream has ended for good.
            ValueError: the server sent a frame the decoder rejects; the next
                call reads on.
            ConnectionError: the stream failed or the server speaks another
                protocol version.
            RuntimeError: "client is closed".
        """
        wait = self._timeout if isinstance(timeout, EllipsisType) else timeout
        check_timeout("timeout", wait)
        item = await _next_item(self._channel, wait)
        if item is END:
            raise EOFError("the stream has ended")
        return _unwrap(item)

    def __aiter__(self) -> AsyncClient:
        return self

    async def __anext__(self) -> Frame:
        """Returns the next frame, waiting up to the client's ``timeout``.

        Raises:
            StopAsyncIteration: the stream has ended for good.
            TimeoutError, ValueError, ConnectionError, RuntimeError: as :meth:`recv`.
        """
        item = await _next_item(self._channel, self._timeout)
        if item is END:
            raise StopAsyncIteration
        return _unwrap(item)

    async def close(self) -> None:
        """Closes the connection; frames still waiting are discarded.

        As :meth:`quorl_sdk.Client.close`: the socket closes at once unless
        the reader waits inside the native client, which then drops it with
        the server's next item; this waits up to ``close_timeout`` seconds for
        that, without blocking the loop. Safe to call more than once.

        Raises:
            asyncio.CancelledError: the calling task was cancelled; nothing
                else is raised.
        """
        self._finalizer()
        loop = asyncio.get_running_loop()
        deadline = None if self._close_timeout is None else loop.time() + self._close_timeout
        try:
            await _until(self._channel, _is_stopped, deadline)
        except TimeoutError:
            pass

    async def __aenter__(self) -> AsyncClient:
        return self

    async def __aexit__(
        self, kind: type[BaseException] | None, error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        await self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<quorl_sdk.AsyncClient port={self._port} mode={self.mode.value} {state}>"


def _is_connected(channel: Channel) -> bool:
    return channel.connected


def _is_stopped(channel: Channel) -> bool:
    return channel.stopped


def _waker(loop: asyncio.AbstractEventLoop, future: asyncio.Future[None]) -> Waker:
    """Returns a callable that the reader thread calls to resolve ``future`` on ``loop``."""

    def wake() -> None:
        try:
            loop.call_soon_threadsafe(_resolve, future)
        except RuntimeError:
            pass  # the loop is closed: nobody waits any more

    return wake


def _resolve(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


async def _sleep_until_woken(future: asyncio.Future[None], deadline: float | None) -> None:
    """Waits for ``future`` until ``deadline`` (loop time; None: no limit).

    Raises:
        TimeoutError: the deadline passed first.
    """
    if deadline is None:
        await future
        return
    remaining = deadline - asyncio.get_running_loop().time()
    if remaining <= 0:
        raise TimeoutError("no frame within the timeout")
    await asyncio.wait({future}, timeout=remaining)


async def _next_item(channel: Channel, timeout: float | None) -> Item | Any:
    """Takes the next item or the end marker, waiting up to ``timeout`` seconds."""
    item = channel.poll()
    if item is not NOTHING:
        return item
    loop = asyncio.get_running_loop()
    deadline = None if timeout is None else loop.time() + timeout
    while True:
        woken: asyncio.Future[None] = loop.create_future()
        item = channel.poll(_waker(loop, woken))
        if item is not NOTHING:
            return item
        await _sleep_until_woken(woken, deadline)


async def _until(
    channel: Channel, condition: Callable[[Channel], bool], deadline: float | None
) -> None:
    """Waits until ``condition`` holds for ``channel``, or until ``deadline``.

    Raises:
        TimeoutError: the deadline passed first.
    """
    loop = asyncio.get_running_loop()
    while True:
        woken: asyncio.Future[None] = loop.create_future()
        if channel.check(condition, _waker(loop, woken)):
            return
        await _sleep_until_woken(woken, deadline)


class Connecting:
    """What :func:`connect_async` returns: await it, or use it with ``async with``.

    Nothing happens until then: the connection is made on the reader thread
    when the object is awaited or entered.
    """

    def __init__(
        self, connect: Callable[..., _quorl_sdk.RawClient], arguments: dict[str, Any],
        mode: object, max_queue: int, timeout: float | None, close_timeout: float | None,
    ) -> None:
        check_options(mode, max_queue, timeout=timeout, close_timeout=close_timeout)
        self._connect = connect
        self._arguments = arguments
        self._mode = mode
        self._max_queue = max_queue
        self._timeout = timeout
        self._close_timeout = close_timeout
        self._client: AsyncClient | None = None

    async def _open(self) -> AsyncClient:
        """Connects on a reader thread and returns the client."""
        channel = open_reader(
            self._connect, self._arguments, self._mode, self._max_queue, self._timeout,
            self._close_timeout,
        )
        try:
            await _until(channel, _is_connected, None)
            port = channel.connect_result()
        except BaseException:
            channel.close()  # cancelled: the reader drops the connection once it is up
            raise
        return AsyncClient(channel, port, self._timeout, self._close_timeout)

    def __await__(self) -> Generator[Any, None, AsyncClient]:
        return self._open().__await__()

    async def __aenter__(self) -> AsyncClient:
        self._client = await self._open()
        return self._client

    async def __aexit__(
        self, kind: type[BaseException] | None, error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        if self._client is not None:
            await self._client.close()


def connect_async(
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
) -> Connecting:
    """Connects to a Quorl server on ``127.0.0.1`` for asyncio.

    ``await connect_async(...)`` returns an :class:`AsyncClient`;
    ``async with connect_async(...) as client:`` also closes it at the end.
    The options are those of :func:`quorl_sdk.connect`.

    Raises:
        ValueError, TypeError: ``mode``, ``max_queue`` or a timeout is
            invalid (at once, before anything is awaited).
        On await: ConnectionError, TypeError and OverflowError exactly as
        :func:`quorl_sdk.connect` raises them.
    """
    arguments = {
        "port": port, "reconnect": reconnect, "base_delay_ms": base_delay_ms,
        "max_delay_ms": max_delay_ms, "max_retries": max_retries,
    }
    return Connecting(
        _quorl_sdk.connect_raw, arguments, mode, max_queue, timeout, close_timeout
    )


def connect_url_async(
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
) -> Connecting:
    """Connects to a Quorl server at ``url`` (``ws://host:port``) for asyncio.

    Used like :func:`connect_async`; the options are those of :func:`quorl_sdk.connect`.

    Raises:
        ValueError, TypeError: ``mode``, ``max_queue`` or a timeout is
            invalid (at once, before anything is awaited).
        On await: ValueError, ConnectionError, TypeError, OverflowError and
        UnicodeEncodeError exactly as :func:`quorl_sdk.connect_url` raises them.
    """
    arguments = {
        "url": url, "reconnect": reconnect, "base_delay_ms": base_delay_ms,
        "max_delay_ms": max_delay_ms, "max_retries": max_retries,
    }
    return Connecting(
        _quorl_sdk.connect_url_raw, arguments, mode, max_queue, timeout, close_timeout
    )
