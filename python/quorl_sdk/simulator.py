"""A stand-in Quorl server that streams synthetic tracking frames.

It serves protocol version 4 over WebSocket on 127.0.0.1, on the first free
port of 5432-5435 unless told otherwise, so that a client without a port finds
it. Every connection receives the hello frame, then, at the chosen rate, one
frame of each of the six types per tick (hand frames for both sides): a figure
that sways, swings its arms and opens and closes its hands. Options rehearse
the faults a client must survive: periodic restarts, another protocol version,
malformed frames, and text, ping and pong messages between frames.

From a program, in a background thread::

    from quorl_sdk.simulator import Simulator

    with Simulator(port=0).running() as sim:
        print(sim.url)            # ws://127.0.0.1:<port>

or inside asyncio::

    async with Simulator(rate=120) as sim:
        ...

From the command line (see :mod:`quorl_sdk.cli.simulate`)::

    quorl-sdk simulate [--port N] [--rate HZ] [--version V] [--restart-after S]
                       [--restart-gap S] [--malformed SHARE] [--chatter]
                       [--duration S] [--seed N]

The synthetic values are laid out as :data:`quorl_sdk.skeleton.DEFAULT`
describes, which the protocol leaves open; ``skeleton`` (``--skeleton FILE``)
reorders names, components and sides, and picks units of lengths and angles.
"""

from __future__ import annotations

import asyncio
import json
import math
import random
from contextlib import suppress
from typing import TYPE_CHECKING

from quorl_sdk import wire
from quorl_sdk._motion import Motion
from quorl_sdk.frameserver import DEFAULT_PORTS, FrameServer, PortUnavailableError, check
from quorl_sdk.skeleton import DEFAULT, Skeleton

if TYPE_CHECKING:
    from websockets.asyncio.server import ServerConnection

__all__ = ["DEFAULT_PORTS", "FrameServer", "PortUnavailableError", "Simulator"]


class Simulator(FrameServer):
    """A WebSocket server streaming synthetic frames, run in asyncio or in a thread.

    Args:
        host: the address to listen on.
        port: the port; None takes the first free one of 5432-5435, 0 lets the
            system choose (for tests).
        rate: ticks per second; each tick sends nine frames (six types, hand
            frames for both sides).
        version: the protocol version announced in the hello frame.
        restart_after: when set, the server goes away after this many seconds
            of serving (closing every connection with code 1012), stays away
            for ``restart_gap`` seconds, comes back on the same port, and so on.
        restart_gap: seconds the server stays away at each restart.
        malformed: share (0 to 1) of data frames replaced by a malformed one:
            empty, unknown type, a byte short or long, a bad side byte, or a
            one-byte hello.
        chatter: send a text message, a ping and a pong after every tick.
        seed: seed of the choice of malformed frames, for repeatable runs.
        skeleton: the layout of the frames (default :data:`~quorl_sdk.skeleton.DEFAULT`).

    Raises:
        ValueError: an option is out of range; SkeletonError (a ValueError)
            when ``skeleton`` holds a name, side or unit the simulator does not know.
    """

    def __init__(
        self,
        *,
        host: str = "127.0.0.1",
        port: int | None = None,
        rate: float = 60.0,
        version: int = wire.PROTOCOL_VERSION,
        restart_after: float | None = None,
        restart_gap: float = 1.0,
        malformed: float = 0.0,
        chatter: bool = False,
        seed: int | None = None,
        skeleton: Skeleton = DEFAULT,
    ) -> None:
        check(math.isfinite(rate) and rate > 0, f"rate {rate} must be a positive number of Hz")
        super().__init__(
            host=host,
            port=port,
            version=version,
            restart_after=restart_after,
            restart_gap=restart_gap,
        )
        check(0 <= malformed <= 1, f"malformed share {malformed} must be between 0 and 1")
        self.rate = rate
        self.malformed = malformed
        self.chatter = chatter
        self._random = random.Random(seed)
        self._motion = Motion(skeleton)

    def describe(self) -> str:
        """Returns what is served, for the line a command prints once it serves."""
        return f"protocol v{self.version} at {self.rate:g} Hz"

    async def _send_frames(self, connection: ServerConnection, closing: asyncio.Event) -> None:
        """Sends ticks on a fixed schedule from the first; a tick missed altogether is skipped.

        Each tick is due at a whole number of periods from the first, so that
        lateness never adds up; after a stall the ticks it covered are dropped
        rather than sent in a burst.
        """
        loop = asyncio.get_running_loop()
        period = 1.0 / self.rate
        due = loop.time()
        tick = 0
        while not closing.is_set():
            elapsed = loop.time() - self._epoch
            for frame in self._motion.frames(elapsed):
                await connection.send(self._maybe_malformed(frame))
            if self.chatter:
                await self._chatter(connection, tick, elapsed)
            tick += 1
            due += period
            late = loop.time() - due
            if late > period:
                due += math.floor(late / period) * period
            with suppress(asyncio.TimeoutError):
                await asyncio.wait_for(closing.wait(), max(due - loop.time(), 0.0))

    async def _chatter(self, connection: ServerConnection, tick: int, elapsed: float) -> None:
        """Sends the messages a client must skip: a text status, a ping and a pong."""
        await connection.send(json.dumps({"tick": tick, "time": round(elapsed, 6)}))
        await connection.ping()
        await connection.pong(tick.to_bytes(4, "big"))

    def _maybe_malformed(self, frame: bytes) -> bytes:
        """Returns ``frame``, or with the configured probability a malformed variant of it."""
        if self.malformed == 0 or self._random.random() >= self.malformed:
            return frame
        damage = self._random.randrange(6)
        if damage == 0:
            return b""
        if damage == 1:
            return bytes([self._random.choice((0x00, 0x08, 0xFF))]) + frame[1:]
        if damage == 2:
            return frame[:-1]
        if damage == 3:
            return frame + b"\x00"
        if damage == 4 and frame[0] in wire.HAND_KINDS:
            return frame[:1] + bytes([self._random.randrange(2, 256)]) + frame[2:]
        return bytes([wire.MSG_HELLO])


