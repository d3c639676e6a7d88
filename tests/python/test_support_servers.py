"""The shared test servers do what the other suites rely on."""

from __future__ import annotations

import socket

import pytest
from websockets.exceptions import ConnectionClosedError, ConnectionClosedOK, InvalidStatus
from websockets.sync.client import connect

from support import (
    OP_CLOSE,
    OP_PONG,
    ScriptedServer,
    Step,
    accept,
    accept_value,
    all_sample_frames,
    close_tcp,
    hello,
    http_response,
    parse_frame,
    port_is_free,
    reset_tcp,
    scaled,
    send_binary,
    send_close,
    send_ping,
    send_text,
    sending,
    wait_frame,
    websockets_server,
)


def raw_handshake(port: int) -> socket.socket:
    """Opens a TCP connection, sends a fixed upgrade request and reads the 101 response."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=scaled(5))
    sock.sendall(
        b"GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"
    )
    response = b""
    while b"\r\n\r\n" not in response:
        response += sock.recv(4096)
    assert response.startswith(b"HTTP/1.1 101 ")
    return sock


def test_accept_value_matches_the_websocket_rfc_example() -> None:
    """The accept value of the RFC's sample key is the RFC's sample answer."""
    assert accept_value("dGhlIHNhbXBsZSBub25jZQ==") == "s3pPLMBiTxaQ9kYGzzhZRbK+xOo="


def test_scripted_server_plays_exact_frames_to_a_conforming_client() -> None:
    """Hello in the handshake write, fragmented binary, text, ping and close reach a real client."""
    frames = all_sample_frames()
    script = [
        accept(with_binary=[hello()]),
        send_binary(frames[0], fragments=3),
        send_text("status"),
        send_ping(b"p1"),
        wait_frame(OP_PONG),
        send_close(1000, "bye"),
        wait_frame(OP_CLOSE),
        close_tcp(),
    ]
    with ScriptedServer(script) as server, connect(server.url + "/live?x=1") as ws:
        assert ws.recv(timeout=scaled(5)) == hello()
        assert ws.recv(timeout=scaled(5)) == frames[0]
        assert ws.recv(timeout=scaled(5)) == "status"
        with pytest.raises(ConnectionClosedOK):
            ws.recv(timeout=scaled(5))
        conn = server.connection(0)
        assert conn.done.wait(scaled(5))
    assert conn.error is None
    assert conn.path == "/live?x=1"
    assert conn.header("host") == f"127.0.0.1:{server.port}"
    assert [(f.opcode, f.payload, f.masked) for f in conn.frames] == [
        (OP_PONG, b"p1", True),
        (OP_CLOSE, b"\x03\xe8bye", True),
    ]
    assert conn.client_sent_close
    assert parse_frame(frames[0])[0] == 2


@pytest.mark.parametrize(
    ("script", "error"),
    [
        ([http_response(404)], InvalidStatus),
        (
            [accept(), send_binary(b"\x02", masked=True), wait_frame(OP_CLOSE), close_tcp()],
            ConnectionClosedError,
        ),
        ([accept(), reset_tcp()], ConnectionClosedError),
    ],
    ids=["404", "masked-frame", "reset"],
)
def test_scripted_server_provokes_client_failures(script: list[Step], error: type) -> None:
    """A 404, a masked server frame and a reset each make a conforming client fail."""
    with ScriptedServer(script) as server:
        with pytest.raises(error), connect(server.url, open_timeout=scaled(5)) as ws:
            ws.recv(timeout=scaled(5))
        conn = server.connection(0)
        assert conn.done.wait(scaled(5)) and conn.error is None


def test_scripted_server_resets_and_sees_the_client_leave_without_a_close_frame() -> None:
    """reset_tcp gives the client ECONNRESET; a client closing its socket is seen ending."""
    with ScriptedServer(
        lambda index: [accept(), reset_tcp()] if index == 0 else [accept()]
    ) as server:
        first = raw_handshake(server.port)
        with pytest.raises(ConnectionResetError):
            first.recv(1)
        first.close()
        second = raw_handshake(server.port)
        second.close()
        conn = server.connection(1)
        assert conn.wait_end() and conn.end_kind == "eof"
        assert not conn.client_sent_close
        assert conn.request.startswith(b"GET /x HTTP/1.1\r\n")


def test_servers_restart_on_the_same_port() -> None:
    """Both servers come back on their port after stop; connections in between are refused."""
    with websockets_server(sending(hello(), all_sample_frames()[1])) as ws_server:
        scripted = ScriptedServer([accept(with_binary=[hello()]), close_tcp()]).start()
        try:
            for server in (ws_server, scripted):
                port = server.port
                assert not port_is_free(port)
                server.stop()
                assert port_is_free(port)
                with pytest.raises(ConnectionRefusedError):
                    socket.create_connection(("127.0.0.1", port), timeout=scaled(5))
                server.start()
                assert server.port == port
                with connect(server.url) as ws:
                    assert ws.recv(timeout=scaled(5)) == hello()
        finally:
            scripted.stop()
        assert [request.path for request in ws_server.requests] == ["/"]
        assert ws_server.requests[0].header("Upgrade") == "websocket"
        assert len(scripted.connections) == 1


async def ping_then_send(session) -> None:
    """Pings the client, then sends a hello once the pong has come."""
    await (await session.ping(b"p"))
    await session.send(hello())
    await session.wait_closed()


@pytest.mark.parametrize(("handler", "ending", "code"), [
    (sending(hello()), "handler returns", 1000),
    (sending(hello(), then_close=False), "server stops", 1001),
    (ping_then_send, "client closes", 1000),
])
def test_served_handlers_close_as_a_conforming_server(handler, ending: str, code: int) -> None:
    """A handler's session answers pings and closes with the code a conforming server uses."""
    with websockets_server(handler) as server, connect(server.url) as ws:
        assert ws.recv(timeout=scaled(5)) == hello()
        if ending == "server stops":
            server.stop()
        if ending == "client closes":
            ws.close(code)
        else:
            with pytest.raises(ConnectionClosedOK):
                ws.recv(timeout=scaled(5))
        assert ws.close_code == code
        assert server.errors == []
