"""Faults as Python sees them: a server killed in the middle of a frame, and many
failed connection attempts that must leave no descriptor or thread behind."""

from __future__ import annotations

import gc
import os
import signal
import struct
import subprocess
import sys
import textwrap
import threading
from contextlib import closing

import pytest

from _quorl_sdk import connect_url_raw
from support import (
    MSG_HAND_LANDMARKS,
    ScriptedServer,
    accept,
    hello,
    http_response,
    pause,
    scaled,
    send_raw,
)

# A server process that sends a hello and COUNT whole frames, then half of one
# more, says "sent" and waits to be killed. A frame's values start at START.
SERVER = textwrap.dedent("""
    import base64, hashlib, socket, struct, sys, time
    from quorl_sdk import wire

    port, count, start = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    listener = socket.create_server(("127.0.0.1", port))
    print("listening", flush=True)
    conn, _ = listener.accept()
    request = b""
    while b"\\r\\n\\r\\n" not in request:
        request += conn.recv(4096)
    key = [line.split(b":", 1)[1].strip() for line in request.split(b"\\r\\n")
           if line.lower().startswith(b"sec-websocket-key:")][0]
    accept = base64.b64encode(hashlib.sha1(key + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest())
    conn.sendall(b"HTTP/1.1 101 Switching Protocols\\r\\nUpgrade: websocket\\r\\n"
                 b"Connection: Upgrade\\r\\nSec-WebSocket-Accept: " + accept + b"\\r\\n\\r\\n")

    def frame(payload):
        if len(payload) < 126:
            return struct.pack("!BB", 0x82, len(payload)) + payload
        return struct.pack("!BBH", 0x82, 126, len(payload)) + payload

    kind = wire.MSG_HAND_LANDMARKS
    values = lambda i: [start + i + k / 100 for k in range(wire.value_count(kind))]
    data = frame(wire.hello()) + b"".join(frame(wire.encode(kind, 1, values(i))) for i in range(count))
    cut = frame(wire.encode(kind, 1, values(count)))
    conn.sendall(data + cut[: len(cut) // 2])
    print("sent", flush=True)
    time.sleep(600)
""")


def free_port() -> int:
    """Returns a port on 127.0.0.1 that nothing listens on right now."""
    import socket

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class KilledServer:
    """A server process that stops in the middle of a frame until it is killed."""

    def __init__(self, port: int, count: int, start: float) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-c", SERVER, str(port), str(count), str(start)],
            stdout=subprocess.PIPE, text=True)
        assert self.readline() == "listening"

    def readline(self) -> str:
        """Returns the server's next line, failing the test when none comes in time."""
        lines: list[str] = []
        reader = threading.Thread(target=lambda: lines.append(self.process.stdout.readline()))
        reader.start()
        reader.join(scaled(30))
        assert lines, "the server process said nothing"
        return lines[0].strip()

    def kill(self) -> None:
        """Kills the process with SIGKILL and waits for it."""
        self.process.send_signal(signal.SIGKILL)
        self.process.wait(scaled(10))
        self.process.stdout.close()


def expected(count: int, start: float) -> list:
    """Returns the frames the server process sends whole, as the client yields them."""
    return [(MSG_HAND_LANDMARKS, 1, [start + i + k / 100 for k in range(84)])
            for i in range(count)]


def test_server_killed_mid_frame_ends_the_stream_after_the_whole_frames():
    """SIGKILL in the middle of a frame: every whole frame arrives, the cut one never, then the end."""
    port = free_port()
    server = KilledServer(port, 5, 0.5)
    try:
        client = connect_url_raw(f"ws://127.0.0.1:{port}")
        assert server.readline() == "sent"
        received = [next(client) for _ in range(5)]
        server.kill()
        assert received == expected(5, 0.5)
        with pytest.raises(StopIteration):
            next(client)
        with pytest.raises(StopIteration):
            next(client)
    finally:
        if server.process.poll() is None:
            server.kill()


def test_server_killed_mid_frame_and_restarted_resumes_cleanly():
    """With reconnection, the restarted server's frames follow; no byte of the cut frame survives."""
    port = free_port()
    first = KilledServer(port, 3, 10.0)
    second = None
    try:
        client = connect_url_raw(f"ws://127.0.0.1:{port}", reconnect=True, base_delay_ms=50,
                                 max_delay_ms=200, max_retries=50)
        assert first.readline() == "sent"
        received = [next(client) for _ in range(3)]
        first.kill()
        second = KilledServer(port, 4, 20.0)
        received += [next(client) for _ in range(4)]
        assert received == expected(3, 10.0) + expected(4, 20.0)
    finally:
        for server in (first, second):
            if server is not None and server.process.poll() is None:
                server.kill()


def test_a_frame_above_16_mib_ends_the_stream_from_its_header():
    """A frame header announcing 16 MiB + 1 bytes is a stream error at once; the stream then ends."""
    header = struct.pack("!BBQ", 0x82, 127, 16 * 1024 * 1024 + 1)
    with ScriptedServer([accept(with_binary=[hello()]), send_raw(header), pause(60)]) as server:
        with closing(connect_url_raw(server.url)) as client:
            with pytest.raises(ConnectionError) as raised:
                next(client)
            assert str(raised.value).startswith("stream connection error: ")
            with pytest.raises(StopIteration):
                next(client)


def descriptors() -> int:
    """Returns the number of open file descriptors of this process."""
    return len(os.listdir("/proc/self/fd"))


def native_threads() -> int:
    """Returns the number of threads of this process, native ones included."""
    return len(os.listdir("/proc/self/task"))


def settled(expected: tuple[int, int] | None = None) -> tuple[int, int]:
    """Returns descriptors and threads once the servers' connection threads have gone.

    Waits, up to five seconds, until the counts hold still, or with ``expected``
    until they reach it: a thread that Python has finished with takes a moment
    to leave the process.
    """

    def serving() -> bool:
        names = ("accept", "read-", "script-")
        return any(thread.name.startswith(names) for thread in threading.enumerate())

    gc.collect()  # what earlier tests left in reference cycles goes now, not during the count
    counts = (descriptors(), native_threads())
    for _ in range(int(scaled(500))):
        threading.Event().wait(0.01)
        latest = (descriptors(), native_threads())
        steady = latest == counts if expected is None else latest == expected
        counts = latest
        if steady and not serving():
            break
    return counts


def fail_to_connect(urls: list[str], attempts: int) -> None:
    """Makes ``attempts`` connection attempts that must fail, cycling through ``urls``."""
    for attempt in range(attempts):
        with pytest.raises((ConnectionError, ValueError)):
            connect_url_raw(urls[attempt % len(urls)])


@pytest.mark.timeout(300)
def test_a_thousand_failed_connections_leave_nothing_behind():
    """Refused connections, refused handshakes and bad URLs leave descriptors and threads as they were.

    The servers keep their ends of the connections until they stop, so the
    counts are taken with no server running.
    """
    invalid = ["ws://127.0.0.1", "http://127.0.0.1:1", f"ws://127.0.0.1:{free_port()}"]

    def servers():
        return (ScriptedServer([http_response(404)]), ScriptedServer([accept(accept_key="wrong")]))

    not_found, bad_accept = servers()
    with not_found, bad_accept:  # the first failure of each kind may set up lasting state
        fail_to_connect([not_found.url, bad_accept.url, *invalid], 5)
    before = settled()
    not_found, bad_accept = servers()
    with not_found, bad_accept:
        fail_to_connect([not_found.url, bad_accept.url, *invalid], 1000)
    assert settled(before) == before
