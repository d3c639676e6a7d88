"""The WebSocket server behind the simulator and the replay: ports, connections, restarts.

:class:`FrameServer` sends every connection the hello frame, then the frames
of a subclass (:class:`quorl_sdk.simulator.Simulator` computes them,
:class:`quorl_sdk.replay.Replay` reads them from a recording). It owns the
port rules (the first free port of 5432-5435 unless told otherwise), the open
connections, periodic restarts and stopping, in asyncio or in a thread.
"""

from __future__ import annotations

import asyncio
import math
import os
import socket
import threading
from collections.abc import Iterator
from contextlib import contextmanager, suppress
from types import TracebackType
from typing import Any, TypeVar

from quorl_sdk import wire
from quorl_sdk._extras import require

# websockets is the extra `simulator`: the client itself speaks WebSocket natively.
require("websockets", "simulator", "serving frames (the simulator, replay)")
from websockets.asyncio.server import Server, ServerConnection, serve  # noqa: E402
from websockets.exceptions import ConnectionClosed  # noqa: E402

__all__ = ["DEFAULT_PORTS", "FrameServer", "PortUnavailableError", "check"]

#: The ports tried in order when no port is given; clients search the same range.
DEFAULT_PORTS = range(5432, 5436)

# How long a closing handshake may take before the connection is dropped, and
# how long handlers get to notice a close before they are cancelled.
_CLOSE_TIMEOUT = 2.0
_HANDLER_GRACE = 2.0
# How often a restart retries binding its port while something else holds it.
_REBIND_INTERVAL = 0.1


class PortUnavailableError(OSError):
    """The simulator cannot listen on the port it was given, or on any default port."""


def _listen(host: str, port: int) -> socket.socket:
    """Returns a listening socket on ``host:port``.

    Raises:
        PortUnavailableError: the port is taken or may not be used.
    """
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    try:
        return socket.create_server((host, port), family=family)
    except OSError as error:
        # create_server adds the address to strerror: it is in the message already.
        reason = os.strerror(error.errno) if error.errno is not None else str(error)
        raise PortUnavailableError(f"cannot serve on {host}:{port}: {reason}") from error


def _listen_on_default_port(host: str) -> socket.socket:
    """Returns a listening socket on the first free port of 5432-5435.

    Raises:
        PortUnavailableError: every one of them is taken.
    """
    for port in DEFAULT_PORTS:
        with suppress(PortUnavailableError):
            return _listen(host, port)
    first, last = DEFAULT_PORTS[0], DEFAULT_PORTS[-1]
    raise PortUnavailableError(f"cannot serve on {host}: ports {first}-{last} are all in use")


_Server = TypeVar("_Server", bound="FrameServer")


class FrameServer:
    """A WebSocket server sending each connection the hello, then frames; in asyncio or a thread.

    The frames come from :meth:`_send_frames`, which subclasses provide: the
    :class:`Simulator` computes them, :class:`quorl_sdk.replay.Replay` reads
    them from a recording. This class owns the port rules, the connections,
    restarts and stopping.

    Args:
        host: the address to listen on.
        port: the port; None takes the first free one of 5432-5435, 0 lets the
            system choose (for tests).
        version: the protocol version announced in the hello frame.
        restart_after: when set, the server goes away after this many seconds
            of serving (closing every connection with code 1012), stays away
            for ``restart_gap`` seconds, comes back on the same port, and so on.
        restart_gap: seconds the server stays away at each restart.

    Raises:
        ValueError: an option is out of range.
    """

    def __init__(
        self,
        *,
        host: str = "127.0.0.1",
        port: int | None = None,
        version: int = wire.PROTOCOL_VERSION,
        restart_after: float | None = None,
        restart_gap: float = 1.0,
    ) -> None:
        check(port is None or 0 <= port <= 0xFFFF, f"port {port} is out of range (0 to 65535)")
        check(0 <= version <= 0xFFFF, f"protocol version {version} is out of range (0 to 65535)")
        check(
            restart_after is None or (math.isfinite(restart_after) and restart_after > 0),
            f"restart_after {restart_after} must be a positive number of seconds",
        )
        check(
            math.isfinite(restart_gap) and restart_gap >= 0,
            f"restart_gap {restart_gap} must be zero or more seconds",
        )
        self.host = host
        self.version = version
        self.restart_after = restart_after
        self.restart_gap = restart_gap
        #: Connections accepted so far.
        self.connection_count = 0
        #: Times the server has come back after a restart.
        self.restarts = 0
        self._requested_port = port
        self._port: int | None = None
        self._server: Server | None = None
        self._cycle: asyncio.Task[None] | None = None
        self._handlers: set[asyncio.Task[Any]] = set()
        self._open: set[ServerConnection] = set()
        self._closing = asyncio.Event()
        self._stopping = asyncio.Event()
        self._epoch = 0.0

    def describe(self) -> str:
        """Returns what is served, for the line a command prints once it serves."""
        return f"protocol v{self.version}"

    @property
    def port(self) -> int:
        """The port being served.

        Raises:
            RuntimeError: the server has not been started.
        """
        if self._port is None:
            raise RuntimeError("the server has not been started")
        return self._port

    @property
    def url(self) -> str:
        """The ws:// URL being served.

        Raises:
            RuntimeError: the server has not been started.
        """
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"ws://{host}:{self.port}"

    # Running inside asyncio.

    async def start(self) -> None:
        """Binds the port and starts serving in the running event loop.

        Raises:
            PortUnavailableError: the port, or every default port, is taken.
            RuntimeError: the server is already running.
        """
        if self._server is not None or self._cycle is not None:
            raise RuntimeError("the server is already running")
        if self._requested_port is None:
            sock = _listen_on_default_port(self.host)
        else:
            sock = _listen(self.host, self._requested_port)
        self._port = sock.getsockname()[1]
        self._epoch = asyncio.get_running_loop().time()
        self._closing = asyncio.Event()
        self._stopping = asyncio.Event()
        await self._serve(sock)
        if self.restart_after is not None:
            self._cycle = asyncio.create_task(self._restart_cycle(self.restart_after))

    async def stop(self) -> None:
        """Closes every connection (code 1001) and stops serving; does nothing when stopped."""
        self._stopping.set()
        if self._cycle is not None:
            await self._cycle
            self._cycle = None
        await self._close(1001)

    async def __aenter__(self: _Server) -> _Server:
        await self.start()
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        await self.stop()

    # Running in a background thread.

    @contextmanager
    def running(self: _Server) -> Iterator[_Server]:
        """Serves from a background thread with its own event loop while the block runs.

        Raises:
            PortUnavailableError: the port, or every default port, is taken.
        """
        loop = asyncio.new_event_loop()
        thread = threading.Thread(target=loop.run_forever, name="quorl-simulator", daemon=True)
        thread.start()
        try:
            asyncio.run_coroutine_threadsafe(self.start(), loop).result()
            try:
                yield self
            finally:
                asyncio.run_coroutine_threadsafe(self.stop(), loop).result()
        finally:
            loop.call_soon_threadsafe(loop.stop)
            thread.join()
            loop.close()

    # Serving.

    async def _serve(self, sock: socket.socket) -> None:
        """Starts the WebSocket server on the listening ``sock``."""
        self._server = await serve(
            self._stream,
            sock=sock,
            compression=None,
            # Clients answer pings only while they read; a paused reader is no fault.
            ping_interval=None,
            close_timeout=_CLOSE_TIMEOUT,
        )

    async def _close(self, code: int) -> None:
        """Stops listening and closes every connection with ``code``."""
        server, self._server = self._server, None
        if server is None:
            return
        server.close(close_connections=False)
        await asyncio.gather(
            *(_close_connection(connection, code) for connection in list(self._open)),
            return_exceptions=True,
        )
        self._closing.set()
        try:
            await asyncio.wait_for(asyncio.shield(server.wait_closed()), _HANDLER_GRACE)
        except asyncio.TimeoutError:
            for task in list(self._handlers):
                task.cancel()
            await server.wait_closed()
        self._closing = asyncio.Event()

    async def _restart_cycle(self, serving: float) -> None:
        """Takes the server away every ``serving`` seconds and brings it back after the gap."""
        while not await self._stopped_within(serving):
            await self._close(1012)
            if await self._stopped_within(self.restart_gap):
                return
            sock = await self._rebind()
            if sock is None:
                return
            await self._serve(sock)
            self.restarts += 1

    async def _stopped_within(self, seconds: float) -> bool:
        """Waits ``seconds``; returns early, with True, when :meth:`stop` is called."""
        with suppress(asyncio.TimeoutError):
            await asyncio.wait_for(self._stopping.wait(), seconds)
        return self._stopping.is_set()

    async def _rebind(self) -> socket.socket | None:
        """Listens on the same port again, waiting while something else holds it.

        Returns None when :meth:`stop` is called meanwhile.
        """
        while True:
            try:
                return _listen(self.host, self.port)
            except PortUnavailableError:
                if await self._stopped_within(_REBIND_INTERVAL):
                    return None

    async def _stream(self, connection: ServerConnection) -> None:
        """Sends one connection the hello, then a tick of frames at the rate until it ends."""
        task = asyncio.current_task()
        assert task is not None
        self._handlers.add(task)
        self._open.add(connection)
        self.connection_count += 1
        closing = self._closing
        _send_at_once(connection)
        try:
            await connection.send(wire.hello(self.version))
            await self._send_frames(connection, closing)
        except ConnectionClosed:
            pass
        finally:
            self._handlers.discard(task)
            self._open.discard(connection)

    async def _send_frames(self, connection: ServerConnection, closing: asyncio.Event) -> None:
        """Sends one connection its frames until ``closing`` is set or they run out.

        Raises:
            ConnectionClosed: the connection ended.
        """
        raise NotImplementedError


def _send_at_once(connection: ServerConnection) -> None:
    """Turns off Nagle's algorithm, which holds a small frame back until the last is acknowledged.

    asyncio does so only for sockets it makes itself; the listening socket here
    is made by :func:`socket.create_server`, whose connections keep the delay
    and send a tick's frames tens of milliseconds late, two ticks at once.
    """
    sock = connection.transport.get_extra_info("socket")
    if sock is not None and sock.family in (socket.AF_INET, socket.AF_INET6):
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def _close_connection(connection: ServerConnection, code: int) -> None:
    """Closes ``connection`` with ``code``, dropping it when the client does not take the close.

    A client that stopped reading never drains the frames queued before the
    close frame, and the closing handshake would wait for it for ever.
    """
    try:
        await asyncio.wait_for(connection.close(code), _CLOSE_TIMEOUT)
    except asyncio.TimeoutError:
        connection.transport.abort()


def check(condition: bool, message: str) -> None:
    """Raises ValueError with ``message`` unless ``condition`` holds."""
    if not condition:
        raise ValueError(message)
