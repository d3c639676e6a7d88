"""A small WebSocket server for the load scripts and the client benchmark, run
as a process of its own.

    python bench/load_server.py

Listens on 127.0.0.1 on a free port, prints that port on one line, and serves
every connection on a thread of its own by the path of its request:

- ``/stream/<client>/<count>``: a hello, then ``count`` hand-angle frames whose
  values name the client and the frame's index (see :func:`frame_values`),
  then a close frame.
- ``/frames/<count>``: a hello, then ``count`` hand-landmark frames as fast as
  the connection takes them, cycling through :func:`sample_frames` (encoded
  once, sent in large blocks), then a close frame.
- ``/paced/<count>/<rate>``: a hello, then ``count`` hand-landmark frames at
  ``rate`` per second, each carrying in its first value the ``time.monotonic()``
  at which it was sent, then a close frame.
- anything else: the handshake only; then it waits until the client leaves.

It runs until its standard input closes, so it ends with the script that
started it.
"""

from __future__ import annotations

import base64
import functools
import hashlib
import socket
import struct
import sys
import threading
import time

from quorl_sdk import wire

_WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
# Frames of /stream go out in batches of this many, one sendall each.
_BATCH = 256
# Distinct frames of /frames, sent as one block per sendall.
_SAMPLES = 1000
_CLOSE = struct.pack("!BBH", 0x88, 2, 1000)
_STAMP = struct.Struct("<d")


def frame_values(client: int, index: int) -> list[float]:
    """Returns the 21 values of frame ``index`` of ``client`` on /stream."""
    return [float(client), float(index)] + [client + index / 1000 + k for k in range(19)]


@functools.cache
def sample_frames() -> tuple[bytes, ...]:
    """Returns the frames that /frames cycles through: hand landmarks, both sides.

    Frame ``i`` has side ``i % 2`` and values ``i + k / 4``, so its first value
    tells which it is.
    """
    count = wire.value_count(wire.MSG_HAND_LANDMARKS)
    return tuple(wire.encode(wire.MSG_HAND_LANDMARKS, i % 2, [i + k * 0.25 for k in range(count)])
                 for i in range(_SAMPLES))


def ws_binary(payload: bytes) -> bytes:
    """Returns one unmasked binary WebSocket frame of a payload below 64 KiB."""
    if len(payload) < 126:
        return struct.pack("!BB", 0x82, len(payload)) + payload
    return struct.pack("!BBH", 0x82, 126, len(payload)) + payload


def handshake(conn: socket.socket) -> str | None:
    """Reads the opening request, answers 101 and returns the request's path."""
    request = b""
    while b"\r\n\r\n" not in request:
        chunk = conn.recv(4096)
        if not chunk:
            return None
        request += chunk
    lines = request.split(b"\r\n")
    key = next((line.split(b":", 1)[1].strip() for line in lines
                if line.lower().startswith(b"sec-websocket-key:")), b"")
    accept = base64.b64encode(hashlib.sha1(key + _WS_GUID).digest())
    conn.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                 b"Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n\r\n")
    return lines[0].split(b" ")[1].decode("ascii")


def stream(conn: socket.socket, client: int, count: int) -> None:
    """Sends a hello, ``count`` frames of ``client`` and a close frame."""
    conn.sendall(ws_binary(wire.hello()))
    kind = wire.MSG_HAND_ISB_ANGLES
    for start in range(0, count, _BATCH):
        batch = b"".join(ws_binary(wire.encode(kind, index % 2, frame_values(client, index)))
                         for index in range(start, min(start + _BATCH, count)))
        conn.sendall(batch)
    conn.sendall(_CLOSE)


@functools.cache
def _sample_block() -> bytes:
    """Returns every sample frame as WebSocket frames, back to back."""
    return b"".join(ws_binary(frame) for frame in sample_frames())


def frames(conn: socket.socket, count: int) -> None:
    """Sends a hello, ``count`` sample frames in blocks, and a close frame."""
    block = _sample_block()
    full_blocks, rest = divmod(count, _SAMPLES)
    conn.sendall(ws_binary(wire.hello()))
    for _ in range(full_blocks):
        conn.sendall(block)
    conn.sendall(block[: rest * (len(block) // _SAMPLES)] + _CLOSE)


def paced(conn: socket.socket, count: int, rate: float) -> None:
    """Sends a hello, ``count`` frames stamped with their sending time at ``rate`` Hz, a close."""
    kind = wire.MSG_HAND_LANDMARKS
    frame = bytearray(ws_binary(wire.encode(kind, 0, [float(k) for k in range(84)])))
    first_value = len(frame) - wire.frame_size(kind) + 2  # after the type and side bytes
    conn.sendall(ws_binary(wire.hello()))
    start = time.monotonic()
    for index in range(count):
        delay = start + index / rate - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        _STAMP.pack_into(frame, first_value, time.monotonic())
        conn.sendall(frame)
    conn.sendall(_CLOSE)


def _route(conn: socket.socket, path: str) -> None:
    """Serves the stream that ``path`` asks for; other paths get nothing."""
    route, *arguments = path.strip("/").split("/")
    if route == "stream":
        stream(conn, int(arguments[0]), int(arguments[1]))
    elif route == "frames":
        frames(conn, int(arguments[0]))
    elif route == "paced":
        paced(conn, int(arguments[0]), float(arguments[1]))


def serve(conn: socket.socket) -> None:
    """Serves one connection by its path, then waits for the client to leave."""
    with conn:
        try:
            # Frames go out as they are written: the paced stream measures latency.
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            path = handshake(conn)
            if path is not None:
                _route(conn, path)
            while conn.recv(65536):
                pass
        except OSError:
            pass


def main() -> None:
    listener = socket.create_server(("127.0.0.1", 0), backlog=128)
    print(listener.getsockname()[1], flush=True)

    def accept_forever() -> None:
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=serve, args=(conn,), daemon=True).start()

    threading.Thread(target=accept_forever, daemon=True).start()
    sys.stdin.read()


if __name__ == "__main__":
    main()
