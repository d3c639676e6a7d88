"""The scripted test server (tests/python/support) with the routes of the load scripts and the
client benchmark, run as a process of its own.

    python bench/load_server.py

Listens on 127.0.0.1 on a free port, prints that port on one line, and serves
every connection by the path of its request:

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

import functools
import struct
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

from support.scripted import (  # noqa: E402
    OP_BINARY,
    ScriptedConnection,
    ScriptedServer,
    Step,
    accept,
    route,
    send_binary,
    send_close,
    ws_frame,
)

from quorl_sdk import wire  # noqa: E402

# Frames of /stream go out in batches of this many, one write each.
_BATCH = 256
# Distinct frames of /frames, sent as one block per write.
_SAMPLES = 1000
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


def _stream(client: str, count: str) -> list[Step]:
    """``count`` frames of ``client``, in batches."""
    number, total = int(client), int(count)
    kind = wire.MSG_HAND_ISB_ANGLES

    def run(conn: ScriptedConnection) -> None:
        for start in range(0, total, _BATCH):
            conn.send(b"".join(
                ws_frame(OP_BINARY, wire.encode(kind, index % 2, frame_values(number, index)))
                for index in range(start, min(start + _BATCH, total))))

    return [send_binary(wire.hello()), run, send_close()]


@functools.cache
def _sample_block() -> bytes:
    """Returns every sample frame as WebSocket frames, back to back."""
    return b"".join(ws_frame(OP_BINARY, frame) for frame in sample_frames())


def _frames(count: str) -> list[Step]:
    """``count`` sample frames, in blocks of every sample."""
    full_blocks, rest = divmod(int(count), _SAMPLES)

    def run(conn: ScriptedConnection) -> None:
        block = _sample_block()
        for _ in range(full_blocks):
            conn.send(block)
        conn.send(block[: rest * (len(block) // _SAMPLES)])

    return [send_binary(wire.hello()), run, send_close()]


def _paced(count: str, rate: str) -> list[Step]:
    """``count`` frames at ``rate`` per second, each stamped with the time it is sent."""
    total, per_second = int(count), float(rate)
    kind = wire.MSG_HAND_LANDMARKS

    def run(conn: ScriptedConnection) -> None:
        frame = bytearray(ws_frame(OP_BINARY, wire.encode(kind, 0, [float(k) for k in range(84)])))
        first_value = len(frame) - wire.frame_size(kind) + 2  # after the type and side bytes
        start = time.monotonic()
        for index in range(total):
            delay = start + index / per_second - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            _STAMP.pack_into(frame, first_value, time.monotonic())
            conn.send(bytes(frame))

    return [send_binary(wire.hello()), run, send_close()]


ROUTES = {"stream": _stream, "frames": _frames, "paced": _paced}


def main() -> None:
    with ScriptedServer([accept(), route(ROUTES)], keep_history=False) as server:
        print(server.port, flush=True)
        sys.stdin.read()


if __name__ == "__main__":
    main()
