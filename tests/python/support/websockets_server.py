"""A conforming WebSocket server (the ``websockets`` library) on a background thread.

Usage::

    async def handler(ws):
        await ws.send(hello())
        await ws.send(sample_frame(MSG_BODY_LANDMARKS))

    with websockets_server(handler) as server:
        for kind, side, values in connect_url_raw(server.url):
            ...
        assert server.requests[0].path == "/"

    with websockets_server(sending(hello(), frame)) as server:  # send, then close
        ...

The handler is a coroutine function taking the ``websockets`` connection
(:class:`websockets.asyncio.server.ServerConnection`); when it returns, the
library closes the connection with a close frame. :meth:`WebsocketsServer.stop`
and :meth:`WebsocketsServer.start` take the server down and bring it back on
the same port, for reconnection tests.
"""

from __future__ import annotations

import asyncio
import socket
import threading
from collections.abc import Awaitable, Callable, Coroutine, Iterator
from contextlib import contextmanager, suppress
from dataclasses import dataclass
from typing import Any

from websockets.asyncio.server import Server, ServerConnection, serve
from websockets.http11 import Request, Response

from support.timing import scaled

__all__ = ["RecordedRequest", "WebsocketsServer", "sending", "websockets_server"]

Handler = Callable[[ServerConnection], Awaitable[None]]


@dataclass(frozen=True)
class RecordedRequest:
    """The opening-handshake request of one connection."""

    path: str
    headers: list[tuple[str, str]]

    def header(self, name: str) -> str | None:
        """Returns the value of header ``name`` (any letter case), or None."""
        for field, value in self.headers:
            if field.lower() == name.lower():
                return value
        return None


class WebsocketsServer:
    """A ``websockets`` server run by an event loop on a thread of its own.

    Attributes:
        host: the address it listens on.
        port: the port it listens on (kept across stop and start).
        requests: the request of every connection, in arrival order.
        errors: exceptions raised by the handler, in order.
    """

    def __init__(self, handler: Handler, host: str, port: int, serve_options: dict[str, Any]):
        self.host = host
        self.port = port
        self.requests: list[RecordedRequest] = []
        self.errors: list[BaseException] = []
        self.handler_ = handler
        self.serve_options_ = {"compression": None, "ping_interval": None, **serve_options}
        self.loop_ = asyncio.new_event_loop()
        self.thread_ = threading.Thread(target=self.loop_.run_forever, daemon=True)
        self.server_: Server | None = None
        self.tasks_: set[asyncio.Task[Any]] = set()
        self.connections_: set[ServerConnection] = set()

    @property
    def url(self) -> str:
        """The ws:// URL of the server."""
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"ws://{host}:{self.port}"

    def start(self) -> None:
        """Starts listening (again, on the same port after a stop)."""
        if not self.thread_.is_alive():
            self.thread_.start()
        self.call_(self.open_())

    def stop(self) -> None:
        """Stops listening and closes every connection with a close frame (code 1001).

        Handlers still busy a moment later are cancelled.
        """
        self.call_(self.close_())

    def shutdown_(self) -> None:
        """Stops the server and its event loop thread for good."""
        self.stop()
        self.loop_.call_soon_threadsafe(self.loop_.stop)
        self.thread_.join(scaled(5))
        self.loop_.close()

    def call_(self, coroutine: Coroutine[Any, Any, None]) -> None:
        """Runs ``coroutine`` on the server's loop and waits for it."""
        asyncio.run_coroutine_threadsafe(coroutine, self.loop_).result(scaled(10))

    async def open_(self) -> None:
        """Binds the port and starts serving."""
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        sock = socket.create_server((self.host, self.port), family=family)
        self.port = sock.getsockname()[1]
        self.server_ = await serve(
            self.handle_, sock=sock, process_request=self.record_, **self.serve_options_
        )

    async def close_(self) -> None:
        """Closes the server, cancelling handlers that outlast the close handshake."""
        if self.server_ is None:
            return
        server, self.server_ = self.server_, None
        server.close()
        try:
            await asyncio.wait_for(asyncio.shield(server.wait_closed()), scaled(2))
        except asyncio.TimeoutError:
            # A client that stopped reading never takes the close frame.
            for connection in self.connections_:
                connection.transport.abort()
            for task in self.tasks_:
                task.cancel()
            await server.wait_closed()

    def record_(self, connection: ServerConnection, request: Request) -> Response | None:
        """Keeps the request of every connection; lets the handshake go on."""
        self.requests.append(RecordedRequest(request.path, list(request.headers.raw_items())))
        return None

    async def handle_(self, connection: ServerConnection) -> None:
        """Runs the handler, keeping its task to cancel and its failure to report."""
        task = asyncio.current_task()
        assert task is not None
        self.tasks_.add(task)
        self.connections_.add(connection)
        try:
            await self.handler_(connection)
        except asyncio.CancelledError:
            raise
        except Exception as error:
            self.errors.append(error)
        finally:
            self.tasks_.discard(task)
            self.connections_.discard(connection)


@contextmanager
def websockets_server(
    handler: Handler, host: str = "127.0.0.1", port: int = 0, **serve_options: Any
) -> Iterator[WebsocketsServer]:
    """Runs a ``websockets`` server with ``handler`` for the duration of the block.

    Args:
        handler: coroutine function called with each connection.
        host: the address to listen on.
        port: the port; 0 picks a free one.
        serve_options: further options of :func:`websockets.asyncio.server.serve`;
            compression and keepalive pings are off unless given here.
    """
    server = WebsocketsServer(handler, host, port, serve_options)
    try:
        server.start()
        yield server
    finally:
        server.shutdown_()


def sending(*messages: bytes | str, then_close: bool = True) -> Handler:
    """Returns a handler that sends ``messages`` (bytes as binary, str as text) in order.

    With ``then_close`` the handler returns afterwards, so the library closes
    the connection with a close frame; otherwise it waits until the client
    leaves or the server stops.
    """

    async def handler(connection: ServerConnection) -> None:
        for message in messages:
            await connection.send(message)
        if not then_close:
            with suppress(Exception):
                await connection.wait_closed()

    return handler
