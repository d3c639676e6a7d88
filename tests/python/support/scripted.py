"""A raw TCP server that plays a script of exact bytes, for tests where bytes matter.

The ``websockets`` server answers the way a conforming server does; this one
answers the way a test needs: a hand-made opening handshake (or a 404, silence,
garbage), then frames built byte by byte, masked or fragmented when a test wants
a protocol violation, abrupt resets, and a record of everything the client sent.

Usage::

    from support import ScriptedServer, accept, send_binary, close_tcp, hello

    with ScriptedServer([accept(with_binary=[hello()]), send_binary(frame), close_tcp()]) as server:
        client = connect_url_raw(server.url)
        ...
        conn = server.connection(0)
        assert conn.path == "/"
        assert conn.wait_end() and not conn.client_sent_close

Every connection first has its request read (up to the blank line), then runs
its script step by step on a thread of its own; a script that ends without
closing leaves the connection open and silent until the client ends it or the
server stops. A step is any callable taking the :class:`ScriptedConnection`;
the step functions below cover the usual ones. A step that fails (a send into a
connection the client dropped, a wait that times out) ends that script and is
kept in ``conn.error``.
"""

from __future__ import annotations

import asyncio
import base64
import hashlib
import select
import socket
import struct
import threading
import time
from collections.abc import Awaitable, Callable, Mapping, Sequence
from contextlib import suppress
from dataclasses import dataclass

from support.timing import scaled

__all__ = [
    "ClientFrame",
    "OP_BINARY",
    "OP_CLOSE",
    "OP_CONTINUATION",
    "OP_PING",
    "OP_PONG",
    "OP_TEXT",
    "ScriptedConnection",
    "ScriptedServer",
    "Session",
    "Step",
    "accept",
    "accept_value",
    "close_tcp",
    "http_response",
    "parse_frames",
    "pause",
    "reset_tcp",
    "route",
    "send_binary",
    "send_close",
    "send_ping",
    "send_pong",
    "send_raw",
    "send_text",
    "serve",
    "wait_end",
    "wait_frame",
    "ws_frame",
]

OP_CONTINUATION = 0x0
OP_TEXT = 0x1
OP_BINARY = 0x2
OP_CLOSE = 0x8
OP_PING = 0x9
OP_PONG = 0xA

_WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
_REQUEST_LIMIT = 64 * 1024
_POLL_MS = 20

Step = Callable[["ScriptedConnection"], None]
Script = Sequence[Step]


def accept_value(key: str) -> str:
    """Returns the Sec-WebSocket-Accept value that answers the client's ``key``."""
    digest = hashlib.sha1(key.encode("ascii") + _WS_GUID).digest()
    return base64.b64encode(digest).decode("ascii")


def ws_frame(
    opcode: int,
    payload: bytes = b"",
    *,
    fin: bool = True,
    mask: bytes | None = None,
    rsv: int = 0,
) -> bytes:
    """Returns one WebSocket frame; unmasked unless a 4-byte ``mask`` is given.

    ``rsv`` sets the three reserved bits (0 to 7) to provoke protocol errors.
    """
    first = (0x80 if fin else 0) | (rsv & 0x7) << 4 | opcode & 0xF
    mask_bit = 0x80 if mask is not None else 0
    length = len(payload)
    if length < 126:
        header = struct.pack("!BB", first, mask_bit | length)
    elif length < 1 << 16:
        header = struct.pack("!BBH", first, mask_bit | 126, length)
    else:
        header = struct.pack("!BBQ", first, mask_bit | 127, length)
    if mask is None:
        return header + payload
    if len(mask) != 4:
        raise ValueError("a frame mask is 4 bytes")
    return header + mask + _apply_mask(payload, mask)


def _apply_mask(payload: bytes, mask: bytes) -> bytes:
    """XORs ``payload`` with the repeated 4-byte ``mask``."""
    key = (mask * (len(payload) // 4 + 1))[: len(payload)]
    return (int.from_bytes(payload, "big") ^ int.from_bytes(key, "big")).to_bytes(
        len(payload), "big"
    )


@dataclass(frozen=True)
class ClientFrame:
    """One WebSocket frame as received (from the client, or read by a raw test client), unmasked."""

    opcode: int
    payload: bytes
    fin: bool
    masked: bool

    @property
    def close_code(self) -> int | None:
        """The status code of a close frame, or None when it has none."""
        if self.opcode != OP_CLOSE or len(self.payload) < 2:
            return None
        code: int = struct.unpack_from("!H", self.payload)[0]
        return code


def parse_frames(buffer: bytearray) -> list[ClientFrame]:
    """Takes every complete WebSocket frame (masked or not) off the front of ``buffer``."""
    frames = []
    while len(buffer) >= 2:
        masked = bool(buffer[1] & 0x80)
        length = buffer[1] & 0x7F
        offset = 2
        if length == 126:
            if len(buffer) < 4:
                break
            length = struct.unpack_from("!H", buffer, 2)[0]
            offset = 4
        elif length == 127:
            if len(buffer) < 10:
                break
            length = struct.unpack_from("!Q", buffer, 2)[0]
            offset = 10
        mask = b""
        if masked:
            mask = bytes(buffer[offset : offset + 4])
            offset += 4
        if len(buffer) < offset + length:
            break
        payload = bytes(buffer[offset : offset + length])
        if masked:
            payload = _apply_mask(payload, mask)
        frames.append(ClientFrame(buffer[0] & 0xF, payload, bool(buffer[0] & 0x80), masked))
        del buffer[: offset + length]
    return frames


class ScriptedConnection:
    """One accepted TCP connection: what the client sent, and the means to answer it.

    Attributes:
        index: position of the connection in accept order, from 0.
        request: the exact bytes of the client's request, blank line included
            (empty until it has arrived).
        received: every byte the client sent after its request.
        frames: the WebSocket frames parsed from ``received``, in order.
        ended: the client ended its side of the TCP connection (FIN or reset).
        end_kind: "eof" or "reset" once ``ended``; None before.
        error: the exception that ended the script early, or None.
        done: set when the script has run to its end (or failed).
    """

    def __init__(self, index: int, sock: socket.socket, stopping: threading.Event) -> None:
        self.index = index
        self.request = b""
        self.received = b""
        self.frames: list[ClientFrame] = []
        self.ended = False
        self.end_kind: str | None = None
        self.error: BaseException | None = None
        self.done = threading.Event()
        self.sock_ = sock
        self.lock_ = threading.Lock()
        self.changed_ = threading.Condition(self.lock_)
        self.closed_by_server_ = False
        self.stopping_ = stopping
        self.pending_ = bytearray()
        self.frame_cursors_: dict[int | None, int] = {}
        # One writer at a time: a script and the reader's answers share the socket.
        self.send_lock_ = threading.Lock()
        # Set by serve(): the connection then answers pings and close frames as
        # a conforming server does.
        self.conforming_ = False
        self.sent_close_ = False
        self.stop_handler_: Callable[[], None] | None = None

    # Reading the request.

    @property
    def request_line(self) -> str:
        """The first line of the request, such as "GET / HTTP/1.1"."""
        return self.request.split(b"\r\n", 1)[0].decode("latin-1")

    @property
    def path(self) -> str:
        """The request target of the request line ("/" or "/live?x=1")."""
        parts = self.request_line.split(" ")
        return parts[1] if len(parts) > 1 else ""

    @property
    def headers(self) -> list[tuple[str, str]]:
        """The request's header fields in order, names as sent."""
        fields = []
        for line in self.request.split(b"\r\n")[1:]:
            if b":" in line:
                name, value = line.split(b":", 1)
                fields.append((name.decode("latin-1"), value.strip().decode("latin-1")))
        return fields

    def header(self, name: str) -> str | None:
        """Returns the value of header ``name`` (any letter case), or None."""
        for field, value in self.headers:
            if field.lower() == name.lower():
                return value
        return None

    def wait_request(self, timeout: float | None = None) -> bytes:
        """Waits until the whole request has arrived and returns it (b"" on time-out)."""
        with self.changed_:
            self.changed_.wait_for(
                lambda: bool(self.request) or self.ended or self.closed_by_server_,
                scaled(5) if timeout is None else timeout,
            )
            return self.request

    # What the client sent afterwards.

    @property
    def client_sent_close(self) -> bool:
        """True when the client sent a WebSocket close frame."""
        with self.lock_:
            return self.client_sent_close_locked_()

    def wait_frame(self, opcode: int | None = None, timeout: float | None = None) -> ClientFrame:
        """Returns the next client frame of ``opcode`` (any opcode when None) not yet returned.

        Raises:
            TimeoutError: no such frame came within ``timeout`` (default 5 s, scaled).
        """
        deadline = time.monotonic() + (scaled(5) if timeout is None else timeout)
        with self.changed_:
            while True:
                cursor = self.frame_cursors_.get(opcode, 0)
                matching = [f for f in self.frames if opcode is None or f.opcode == opcode]
                if cursor < len(matching):
                    self.frame_cursors_[opcode] = cursor + 1
                    return matching[cursor]
                remaining = deadline - time.monotonic()
                if self.ended or self.closed_by_server_ or remaining <= 0:
                    raise TimeoutError(f"no client frame of opcode {opcode} arrived")
                self.changed_.wait(remaining)

    def wait_end(self, timeout: float | None = None) -> bool:
        """Waits until the client ends the TCP connection; returns whether it did."""
        with self.changed_:
            self.changed_.wait_for(
                lambda: self.ended or self.closed_by_server_,
                scaled(5) if timeout is None else timeout,
            )
            return self.ended

    # Answering.

    def send(self, data: bytes) -> None:
        """Sends ``data`` as it is, in one call."""
        with self.send_lock_:
            self.sock_.sendall(data)

    def close_handshake(self, code: int, timeout: float | None = None) -> None:
        """Sends a close frame with ``code``, waits for the client's, then ends the connection."""
        with suppress(OSError):
            self.send_close_frame_(struct.pack("!H", code))
            deadline = time.monotonic() + (scaled(2) if timeout is None else timeout)
            with self.changed_:
                self.changed_.wait_for(
                    lambda: self.client_sent_close_locked_() or self.ended or self.closed_by_server_,
                    max(0.0, deadline - time.monotonic()),
                )
        self.close()

    def pause(self, seconds: float) -> None:
        """Waits ``seconds``, or less when the server stops meanwhile."""
        self.stopping_.wait(seconds)

    def close(self, *, reset: bool = False) -> None:
        """Ends the connection from the server side: a FIN, or a reset when ``reset``."""
        with self.lock_:
            if self.closed_by_server_:
                return
            self.closed_by_server_ = True
            if self.stop_handler_ is not None:
                self.stop_handler_()
            if reset:
                self.sock_.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                # Wakes a script thread blocked in sendall to a client that stopped reading.
                with suppress(OSError):
                    self.sock_.shutdown(socket.SHUT_RDWR)
            self.sock_.close()
            self.changed_.notify_all()

    # Driven by the server's threads.

    def read_until_end_(self) -> None:
        """Collects the client's bytes until it or the server ends the connection."""
        poller = select.poll()
        poller.register(self.sock_, select.POLLIN)
        while True:
            ready = poller.poll(_POLL_MS)
            with self.changed_:
                if self.closed_by_server_:
                    return
                if not ready:
                    continue
                try:
                    data = self.sock_.recv(65536)
                except ConnectionResetError:
                    self.end_("reset")
                    return
                except OSError:
                    self.end_("eof")
                    return
                if not data:
                    self.end_("eof")
                    return
                answers = self.feed_(data)
            self.answer_(answers)

    def feed_(self, data: bytes) -> list[ClientFrame]:
        """Files ``data`` as request bytes or as frames; called with the lock held.

        Returns the new frames that a conforming server answers.
        """
        self.pending_ += data
        if not self.request:
            end = self.pending_.find(b"\r\n\r\n")
            if end < 0:
                if len(self.pending_) > _REQUEST_LIMIT:
                    self.request = bytes(self.pending_)
                    self.pending_.clear()
                return []
            self.request = bytes(self.pending_[: end + 4])
            del self.pending_[: end + 4]
        self.received += bytes(self.pending_)
        new = parse_frames(self.pending_)
        self.frames.extend(new)
        self.changed_.notify_all()
        return [f for f in new if f.opcode in (OP_PING, OP_CLOSE)] if self.conforming_ else []

    def answer_(self, frames: list[ClientFrame]) -> None:
        """Answers a ping with a pong, and a close with a close and the end of the connection."""
        for frame in frames:
            with suppress(OSError):
                if frame.opcode == OP_PING:
                    self.send(ws_frame(OP_PONG, frame.payload))
                else:
                    self.send_close_frame_(frame.payload[:2])
                    self.close()

    def send_close_frame_(self, payload: bytes) -> None:
        """Sends a close frame unless one was sent already.

        Never blocks for long: a client that stopped reading cannot take it,
        and the connection ends right after anyway.
        """
        if not self.send_lock_.acquire(timeout=_POLL_MS / 1000):
            return
        try:
            if not self.sent_close_:
                self.sent_close_ = True
                with suppress(BlockingIOError):
                    self.sock_.send(ws_frame(OP_CLOSE, payload), socket.MSG_DONTWAIT)
        finally:
            self.send_lock_.release()

    def client_sent_close_locked_(self) -> bool:
        return any(frame.opcode == OP_CLOSE for frame in self.frames)

    def end_(self, kind: str) -> None:
        """Marks the client's end of the connection; called with the lock held."""
        if not self.request and self.pending_:
            self.request = bytes(self.pending_)
        self.ended = True
        self.end_kind = kind
        self.changed_.notify_all()

    def run_script_(self, script: Script) -> None:
        """Runs ``script`` once the request is in, keeping the first failure."""
        try:
            self.wait_request()
            for step in script:
                step(self)
        except BaseException as error:  # noqa: BLE001 - kept for the test to inspect
            self.error = error
        finally:
            self.done.set()


class ScriptedServer:
    """A TCP listener on 127.0.0.1 that plays a script on every connection it accepts.

    Args:
        script: the steps for every connection, or a function from the
            connection's index (0, 1, ...) to its steps, for reconnection tests
            where each connection behaves differently. Default: no step, that
            is a server that reads the request and stays silent.
        host: the address to listen on.
        port: the port; 0 picks a free one, kept across :meth:`stop` and
            :meth:`start`.
        keep_history: keep every connection in ``connections``; off, a
            connection is forgotten once it has ended, for a long-running load
            server that accepts connections by the hundred thousand.

    Use as a context manager, or call :meth:`start` and :meth:`stop`; a stopped
    server can start again on the same port. Connections are served
    concurrently, each on its own threads.
    """

    def __init__(
        self,
        script: Script | Callable[[int], Script] = (),
        *,
        host: str = "127.0.0.1",
        port: int = 0,
        keep_history: bool = True,
    ) -> None:
        self.host = host
        self.port = port
        self.connections: list[ScriptedConnection] = []
        self.keep_history_ = keep_history
        self.accepted_count_ = 0
        self.script_ = script
        self.listener_: socket.socket | None = None
        #: What the handlers of serve() steps raised, in order.
        self.errors: list[BaseException] = []
        self.stopping_ = threading.Event()
        self.threads_: list[threading.Thread] = []
        self.accepted_ = threading.Condition()

    @property
    def url(self) -> str:
        """The ws:// URL of the listener."""
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"ws://{host}:{self.port}"

    def __enter__(self) -> ScriptedServer:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def start(self) -> ScriptedServer:
        """Listens (again) and starts accepting; returns the server."""
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        self.listener_ = socket.create_server((self.host, self.port), family=family, backlog=16)
        self.port = self.listener_.getsockname()[1]
        self.stopping_.clear()
        self.spawn_(self.accept_loop_, self.listener_)
        return self

    def stop(self) -> None:
        """Stops listening, closes every open connection with a FIN and joins the threads."""
        self.stopping_.set()
        for thread in list(self.threads_):
            if thread.name == "accept":
                thread.join(scaled(5))
        if self.listener_ is not None:
            self.listener_.close()
            self.listener_ = None
        # Conforming connections close as a conforming server does: with a
        # close frame (1001, going away), all at once.
        closers = [threading.Thread(target=conn.close_handshake, args=(1001,))
                   for conn in self.connections if conn.conforming_]
        for closer in closers:
            closer.start()
        for conn in self.connections:
            if not conn.conforming_:
                conn.close()
        for closer in closers:
            closer.join()
        for thread in self.threads_:
            thread.join(scaled(5))
        self.threads_ = []

    @property
    def open_connections(self) -> list[ScriptedConnection]:
        """The connections that neither side has ended yet."""
        return [c for c in self.connections if not (c.ended or c.closed_by_server_)]

    @property
    def requests(self) -> list[ScriptedConnection]:
        """The connections whose request has arrived, in accept order."""
        return [conn for conn in self.connections if conn.request]

    def connection(self, index: int = 0, timeout: float | None = None) -> ScriptedConnection:
        """Returns connection ``index`` in accept order, waiting for it to arrive.

        Raises:
            TimeoutError: fewer connections came within ``timeout`` (default 5 s, scaled).
        """
        with self.accepted_:
            arrived = self.accepted_.wait_for(
                lambda: len(self.connections) > index, scaled(5) if timeout is None else timeout
            )
            if not arrived:
                raise TimeoutError(f"connection {index} did not arrive")
            return self.connections[index]

    def script_for_(self, index: int) -> Script:
        """Returns the steps of connection ``index``."""
        if callable(self.script_):
            return self.script_(index)
        return self.script_

    def spawn_(self, target: Callable[..., None], *args: object, name: str = "") -> None:
        """Starts a daemon thread and keeps it for :meth:`stop` to join."""
        thread = threading.Thread(target=target, args=args, daemon=True, name=name or "accept")
        self.threads_.append(thread)
        thread.start()

    def forget_ended_(self) -> None:
        """Drops the connections and threads that have ended."""
        self.connections = [c for c in self.connections if not (c.done.is_set() and c.ended)]
        self.threads_ = [t for t in self.threads_ if t.is_alive()]

    def accept_loop_(self, listener: socket.socket) -> None:
        """Accepts connections until :meth:`stop`, polling so that it notices the stop."""
        listener.settimeout(_POLL_MS / 1000)
        while not self.stopping_.is_set():
            try:
                sock, _ = listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            sock.settimeout(None)
            # Each write leaves at once: the paced streams measure latency.
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.accepted_:
                if not self.keep_history_:
                    self.forget_ended_()
                conn = ScriptedConnection(self.accepted_count_, sock, self.stopping_)
                self.accepted_count_ += 1
                self.connections.append(conn)
                self.accepted_.notify_all()
            self.spawn_(conn.read_until_end_, name=f"read-{conn.index}")
            self.spawn_(conn.run_script_, self.script_for_(conn.index), name=f"script-{conn.index}")


# Steps.


def _step(name: str, action: Step) -> Step:
    """Names ``action`` so that a failing script says which step failed."""
    action.__name__ = name
    action.__qualname__ = name
    return action


def accept(
    *,
    with_binary: Sequence[bytes] = (),
    extra: bytes = b"",
    headers: Sequence[tuple[str, str]] = (),
    accept_key: str | None = None,
) -> Step:
    """Answers the opening handshake with status 101.

    Args:
        with_binary: binary messages (such as the hello frame) framed and sent
            in the same write as the response, so that they arrive in the same
            TCP segment.
        extra: raw bytes sent after those, in the same write.
        headers: further header fields, such as an unrequested subprotocol.
        accept_key: a Sec-WebSocket-Accept value to send instead of the right one.
    """
    trailer = b"".join(ws_frame(OP_BINARY, message) for message in with_binary) + extra

    def run(conn: ScriptedConnection) -> None:
        key = conn.header("Sec-WebSocket-Key") or ""
        fields = [
            ("Upgrade", "websocket"),
            ("Connection", "Upgrade"),
            ("Sec-WebSocket-Accept", accept_value(key) if accept_key is None else accept_key),
            *headers,
        ]
        lines = ["HTTP/1.1 101 Switching Protocols", *(f"{n}: {v}" for n, v in fields)]
        conn.send(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + trailer)

    return _step("accept", run)


def http_response(status: int = 404, reason: str = "Not Found", body: bytes = b"") -> Step:
    """Answers the request with a plain HTTP response, such as a 404."""
    head = f"HTTP/1.1 {status} {reason}\r\nContent-Length: {len(body)}\r\nConnection: close\r\n\r\n"
    return send_raw(head.encode("latin-1") + body)


def send_raw(data: bytes) -> Step:
    """Sends ``data`` exactly, in one write."""
    return _step("send_raw", lambda conn: conn.send(data))


def _message(opcode: int, payload: bytes, masked: bool, fragments: int, name: str) -> Step:
    """Sends a message as ``fragments`` frames, masked with a fixed key when ``masked``."""
    if fragments < 1:
        raise ValueError("a message needs at least one fragment")
    size = -(-len(payload) // fragments) if payload else 0
    parts = (
        [payload[i * size : (i + 1) * size] for i in range(fragments)]
        if size
        else [b""] * fragments
    )
    mask = b"\x37\xfa\x21\x3d" if masked else None
    frames = b"".join(
        ws_frame(opcode if i == 0 else OP_CONTINUATION, part, fin=i == fragments - 1, mask=mask)
        for i, part in enumerate(parts)
    )
    return _step(name, lambda conn: conn.send(frames))


def send_binary(data: bytes, *, masked: bool = False, fragments: int = 1) -> Step:
    """Sends a binary message, optionally masked (a protocol violation) or in fragments."""
    return _message(OP_BINARY, data, masked, fragments, "send_binary")


def send_text(text: str, *, masked: bool = False, fragments: int = 1) -> Step:
    """Sends a text message, optionally masked or in fragments."""
    return _message(OP_TEXT, text.encode("utf-8"), masked, fragments, "send_text")


def send_ping(payload: bytes = b"", *, masked: bool = False) -> Step:
    """Sends a ping."""
    return _message(OP_PING, payload, masked, 1, "send_ping")


def send_pong(payload: bytes = b"", *, masked: bool = False) -> Step:
    """Sends an unsolicited pong."""
    return _message(OP_PONG, payload, masked, 1, "send_pong")


def send_close(code: int | None = 1000, reason: str = "", *, masked: bool = False) -> Step:
    """Sends a close frame with ``code`` and ``reason``, or an empty one when ``code`` is None."""
    payload = b"" if code is None else struct.pack("!H", code) + reason.encode("utf-8")
    return _message(OP_CLOSE, payload, masked, 1, "send_close")


def pause(seconds: float) -> Step:
    """Waits ``seconds`` before the next step (not scaled: it is part of the behaviour)."""
    return _step("pause", lambda conn: conn.pause(seconds))


def wait_frame(opcode: int | None = None, timeout: float | None = None) -> Step:
    """Waits for the client's next frame of ``opcode``; the script fails on time-out."""

    def run(conn: ScriptedConnection) -> None:
        conn.wait_frame(opcode, timeout)

    return _step("wait_frame", run)


def wait_end(timeout: float | None = None) -> Step:
    """Waits until the client ends the TCP connection; the script fails on time-out."""

    def run(conn: ScriptedConnection) -> None:
        if not conn.wait_end(timeout):
            raise TimeoutError("the client kept the connection open")

    return _step("wait_end", run)


def close_tcp() -> Step:
    """Closes the TCP connection with a FIN, without a WebSocket close frame."""
    return _step("close_tcp", lambda conn: conn.close())


def reset_tcp() -> Step:
    """Resets the TCP connection (SO_LINGER 0, then close)."""
    return _step("reset_tcp", lambda conn: conn.close(reset=True))


def route(routes: Mapping[str, Callable[..., Script]], default: Script = ()) -> Step:
    """Plays the script that the request's path names: "/NAME/A/B" plays ``routes[NAME]("A", "B")``.

    A path that names no route plays ``default``.
    """

    def run(conn: ScriptedConnection) -> None:
        name, *arguments = conn.path.split("?", 1)[0].strip("/").split("/")
        script = routes[name](*arguments) if name in routes else default
        for step in script:
            step(conn)

    return _step("route", run)


# A conforming server: an asyncio handler over a scripted connection.


class Session:
    """What a handler of :func:`serve` talks to: the calls of a ``websockets`` server connection.

    ``send`` frames a message (bytes as binary, str as text); ``ping`` returns
    an awaitable that ends when the client's pong comes; ``wait_closed`` waits
    until the connection has ended. A send into a connection that has ended
    raises ``websockets.exceptions.ConnectionClosed``, as the library does.
    """

    def __init__(self, conn: ScriptedConnection) -> None:
        self.conn = conn
        self.request = conn

    async def send(self, message: bytes | str) -> None:
        opcode, payload = (OP_TEXT, message.encode()) if isinstance(message, str) else (
            OP_BINARY, bytes(message))
        self.send_(ws_frame(opcode, payload))

    async def ping(self, payload: bytes = b"") -> asyncio.Future[float]:
        start = time.monotonic()
        seen = len([f for f in self.conn.frames if f.opcode == OP_PONG])
        self.send_(ws_frame(OP_PING, payload))

        async def pong() -> float:
            while not any(f.payload == payload for f in
                          [f for f in self.conn.frames if f.opcode == OP_PONG][seen:]):
                await self.tick_()
            return time.monotonic() - start

        return asyncio.ensure_future(pong())

    async def pong(self, payload: bytes = b"") -> None:
        self.send_(ws_frame(OP_PONG, payload))

    async def wait_closed(self) -> None:
        while not (self.conn.ended or self.conn.closed_by_server_):
            await asyncio.sleep(_POLL_MS / 1000)

    async def close(self, code: int = 1000, reason: str = "") -> None:
        self.conn.close_handshake(code)

    async def tick_(self) -> None:
        if self.conn.ended or self.conn.closed_by_server_:
            self.raise_closed_()
        await asyncio.sleep(_POLL_MS / 1000)

    def send_(self, frame: bytes) -> None:
        if self.conn.sent_close_ or self.conn.closed_by_server_:
            self.raise_closed_()
        try:
            self.conn.send(frame)
        except OSError:
            self.raise_closed_()

    @staticmethod
    def raise_closed_() -> None:
        from websockets.exceptions import ConnectionClosedError

        raise ConnectionClosedError(None, None)


Handler = Callable[[Session], Awaitable[None]]


def serve(handler: Handler, errors: list[BaseException]) -> Step:
    """Runs ``handler`` as a conforming server would: pings and closes answered, then a close.

    When the handler returns, the connection closes with code 1000; what it
    raises goes to ``errors``. Stopping the server
    closes the connection with code 1001 and cancels the handler.
    """

    def run(conn: ScriptedConnection) -> None:
        conn.conforming_ = True
        loop = asyncio.new_event_loop()
        task = loop.create_task(handler(Session(conn)))
        conn.stop_handler_ = lambda: loop.call_soon_threadsafe(task.cancel)
        try:
            loop.run_until_complete(task)
        except asyncio.CancelledError:
            pass
        except Exception as error:  # noqa: BLE001 - kept for the test to inspect
            errors.append(error)
        finally:
            conn.stop_handler_ = None
            loop.close()
        conn.close_handshake(1000)

    return _step("serve", run)
