"""Serving a recording again: :class:`Replay` and ``quorl-sdk replay FILE``.

The replay is a WebSocket server with the simulator's port rules (the first
free port of 5432-5435 unless told otherwise) and lifecycle. Every connection
receives the hello frame of protocol version 4, then the recorded frames byte
for byte, each at its recorded time after the first (divided by ``speed``),
and then a normal close (code 1000), or the recording again with ``loop``.
The file is read as every reader of recordings reads it: a file cut short
plays up to its last whole record, one with damage or a frame the decoder
refuses is not served at all. The marks of lost connections are not served,
their gaps are kept as time.

From the command line::

    quorl-sdk replay FILE [--port N] [--speed FACTOR] [--loop] [--duration S]

From a program::

    from quorl_sdk.replay import Replay

    with Replay("session.qrec", port=0, speed=4.0).running() as replay:
        ...  # replay.url
"""

from __future__ import annotations

import asyncio
import math
import os
from typing import TYPE_CHECKING

from quorl_sdk.recording import RecordingReader
from quorl_sdk.frameserver import FrameServer

if TYPE_CHECKING:
    from websockets.asyncio.server import ServerConnection

__all__ = ["Replay"]

# Frames sent back to back before the replay lets other connections run.
_BURST = 64


class Replay(FrameServer):
    """A WebSocket server that plays a recording to every connection from its start.

    The whole file is checked when the replay is made, so a damaged
    recording fails here rather than halfway through a connection.

    Args:
        path: the recording.
        host: the address to listen on.
        port: the port; None takes the first free one of 5432-5435, 0 lets the
            system choose.
        speed: how many times faster than recorded to play; ``math.inf``
            sends every frame without waiting.
        loop: start the recording again at its end instead of closing.

    Raises:
        OSError: the recording cannot be read.
        quorl_sdk.recording.RecordingError: the file is no recording, is
            damaged or holds a frame the decoder refuses.
        ValueError: ``speed`` is not a positive number, or ``port`` is out of range.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        *,
        host: str = "127.0.0.1",
        port: int | None = None,
        speed: float = 1.0,
        loop: bool = False,
    ) -> None:
        if not (speed > 0):  # also refuses NaN
            raise ValueError(f"speed {speed} must be a positive factor")
        super().__init__(host=host, port=port)
        self.path = os.fspath(path)
        self.speed = speed
        self.loop = loop
        with RecordingReader(path) as recording:
            times = [record.time_ns for record in recording.records() if not record.is_mark]
        #: Frames in the recording.
        self.frame_count = len(times)
        #: Seconds from the first to the last frame, as recorded.
        self.duration = (times[-1] - times[0]) / 1e9 if times else 0.0

    def describe(self) -> str:
        """Returns what is served, for the line the command prints once it serves."""
        pace = "as fast as possible" if math.isinf(self.speed) else f"at {self.speed:g}x speed"
        return f"{self.path} ({self.frame_count} frames, {self.duration:.1f} s) {pace}"

    async def _send_frames(self, connection: ServerConnection, closing: asyncio.Event) -> None:
        """Plays the recording on schedule, once or round and round, until ``closing`` is set.

        A recording without frames is played once: round and round, it would
        never wait and would hold the event loop for ever.
        """
        while await self._play_once(connection, closing) and self.loop and self.frame_count:
            pass

    async def _play_once(self, connection: ServerConnection, closing: asyncio.Event) -> bool:
        """Plays the recording once; returns False when ``closing`` cut it short."""
        loop = asyncio.get_running_loop()
        start = loop.time()
        first: int | None = None
        with RecordingReader(self.path) as recording:
            frames = (record for record in recording.records() if not record.is_mark)
            for number, record in enumerate(frames):
                if first is None:
                    first = record.time_ns
                delay = start + (record.time_ns - first) / 1e9 / self.speed - loop.time()
                if delay > 0 or number % _BURST == 0:
                    if await _closed_within(closing, max(delay, 0.0)):
                        return False
                await connection.send(record.data)
        return not closing.is_set()


async def _closed_within(closing: asyncio.Event, seconds: float) -> bool:
    """Waits ``seconds``; returns early, with True, when ``closing`` is set."""
    if seconds == 0:
        await asyncio.sleep(0)
        return closing.is_set()
    try:
        await asyncio.wait_for(closing.wait(), seconds)
    except asyncio.TimeoutError:
        return False
    return True
