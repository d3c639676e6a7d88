"""Streams hand-landmark frames from a local server as fast as it sends them, into
_quorl_sdk and into the pure-Python clients websocket-client and websockets
(sync), and prints frames per second and client CPU time per frame for each,
next to decode_frame alone on the same frame and a raw socket reader that shows
what the server can deliver. Every figure comes from the same run.

    python bench/stream.py [--frames N] [--repeat N]

Targets, as ratios: _quorl_sdk streams at least 4x the frames per second of the
faster pure-Python client, and spends at most 2x the CPU time of decode_frame
per frame. The server runs in a process of its own, so the CPU times are the
client's alone (process_time of this process, every thread included).
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import os
import socket
import struct
import subprocess
import sys
import time
from collections.abc import Callable, Iterator

import websocket  # websocket-client
from websockets.sync.client import connect as websockets_connect

import _quorl_sdk
from quorl_sdk import wire

KIND = wire.MSG_HAND_LANDMARKS
FRAME_SIZE = wire.frame_size(KIND)
DISTINCT_FRAMES = 1000
CHECKED_FRAMES = 3000
_WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


# The server: raw TCP, hand-made handshake, every WebSocket frame encoded in
# advance, so that sending costs one sendall per large block.


def sample_frames() -> list[bytes]:
    """Returns DISTINCT_FRAMES hand-landmark frames with distinct values and both sides."""
    count = wire.value_count(KIND)
    return [wire.encode(KIND, i % 2, [i + k * 0.25 for k in range(count)])
            for i in range(DISTINCT_FRAMES)]


def ws_binary(payload: bytes) -> bytes:
    """Returns one unmasked binary WebSocket frame (payloads below 64 KiB)."""
    return struct.pack("!BBH", 0x82, 126, len(payload)) + payload if len(payload) > 125 else \
        struct.pack("!BB", 0x82, len(payload)) + payload


def read_request(conn: socket.socket) -> bytes:
    """Reads the opening request up to its blank line."""
    request = b""
    while b"\r\n\r\n" not in request:
        chunk = conn.recv(4096)
        if not chunk:
            raise ConnectionError("client left during the handshake")
        request += chunk
    return request


def handshake_response(request: bytes) -> bytes:
    """Returns the 101 response that accepts `request`."""
    key = b""
    for line in request.split(b"\r\n"):
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"sec-websocket-key":
            key = value.strip()
    accept = base64.b64encode(hashlib.sha1(key + _WS_GUID).digest())
    return (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
            b"Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n\r\n")


def serve(frames: int) -> None:
    """Serves clients one after another: hello, `frames` frames, a close frame, then waits for EOF."""
    block = b"".join(ws_binary(frame) for frame in sample_frames())
    full_blocks, rest = divmod(frames, DISTINCT_FRAMES)
    tail = block[: rest * len(ws_binary(sample_frames()[0]))]
    with socket.create_server(("127.0.0.1", 0)) as listener:
        print(listener.getsockname()[1], flush=True)
        while True:
            conn, _ = listener.accept()
            with conn:
                try:
                    conn.sendall(handshake_response(read_request(conn)) + ws_binary(wire.hello()))
                    for _ in range(full_blocks):
                        conn.sendall(block)
                    conn.sendall(tail + b"\x88\x02\x03\xe8")
                    while conn.recv(65536):
                        pass
                except OSError:
                    pass


# The clients. Each reads `frames` data frames and returns how many it got
# and, when asked, the tuples themselves.


def pure_python_decode(data: bytes, layouts={
    kind: struct.Struct(f"<{wire.value_count(kind)}d") for kind in wire.DATA_KINDS
}) -> tuple[int, int | None, list[float]]:
    """Decodes a data frame into (kind, side, values) the way a pure-Python SDK would."""
    kind = data[0]
    if kind in wire.HAND_KINDS:
        return kind, data[1], list(layouts[kind].unpack_from(data, 2))
    return kind, None, list(layouts[kind].unpack_from(data, 1))


def quorl_stream(port: int) -> tuple[Iterator[tuple], Callable[[], None]]:
    """The RawClient itself is the iterator: nothing of Python runs between frames."""
    client = _quorl_sdk.connect_raw(port)
    return client, client.close


def websocket_client_stream(port: int) -> tuple[Iterator[tuple], Callable[[], None]]:
    ws = websocket.create_connection(f"ws://127.0.0.1:{port}", skip_utf8_validation=True)

    def frames() -> Iterator[tuple]:
        while True:
            data = ws.recv()
            if not data:
                return
            if data[0] != wire.MSG_HELLO:
                yield pure_python_decode(data)

    return frames(), lambda: ws.close(timeout=0)


def websockets_stream(port: int) -> tuple[Iterator[tuple], Callable[[], None]]:
    ws = websockets_connect(f"ws://127.0.0.1:{port}", compression=None, max_size=None,
                            close_timeout=0.1)

    def frames() -> Iterator[tuple]:
        for data in ws:
            if data[0] != wire.MSG_HELLO:
                yield pure_python_decode(data)

    return frames(), ws.close


def run_client(open_stream: Callable[[int], tuple[Iterator[tuple], Callable[[], None]]],
               port: int, count: int, keep: bool = False) -> tuple[float, float, list[tuple]]:
    """Reads `count` frames; returns wall seconds, CPU seconds and (with `keep`) the tuples."""
    kept: list[tuple] = []
    received = 0
    wall, cpu = time.perf_counter(), time.process_time()
    stream, close = open_stream(port)
    if keep:
        for item in stream:
            kept.append(item)
            received += 1
            if received == count:
                break
    else:
        for item in stream:
            received += 1
            if received == count:
                break
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    close()
    if received != count:
        raise RuntimeError(f"{open_stream.__name__} got {received} of {count} frames")
    return wall, cpu, kept


def run_raw_reader(port: int, count: int) -> tuple[float, float]:
    """Drains `count` frames' worth of bytes with a plain socket: the server's pace."""
    wanted = count * (FRAME_SIZE + 4)
    buffer = bytearray(1 << 20)
    wall, cpu = time.perf_counter(), time.process_time()
    with socket.create_connection(("127.0.0.1", port)) as sock:
        sock.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                     b"Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                     b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
        received = 0
        while received < wanted:
            n = sock.recv_into(buffer)
            if n == 0:
                raise RuntimeError("the server ended early")
            received += n
    return time.perf_counter() - wall, time.process_time() - cpu


def time_decode_frame(count: int) -> tuple[float, float]:
    """Returns wall and CPU seconds of `count` decode_frame calls on the streamed frames."""
    frames = sample_frames()
    decode = _quorl_sdk.decode_frame
    rounds, rest = divmod(count, len(frames))
    wall, cpu = time.perf_counter(), time.process_time()
    for _ in range(rounds):
        for frame in frames:
            decode(frame)
    for frame in frames[:rest]:
        decode(frame)
    return time.perf_counter() - wall, time.process_time() - cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=3, help="runs per client; the best counts")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(args.frames)
        return

    server = subprocess.Popen([sys.executable, __file__, "--serve", "--frames", str(args.frames)],
                              stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline())
        measure(port, args.frames, args.repeat)
    finally:
        server.kill()
        server.wait()


def measure(port: int, frames: int, repeat: int) -> None:
    clients = {
        "_quorl_sdk": quorl_stream,
        "websocket-client": websocket_client_stream,
        "websockets (sync)": websockets_stream,
    }
    # The same tuples from every client, checked on a prefix of the stream.
    expected = [pure_python_decode(frame) for frame in sample_frames()]
    expected = (expected * (CHECKED_FRAMES // len(expected) + 1))[:CHECKED_FRAMES]
    assert [_quorl_sdk.decode_frame(f) for f in sample_frames()] == expected[:DISTINCT_FRAMES]
    for name, open_stream in clients.items():
        _, _, got = run_client(open_stream, port, CHECKED_FRAMES, keep=True)
        assert got == expected, f"{name} delivered other tuples"

    results: dict[str, tuple[float, float]] = {}
    for _ in range(repeat):
        for name, open_stream in clients.items():
            wall, cpu, _ = run_client(open_stream, port, frames)
            best = results.get(name, (float("inf"), float("inf")))
            results[name] = (min(best[0], wall), min(best[1], cpu))
        wall, cpu = run_raw_reader(port, frames)
        best = results.get("raw socket reader", (float("inf"), float("inf")))
        results["raw socket reader"] = (min(best[0], wall), min(best[1], cpu))
        wall, cpu = time_decode_frame(frames)
        best = results.get("decode_frame alone", (float("inf"), float("inf")))
        results["decode_frame alone"] = (min(best[0], wall), min(best[1], cpu))

    print(f"{frames:,} hand-landmark frames ({FRAME_SIZE} bytes) per run, best of {repeat}; "
          f"server in its own process, {os.cpu_count()} CPUs")
    print(f"{'':<20} {'frames/s':>12} {'client CPU us/frame':>20}")
    for name, (wall, cpu) in results.items():
        print(f"{name:<20} {frames / wall:>12,.0f} {cpu / frames * 1e6:>20.2f}")

    quorl_fps = frames / results["_quorl_sdk"][0]
    python_fps = max(frames / results[name][0] for name in ("websocket-client",
                                                             "websockets (sync)"))
    raw_fps = frames / results["raw socket reader"][0]
    cpu_ratio = results["_quorl_sdk"][1] / results["decode_frame alone"][1]
    print()
    print(f"_quorl_sdk / faster pure-Python client, frames/s: {quorl_fps / python_fps:6.2f}"
          "   target >= 4")
    print(f"_quorl_sdk CPU per frame / decode_frame:         {cpu_ratio:6.2f}   target <= 2")
    print(f"raw socket reader / _quorl_sdk, frames/s:         {raw_fps / quorl_fps:6.2f}"
          "   the server is not the bottleneck when well above 1")


if __name__ == "__main__":
    main()
