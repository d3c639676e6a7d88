"""Restarts a local server over and over under one reconnecting client and checks
that the client leaks nothing: its open file descriptors and resident memory
after the last restart are those after the first 100.

    python bench/reconnect_soak.py [--restarts N] [--frames N]

The server runs in a process of its own and, for each restart, closes the
connection and its listening socket, listens again on the same port, accepts
the client's next attempt and sends a hello and `--frames` frames. The client
(connect_url_raw with reconnect=True and base_delay_ms=0) must receive every
frame. Exits with status 1 when a frame is missing or differs, or when the
descriptors or the memory grew.
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

import _quorl_sdk
from quorl_sdk import wire

CHECKPOINT = 100
# Resident memory may move by a few pages as the allocators settle; growth
# per restart would show as far more than this over 900 restarts.
RSS_SLACK_KIB = 256
_WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


def frame_of(restart: int, index: int) -> bytes:
    """Returns frame `index` of connection `restart`, with values that name both."""
    count = wire.value_count(wire.MSG_HAND_ISB_ANGLES)
    return wire.encode(wire.MSG_HAND_ISB_ANGLES, index % 2,
                       [restart + index / 100 + k / 10000 for k in range(count)])


def ws_binary(payload: bytes) -> bytes:
    """Returns one unmasked binary WebSocket frame of a payload below 64 KiB."""
    if len(payload) < 126:
        return struct.pack("!BB", 0x82, len(payload)) + payload
    return struct.pack("!BBH", 0x82, 126, len(payload)) + payload


def accept_handshake(conn: socket.socket) -> None:
    """Reads the opening request and answers it with 101."""
    request = b""
    while b"\r\n\r\n" not in request:
        chunk = conn.recv(4096)
        if not chunk:
            raise ConnectionError("the client left during the handshake")
        request += chunk
    key = b""
    for line in request.split(b"\r\n"):
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"sec-websocket-key":
            key = value.strip()
    accept = base64.b64encode(hashlib.sha1(key + _WS_GUID).digest())
    conn.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                 b"Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n\r\n")


def serve(restarts: int, frames: int) -> None:
    """Serves restarts + 1 connections, each on a listener of its own on the same port."""
    port = 0
    for restart in range(restarts + 1):
        with socket.create_server(("127.0.0.1", port)) as listener:
            if port == 0:
                port = listener.getsockname()[1]
                print(port, flush=True)
            conn, _ = listener.accept()
        with conn:
            accept_handshake(conn)
            conn.sendall(ws_binary(wire.hello()) +
                         b"".join(ws_binary(frame_of(restart, i)) for i in range(frames)))


def open_fds() -> int:
    """Returns how many file descriptors this process has open."""
    return len(os.listdir("/proc/self/fd"))


def rss_kib() -> int:
    """Returns this process's resident memory in KiB."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def soak(port: int, restarts: int, frames: int) -> bool:
    """Streams through every restart; prints the checkpoints and returns whether they match."""
    expected = {(r, i): _quorl_sdk.decode_frame(frame_of(r, i))
                for r in (0, 1) for i in range(frames)}
    client = _quorl_sdk.connect_url_raw(f"ws://127.0.0.1:{port}", reconnect=True,
                                        base_delay_ms=0, max_retries=2**32 - 1)
    checkpoint = None
    started = time.monotonic()
    for restart in range(restarts + 1):
        for index in range(frames):
            got = next(client)
            want = expected.get((restart, index)) or _quorl_sdk.decode_frame(frame_of(restart, index))
            if got != want:
                print(f"restart {restart}, frame {index}: got {got[:2]}, expected {want[:2]}")
                return False
        if restart == CHECKPOINT:
            checkpoint = (open_fds(), rss_kib())
            print(f"after {CHECKPOINT} restarts: {checkpoint[0]} open fds, {checkpoint[1]} KiB resident")
    final = (open_fds(), rss_kib())
    elapsed = time.monotonic() - started
    print(f"after {restarts} restarts: {final[0]} open fds, {final[1]} KiB resident "
          f"({elapsed:.1f} s, {(restarts + 1) * frames} frames)")
    client.close()
    if checkpoint is None:
        return True
    fds_same = final[0] == checkpoint[0]
    rss_same = final[1] - checkpoint[1] <= RSS_SLACK_KIB
    print(f"open fds {'unchanged' if fds_same else 'GREW'}; resident memory "
          f"{'unchanged' if rss_same else 'GREW'} ({final[1] - checkpoint[1]:+d} KiB, "
          f"slack {RSS_SLACK_KIB} KiB)")
    return fds_same and rss_same


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--restarts", type=int, default=1000)
    parser.add_argument("--frames", type=int, default=5, help="frames per connection")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(args.restarts, args.frames)
        return
    server = subprocess.Popen([sys.executable, __file__, "--serve", "--restarts",
                               str(args.restarts), "--frames", str(args.frames)],
                              stdout=subprocess.PIPE, text=True)
    try:
        port = int(server.stdout.readline())
        ok = soak(port, args.restarts, args.frames)
    finally:
        server.kill()
        server.wait()
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
