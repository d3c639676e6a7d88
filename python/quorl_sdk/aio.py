"""The asyncio client: :func:`connect_async`, :func:`connect_url_async` and :class:`AsyncClient`.

The same native engine as the blocking client connects and reads. When a
coroutine finds no frame waiting it arms the engine's wake descriptor, which
the event loop watches (``loop.add_reader``); the engine makes it readable
only then, and every coroutine waiting on the client wakes and takes what
waits. The loop never blocks on the connection, and cancelling a waiting
``recv()`` loses nothing::

    async with quorl_sdk.connect_async() as client:
        async for frame in client:
            ...

asyncio is imported by these functions, not by ``import quorl_sdk``.
"""

from __future__ import annotations

from collections.abc import Coroutine

from quorl_sdk.client import Batch, Handle, batches, open_stream
from quorl_sdk.errors import FrameTimeout

TYPE_CHECKING = False  # typing stays unimported at run time

if TYPE_CHECKING:
    import asyncio
    from collections.abc import Callable, Generator
    from types import EllipsisType, TracebackType
    from typing import Any, TypeVar

    from typing_extensions import Unpack

    from quorl_sdk import _engine
    from quorl_sdk._options import Options
    from quorl_sdk.buffers import Buffers
    from quorl_sdk.client import StreamKey
    from quorl_sdk.frames import Frame

    T = TypeVar("T")

__all__ = ["AsyncClient", "Connecting", "connect_async", "connect_url_async"]

_TIMEOUT_MESSAGE = "no frame within the timeout"


class _Readiness:
    """The coroutines waiting for one client's wake descriptor, and the loops' watches on it.

    Coroutines may wait on any number of loops, in any threads: each loop
    with a waiter watches the descriptor itself, and whichever sees it first
    wakes every waiter through that waiter's own loop. A watch outlives a
    wait by one pass of its loop: a program that waits again at once, as
    ``async for`` does, keeps it instead of paying for a new one per frame.
    The descriptor turns readable only while armed, so a watch with nobody
    waiting costs nothing.
    """

    __slots__ = ("_stream", "_waiters", "_watches")

    def __init__(self, stream: _engine.Stream) -> None:
        self._stream = stream
        self._waiters: list[tuple[asyncio.AbstractEventLoop, asyncio.Future[bool]]] = []
        self._watches: set[asyncio.AbstractEventLoop] = set()

    async def wait(self, connected_seen: bool, deadline: float | None) -> None:
        """Waits until the engine has news (an item, the end, a close, the connection).

        Returns at once when it has news already.

        Raises:
            FrameTimeout: ``deadline`` (loop time) passed first.
        """
        import asyncio

        if not self._stream.arm(connected_seen):
            return
        loop = asyncio.get_running_loop()
        waiter = (loop, loop.create_future())
        if loop not in self._watches:
            loop.add_reader(self._stream.fileno(), self._on_readable)
            self._watches.add(loop)
        self._waiters.append(waiter)
        expiry = None if deadline is None else loop.call_at(deadline, _settle, waiter[1], False)
        try:
            if not await waiter[1]:
                raise FrameTimeout(_TIMEOUT_MESSAGE)
        finally:
            if expiry is not None:
                expiry.cancel()
            self._forget(waiter)
            if not loop.is_closed():
                loop.call_soon(self._unwatch_if_idle, loop)

    def _unwatch_if_idle(self, loop: asyncio.AbstractEventLoop) -> None:
        if all(waiting is not loop for waiting, _ in self._waiters):
            self._unwatch(loop)

    def _unwatch(self, loop: asyncio.AbstractEventLoop) -> None:
        """Ends ``loop``'s watch; on ``loop``'s own thread."""
        if loop in self._watches:
            self._watches.discard(loop)
            if not loop.is_closed():
                loop.remove_reader(self._stream.fileno())

    def release(self) -> None:
        """Ends every loop's watch on the descriptor, which the client then no longer needs."""
        running = _running_loop()
        for loop in list(self._watches):
            if not _on_loop(loop, running, self._unwatch, loop):
                self._watches.discard(loop)

    def wake(self) -> None:
        """Wakes every waiter, each through its own loop; one of a closed loop is dropped."""
        running = _running_loop()
        for waiter in list(self._waiters):
            loop, future = waiter
            if not _on_loop(loop, running, _settle, future, True):
                self._forget(waiter)
                self._watches.discard(loop)

    def _forget(self, waiter: tuple[asyncio.AbstractEventLoop, asyncio.Future[bool]]) -> None:
        try:
            self._waiters.remove(waiter)
        except ValueError:
            pass  # dropped by wake() already

    def _on_readable(self) -> None:
        self._stream.disarm()
        self.wake()


def _running_loop() -> asyncio.AbstractEventLoop | None:
    import asyncio

    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None


def _on_loop(loop: asyncio.AbstractEventLoop, running: asyncio.AbstractEventLoop | None,
             callback: Callable[..., None], *args: object) -> bool:
    """Runs ``callback(*args)`` on ``loop``: now when it is ``running`` (this thread's running
    loop), else soon through it. False when ``loop`` is closed."""
    try:
        if loop is running:
            callback(*args)
        else:
            loop.call_soon_threadsafe(callback, *args)
    except RuntimeError:  # closed meanwhile
        return False
    return not loop.is_closed()


def _settle(future: asyncio.Future[bool], result: bool) -> None:
    if not future.done():
        future.set_result(result)


def _deadline(timeout: float | None) -> float | None:
    import asyncio

    return None if timeout is None else asyncio.get_running_loop().time() + timeout


class AsyncClient(Handle):
    """A live frame stream for asyncio; ``async for`` it to receive :class:`Frame` values.

    Created by :func:`connect_async` or :func:`connect_url_async`. Waiting
    never blocks the event loop; any number of coroutines may wait on one
    client, and cancelling a waiting coroutine is safe and loses no frame.

    A ``FrameError`` (the server sent a malformed frame) ends an ``async for``
    loop but not the stream: iterating again goes on with the following frame.

    ``latest()``, ``record()``, ``close_code`` and ``close_reason`` are those
    of :class:`quorl_sdk.Client`; neither ``record()`` nor ``Recorder.stop()``
    waits on the event loop.
    """

    __slots__ = ("_readiness",)

    def __init__(self, stream: _engine.Stream, resolved: dict[str, object]) -> None:
        super().__init__(stream, resolved)
        self._readiness = _Readiness(stream)

    async def _next(self, timeout: float | None) -> Frame:
        frame = self._stream.poll()
        if frame is not None:
            return frame
        deadline = _deadline(timeout)
        while True:
            await self._readiness.wait(True, deadline)
            frame = self._stream.poll()
            if frame is not None:
                return frame

    async def recv(self, timeout: float | None | EllipsisType = ...) -> Frame:
        """Waits for the next frame and returns it.

        Args:
            timeout: seconds to wait; None waits without limit, 0 only takes a
                frame that is already waiting; ``...`` (the default) uses the
                client's ``timeout``.

        Raises:
            FrameTimeout: no frame came within the timeout.
            EOFError: the stream has ended for good.
            FrameError: the server sent a frame the decoder rejects; the next
                call reads on.
            StreamError, IncompatibleProtocol: the stream failed or the
                server speaks another protocol version.
            RuntimeError: "client is closed".
        """
        return await self._next(self._wait(timeout))

    async def pull(self, timeout: float | None | EllipsisType = ...) -> dict[StreamKey, Batch]:
        """Takes every frame waiting, at least one, per stream; see :meth:`quorl_sdk.Client.pull`."""
        return batches(await self._taking(self._stream.pull, timeout))

    async def pull_into(self, buffers: Buffers, timeout: float | None | EllipsisType = ...) -> int:
        """Takes the frames waiting, at least one, into ``buffers``; see
        :meth:`quorl_sdk.Client.pull_into`."""
        return await self._taking(lambda wait: self._stream.pull_into(buffers._sink, wait), timeout)

    async def _taking(self, take: Callable[[float], T], timeout: float | None | EllipsisType) -> T:
        """Returns ``take(0.0)`` once it finds something, waiting on the loop meanwhile."""
        wait = self._wait(timeout)
        deadline = None
        while True:
            try:
                return take(0.0)
            except FrameTimeout:
                if deadline is None:
                    deadline = _deadline(wait)
            await self._readiness.wait(True, deadline)

    def __aiter__(self) -> AsyncClient:
        return self

    async def __anext__(self) -> Frame:
        """Returns the next frame, waiting up to the client's ``timeout``.

        Raises:
            StopAsyncIteration: the stream has ended for good.
            FrameTimeout, FrameError, StreamError, RuntimeError: as :meth:`recv`.
        """
        try:
            # A frame that waits already is taken here, which spares the
            # fast path a second coroutine.
            frame = self._stream.poll()
            return await self._next(self._timeout) if frame is None else frame
        except EOFError:
            raise StopAsyncIteration from None

    async def close(self) -> None:
        """Closes the connection at once, in any state; frames still waiting are discarded.

        As :meth:`quorl_sdk.Client.close`, without blocking the loop: waits up
        to ``close_timeout`` seconds for the socket to close. Safe to call
        more than once.

        Raises:
            asyncio.CancelledError: the calling task was cancelled; nothing
                else is raised.
        """
        import asyncio

        self._stream.close(0.0)
        # Every waiter, on any loop, looks again and finds the client closed.
        self._readiness.wake()
        self._readiness.release()
        deadline = _deadline(self._close_timeout)
        loop = asyncio.get_running_loop()
        while not self._stream.finished and (deadline is None or loop.time() < deadline):
            await asyncio.sleep(0.001)

    async def __aenter__(self) -> AsyncClient:
        return self

    async def __aexit__(
        self, kind: type[BaseException] | None, error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        await self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<quorl_sdk.AsyncClient port={self.port} mode={self.mode.value} {state}>"


class Connecting(Coroutine["object", "object", "AsyncClient"]):
    """What :func:`connect_async` returns: await it, use it with ``async with``, or hand it
    to ``asyncio.run()`` or ``asyncio.create_task()``, which take it as the coroutine it is.

    The options are checked at once; the connection is made on the engine
    thread when the object is awaited, entered or run.
    """

    def __init__(self, by_url: bool, target: object, options: dict[str, object]) -> None:
        from quorl_sdk._options import resolve

        self._by_url = by_url
        self._target = target
        # Resolved once, here, so that it fails before anything is awaited
        # and a one-shot iterable of kinds is read once.
        self._options = resolve(options)
        self._client: AsyncClient | None = None
        # The connection run step by step by a task (send, throw), once started.
        self._running: Coroutine[object, object, AsyncClient] | None = None

    async def _open(self) -> AsyncClient:
        stream, resolved = open_stream(self._by_url, self._target, self._options)
        readiness = _Readiness(stream)
        try:
            while stream.connect_result() is None:
                await readiness.wait(False, None)
        except BaseException:
            readiness.release()
            stream.close(0.0)  # cancelled, or the connection failed
            del stream, readiness  # the traceback keeps this frame: let the descriptors go now
            raise
        readiness.release()  # the client watches with a readiness of its own
        return AsyncClient(stream, resolved)

    def __await__(self) -> Generator[object, None, AsyncClient]:
        return self._open().__await__()

    def _run(self) -> Coroutine[object, object, AsyncClient]:
        if self._running is None:
            self._running = self._open()
        return self._running

    def send(self, value: object) -> object:
        return self._run().send(value)

    def throw(
        self, kind: Any, error: Any = None, traceback: TracebackType | None = None, /
    ) -> object:
        if error is None and traceback is None:
            return self._run().throw(kind)
        return self._run().throw(kind, error, traceback)  # the old three-argument form

    def close(self) -> None:
        if self._running is not None:
            self._running.close()

    async def __aenter__(self) -> AsyncClient:
        self._client = await self._open()
        return self._client

    async def __aexit__(
        self, kind: type[BaseException] | None, error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        if self._client is not None:
            await self._client.close()


def connect_async(port: int | None = None, **options: Unpack[Options]) -> Connecting:
    """Connects to a Quorl server on ``127.0.0.1`` for asyncio.

    ``await connect_async(...)`` returns an :class:`AsyncClient`;
    ``async with connect_async(...) as client:`` also closes it at the end;
    ``asyncio.create_task(connect_async(...))`` connects in a task of its own.
    The options are those of :func:`quorl_sdk.connect`.

    Raises:
        ValueError, TypeError: an option of this layer is invalid (at once,
            before anything is awaited).
        On await: ServerNotFound, TypeError and OverflowError exactly as
        :func:`quorl_sdk.connect` raises them.
    """
    return Connecting(False, port, dict(options))


def connect_url_async(url: str, **options: Unpack[Options]) -> Connecting:
    """Connects to a Quorl server at ``url`` (``ws://host:port``) for asyncio.

    Used like :func:`connect_async`; the options are those of :func:`quorl_sdk.connect`.

    Raises:
        ValueError, TypeError: an option of this layer is invalid (at once,
            before anything is awaited).
        On await: ValueError, ServerNotFound, TypeError, OverflowError and
        UnicodeEncodeError exactly as :func:`quorl_sdk.connect_url` raises them.
    """
    return Connecting(True, url, dict(options))
