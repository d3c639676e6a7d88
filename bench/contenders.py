"""The clients that bench/clients.py runs side by side, each written the way its
users would write it.

Every contender reads one connection to its end in two ways:

- ``count(url)``: the tightest loop its users would write; returns the data
  frames read from the connection (in latest mode more than were handed over);
- ``each(url, on_frame)``: calls ``on_frame(receipt, frame)`` for every frame
  handed over, ``receipt`` being ``time.monotonic()`` when the program got it
  and ``frame`` anything that indexes like ``(kind, side, values)``.

A contender whose path the installed package lacks says why in ``missing``.
"""

from __future__ import annotations

import asyncio
import base64
import hashlib
import os
import socket
import struct
import time
from collections.abc import Callable, Iterable, Iterator
from contextlib import AbstractContextManager, closing
from typing import Any, NamedTuple
from urllib.parse import urlsplit

import _quorl_sdk
import quorl_sdk
from quorl_sdk import wire

OnFrame = Callable[[float, Any], None]

_WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
# A close frame with status 1000, as the benchmark's server ends every stream.
_CLOSE_NORMAL = struct.pack("!BBH", 0x88, 2, 1000)


class _Layout(NamedTuple):
    values: struct.Struct
    offset: int  # of the first value: after the type byte, and the side byte of hand data
    size: int  # of the whole frame


_LAYOUTS = {
    kind: _Layout(struct.Struct(f"<{wire.value_count(kind)}d"), 2 if kind in wire.HAND_KINDS
                  else 1, wire.frame_size(kind))
    for kind in wire.DATA_KINDS
}


def decode(data: bytes | bytearray, start: int, length: int) -> tuple | None:
    """Decodes the frame at ``data[start:start + length]`` into ``(kind, side, values)``.

    Returns None for a hello; raises ValueError for anything else that is no data frame.
    """
    kind = data[start]
    layout = _LAYOUTS.get(kind)
    if layout is None or length != layout.size:
        if kind == wire.MSG_HELLO:
            return None
        raise ValueError(f"bad frame of type {kind} and {length} bytes")
    side = data[start + 1] if layout.offset == 2 else None
    return kind, side, list(layout.values.unpack_from(data, start + layout.offset))


class SocketReader:
    """A minimal hand-written WebSocket client over a plain socket.

    It makes the opening handshake, then reads the server's unmasked frames
    out of large reads and decodes data frames with ``struct``; it answers a
    close frame and a ping, skips text and pong, and expects no fragmented
    messages (the server sends none). Iterating yields ``(kind, side, values)``.
    """

    def __init__(self, url: str) -> None:
        parts = urlsplit(url)
        self._sock = socket.create_connection((parts.hostname, parts.port))
        self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        key = base64.b64encode(os.urandom(16))
        self._sock.sendall(
            f"GET {parts.path or '/'} HTTP/1.1\r\nHost: {parts.netloc}\r\n".encode()
            + b"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
            + b"Sec-WebSocket-Key: " + key + b"\r\n\r\n")
        self._rest = self._read_response(base64.b64encode(hashlib.sha1(key + _WS_GUID).digest()))

    def _read_response(self, accept: bytes) -> bytes:
        """Reads the handshake's answer, checks it and returns the bytes after it."""
        response = b""
        while b"\r\n\r\n" not in response:
            chunk = self._sock.recv(4096)
            if not chunk:
                raise ConnectionError("the server left during the handshake")
            response += chunk
        head, _, rest = response.partition(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.1 101") or b"Sec-WebSocket-Accept: " + accept not in head:
            raise ConnectionError(f"handshake refused: {head[:80]!r}")
        return rest

    def __iter__(self) -> Iterator[tuple]:
        sock, data, pos = self._sock, self._rest, 0
        while True:
            end = len(data)
            while end - pos >= 2:
                length, head = data[pos + 1] & 0x7F, 2
                if length == 126:
                    length, head = int.from_bytes(data[pos + 2:pos + 4], "big"), 4
                elif length == 127:
                    length, head = int.from_bytes(data[pos + 2:pos + 10], "big"), 10
                if end - pos < head + length:
                    break
                opcode, start = data[pos] & 0x0F, pos + head
                pos = start + length
                if opcode == 2:
                    frame = decode(data, start, length)
                    if frame is not None:
                        yield frame
                elif opcode == 8:
                    self._send(8, data[start:pos])
                    return
                elif opcode == 9:
                    self._send(10, data[start:pos])
            chunk = sock.recv(1 << 18)
            if not chunk:
                return
            data, pos = data[pos:] + chunk, 0

    def drain(self) -> int:
        """Reads until a read ends with the server's close frame; returns the bytes read."""
        buffer = bytearray(1 << 20)
        received, last = len(self._rest), self._rest[-4:]
        while last != _CLOSE_NORMAL:
            n = self._sock.recv_into(buffer)
            if n == 0:
                break
            received += n
            last = (last + buffer[max(0, n - 4):n])[-4:]
        return received

    def _send(self, opcode: int, payload: bytes) -> None:
        """Sends one short control frame, masked as a client must."""
        mask = os.urandom(4)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self._sock.sendall(bytes([0x80 | opcode, 0x80 | len(payload)]) + mask + masked)

    def close(self) -> None:
        self._sock.close()


class Contender:
    """One client of the benchmark; subclasses say how it reads."""

    name = ""
    #: Why the installed package cannot run this contender, or None.
    missing: str | None = None
    #: Whether every frame is handed over, in order.
    lossless = True
    #: Whether it hands frames over at all (``each``), or only counts them.
    delivers = True
    #: Whether its frames should carry their arrival time (``frame.time``).
    stamps_frames = False

    def count(self, url: str) -> int:
        raise NotImplementedError

    def each(self, url: str, on_frame: OnFrame) -> None:
        raise NotImplementedError

    def close(self) -> None:
        """Releases what the contender keeps between runs."""


class _Iterating(Contender):
    """A client that is an iterator of frames."""

    def open(self, url: str) -> AbstractContextManager[Iterable[Any]]:
        raise NotImplementedError

    def frames_read(self, stream: Any, handed_over: int) -> int:
        return handed_over

    def count(self, url: str) -> int:
        with self.open(url) as stream:
            handed_over = 0
            for _ in stream:
                handed_over += 1
            return self.frames_read(stream, handed_over)

    def each(self, url: str, on_frame: OnFrame) -> None:
        monotonic = time.monotonic
        with self.open(url) as stream:
            for frame in stream:
                on_frame(monotonic(), frame)


class RawClient(_Iterating):
    name = "RawClient"

    def open(self, url: str) -> AbstractContextManager[Iterable[Any]]:
        return closing(_quorl_sdk.connect_url_raw(url))


class Blocking(_Iterating):
    name = "blocking"
    stamps_frames = True

    def open(self, url: str) -> AbstractContextManager[Iterable[Any]]:
        return quorl_sdk.connect_url(url)


class Latest(_Iterating):
    name = "latest"
    stamps_frames = True
    lossless = False

    def open(self, url: str) -> AbstractContextManager[Iterable[Any]]:
        return quorl_sdk.connect_url(url, mode="latest")

    def frames_read(self, stream: Any, handed_over: int) -> int:
        return int(stream.received)


class PurePython(_Iterating):
    name = "pure-Python socket"

    def open(self, url: str) -> AbstractContextManager[Iterable[Any]]:
        return closing(SocketReader(url))


class Drain(Contender):
    """Reads the bytes of a connection and decodes nothing: the pace of the server."""

    name = "socket drain"
    delivers = False

    def count(self, url: str) -> int:
        with closing(SocketReader(url)) as reader:
            # Hand-landmark frames, each behind a 4-byte WebSocket header.
            return reader.drain() // (wire.frame_size(wire.MSG_HAND_LANDMARKS) + 4)


class PulledFrame(NamedTuple):
    """One frame out of a pulled batch."""

    kind: int
    side: int | None
    values: list[float]
    time: float
    seq: int


class Pull(Contender):
    name = "pull()"
    stamps_frames = True
    missing = None if hasattr(quorl_sdk.Client, "pull") else "Client.pull"

    @staticmethod
    def _batches(client: Any) -> Iterator[dict[Any, Any]]:
        """Yields every non-empty pull until the stream ends."""
        while True:
            try:
                batches = client.pull()
            except (EOFError, StopIteration):
                return
            if not batches:
                return
            yield batches

    def count(self, url: str) -> int:
        with quorl_sdk.connect_url(url) as client:
            read = 0
            for batches in self._batches(client):
                for batch in batches.values():
                    read += len(batch.seq)
            return read

    def each(self, url: str, on_frame: OnFrame) -> None:
        with quorl_sdk.connect_url(url) as client:
            for batches in self._batches(client):
                self.deliver(time.monotonic(), batches, on_frame)

    @staticmethod
    def deliver(receipt: float, batches: dict[Any, Any], on_frame: OnFrame) -> None:
        """Hands the frames of ``batches`` to ``on_frame`` in the order they came."""
        frames = [PulledFrame(kind, side, values.ravel().tolist(), stamp, seq)
                  for (kind, side), batch in batches.items()
                  for values, stamp, seq in zip(batch.values, batch.time.tolist(),
                                                batch.seq.tolist())]
        for frame in sorted(frames, key=lambda frame: frame.seq):
            on_frame(receipt, frame)


class PullInto(Contender):
    """``pull_into()`` into buffers made once, as large as the client's queue."""

    name = "pull_into()"
    stamps_frames = True
    missing = None if hasattr(quorl_sdk.Client, "pull_into") else "Client.pull_into"
    CAPACITY = 1024

    @staticmethod
    def _pulls(client: Any, buffers: Any) -> Iterator[int]:
        """Yields how many frames each pull took until the stream ends."""
        while True:
            try:
                yield client.pull_into(buffers)
            except EOFError:
                return

    def count(self, url: str) -> int:
        buffers = quorl_sdk.Buffers(self.CAPACITY)
        with quorl_sdk.connect_url(url) as client:
            return sum(self._pulls(client, buffers))

    def each(self, url: str, on_frame: OnFrame) -> None:
        buffers = quorl_sdk.Buffers(self.CAPACITY)
        with quorl_sdk.connect_url(url) as client:
            for _ in self._pulls(client, buffers):
                receipt = time.monotonic()
                batches = {key: buffers[key] for key in buffers.streams if buffers.count(key)}
                Pull.deliver(receipt, batches, on_frame)


class _Async(Contender):
    """A client for asyncio; every run goes on one event loop, made once."""

    def __init__(self) -> None:
        self._loop = asyncio.new_event_loop()

    def run(self, coroutine: Any) -> Any:
        return self._loop.run_until_complete(coroutine)

    def close(self) -> None:
        self._loop.close()


class Asyncio(_Async):
    name = "asyncio"
    stamps_frames = True

    def count(self, url: str) -> int:
        async def read() -> int:
            async with quorl_sdk.connect_url_async(url) as client:
                read = 0
                async for _ in client:
                    read += 1
                return read

        return int(self.run(read()))

    def each(self, url: str, on_frame: OnFrame) -> None:
        async def read() -> None:
            monotonic = time.monotonic
            async with quorl_sdk.connect_url_async(url) as client:
                async for frame in client:
                    on_frame(monotonic(), frame)

        self.run(read())


class Aiohttp(_Async):
    name = "aiohttp"

    def __init__(self) -> None:
        super().__init__()
        try:
            import aiohttp
        except ImportError:
            self.missing = "aiohttp (pip install -r bench/requirements.txt)"
        else:
            self._aiohttp = aiohttp

    async def _read(self, url: str, on_frame: OnFrame | None) -> int:
        """Reads one connection, handing every data frame to `on_frame` if given; returns the count."""
        binary, monotonic = self._aiohttp.WSMsgType.BINARY, time.monotonic
        read = 0
        async with self._aiohttp.ClientSession() as session, \
                session.ws_connect(url, max_msg_size=0, compress=0) as ws:
            async for message in ws:
                if message.type is binary:
                    data = message.data
                    frame = decode(data, 0, len(data))
                    if frame is not None:
                        read += 1
                        if on_frame is not None:
                            on_frame(monotonic(), frame)
        return read

    def count(self, url: str) -> int:
        return int(self.run(self._read(url, None)))

    def each(self, url: str, on_frame: OnFrame) -> None:
        self.run(self._read(url, on_frame))


def all_contenders() -> list[Contender]:
    """Returns every contender, the reference (RawClient) first."""
    return [RawClient(), Blocking(), Latest(), Asyncio(), Pull(), PullInto(), PurePython(),
            Aiohttp(), Drain()]
