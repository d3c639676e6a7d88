"""The scripted server as a conforming WebSocket server, for tests that need a well-behaved peer.

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

The handler is a coroutine function taking a :class:`support.scripted.Session`,
which offers the calls of a ``websockets`` server connection (``send``,
``ping``, ``pong``, ``wait_closed``, ``close``); when it returns, the server
closes the connection with a close frame (1000). ``stop()`` closes every
connection with 1001 and ``start()`` brings the server back on the same
port, for reconnection tests.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager, suppress

from support.scripted import Handler, ScriptedConnection, ScriptedServer, Session, accept, serve

__all__ = ["RecordedRequest", "WebsocketsServer", "sending", "websockets_server"]

#: The request of one connection: ``path``, ``headers`` and ``header(name)``.
RecordedRequest = ScriptedConnection


class WebsocketsServer(ScriptedServer):
    """What :func:`websockets_server` yields: the scripted server serving a handler."""

    def __init__(self, handler: Handler, host: str, port: int) -> None:
        super().__init__(lambda index: [accept(), serve(handler, self.errors)], host=host, port=port)

    @property
    def connections_(self) -> list[ScriptedConnection]:
        """The open connections, by the name suites used before there was one server."""
        return self.open_connections


@contextmanager
def websockets_server(
    handler: Handler, host: str = "127.0.0.1", port: int = 0
) -> Iterator[WebsocketsServer]:
    """Runs a conforming server with ``handler`` for the duration of the block.

    Args:
        handler: coroutine function called with each connection's :class:`Session`.
        host: the address to listen on.
        port: the port; 0 picks a free one.
    """
    with WebsocketsServer(handler, host, port) as server:
        yield server


def sending(*messages: bytes | str, then_close: bool = True) -> Handler:
    """Returns a handler that sends ``messages`` (bytes as binary, str as text) in order.

    With ``then_close`` the handler returns afterwards, so the server closes
    the connection with a close frame; otherwise it waits until the client
    leaves or the server stops.
    """

    async def handler(connection: Session) -> None:
        for message in messages:
            await connection.send(message)
        if not then_close:
            with suppress(Exception):
                await connection.wait_closed()

    return handler
