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

From the command line::

    quorl-sdk simulate [--port N] [--rate HZ] [--version V] [--restart-after S]
                       [--restart-gap S] [--malformed SHARE] [--chatter]
                       [--duration S] [--seed N]

The synthetic values follow these conventions, which the protocol leaves
open: quaternions are (w, x, y, z) of unit length; landmarks are (x, y, z,
visibility) in metres, y up; angles are in degrees; side 0 is the left hand.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import math
import random
import signal
import socket
import sys
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress
from types import TracebackType
from typing import Any, TypeVar

from websockets.asyncio.server import Server, ServerConnection, serve
from websockets.exceptions import ConnectionClosed

from quorl_sdk import cli, wire
from quorl_sdk._motion import Motion

__all__ = ["DEFAULT_PORTS", "FrameServer", "PortUnavailableError", "Simulator", "serve_command"]

#: The ports tried in order when no port is given; clients search the same range.
DEFAULT_PORTS = range(5432, 5436)

# How long a closing handshake may take before the connection is dropped, and
# how long handlers get to notice a close before they are cancelled.
_CLOSE_TIMEOUT = 2.0
_HANDLER_GRACE = 2.0
# How often a restart retries binding its port while something else holds it.
_REBIND_INTERVAL = 0.1


class PortUnavailableError(OSError):
    """The simulator cannot listen on the port it was given, or on any default port."""


def _listen(host: str, port: int) -> socket.socket:
    """Returns a listening socket on ``host:port``.

    Raises:
        PortUnavailableError: the port is taken or may not be used.
    """
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    try:
        return socket.create_server((host, port), family=family)
    except OSError as error:
        reason = error.strerror or str(error)
        raise PortUnavailableError(f"cannot serve on {host}:{port}: {reason}") from error


def _listen_on_default_port(host: str) -> socket.socket:
    """Returns a listening socket on the first free port of 5432-5435.

    Raises:
        PortUnavailableError: every one of them is taken.
    """
    for port in DEFAULT_PORTS:
        with suppress(PortUnavailableError):
            return _listen(host, port)
    first, last = DEFAULT_PORTS[0], DEFAULT_PORTS[-1]
    raise PortUnavailableError(f"cannot serve on {host}: ports {first}-{last} are all in use")


_Server = TypeVar("_Server", bound="FrameServer")


class FrameServer:
    """A WebSocket server sending each connection the hello, then frames; in asyncio or a thread.

    The frames come from :meth:`_send_frames`, which subclasses provide: the
    :class:`Simulator` computes them, :class:`quorl_sdk.replay.Replay` reads
    them from a recording. This class owns the port rules, the connections,
    restarts and stopping.

    Args:
        host: the address to listen on.
        port: the port; None takes the first free one of 5432-5435, 0 lets the
            system choose (for tests).
        version: the protocol version announced in the hello frame.
        restart_after: when set, the server goes away after this many seconds
            of serving (closing every connection with code 1012), stays away
            for ``restart_gap`` seconds, comes back on the same port, and so on.
        restart_gap: seconds the server stays away at each restart.

    Raises:
        ValueError: an option is out of range.
    """

    def __init__(
        self,
        *,
        host: str = "127.0.0.1",
        port: int | None = None,
        version: int = wire.PROTOCOL_VERSION,
        restart_after: float | None = None,
        restart_gap: float = 1.0,
    ) -> None:
        _check(port is None or 0 <= port <= 0xFFFF, f"port {port} is out of range (0 to 65535)")
        _check(0 <= version <= 0xFFFF, f"protocol version {version} is out of range (0 to 65535)")
        _check(
            restart_after is None or (math.isfinite(restart_after) and restart_after > 0),
            f"restart_after {restart_after} must be a positive number of seconds",
        )
        _check(
            math.isfinite(restart_gap) and restart_gap >= 0,
            f"restart_gap {restart_gap} must be zero or more seconds",
        )
        self.host = host
        self.version = version
        self.restart_after = restart_after
        self.restart_gap = restart_gap
        #: Connections accepted so far.
        self.connection_count = 0
        #: Times the server has come back after a restart.
        self.restarts = 0
        self._requested_port = port
        self._port: int | None = None
        self._server: Server | None = None
        self._cycle: asyncio.Task[None] | None = None
        self._handlers: set[asyncio.Task[Any]] = set()
        self._open: set[ServerConnection] = set()
        self._closing = asyncio.Event()
        self._stopping = asyncio.Event()
        self._epoch = 0.0

    def describe(self) -> str:
        """Returns what is served, for the line a command prints once it serves."""
        return f"protocol v{self.version}"

    @property
    def port(self) -> int:
        """The port being served.

        Raises:
            RuntimeError: the server has not been started.
        """
        if self._port is None:
            raise RuntimeError("the server has not been started")
        return self._port

    @property
    def url(self) -> str:
        """The ws:// URL being served.

        Raises:
            RuntimeError: the server has not been started.
        """
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"ws://{host}:{self.port}"

    # Running inside asyncio.

    async def start(self) -> None:
        """Binds the port and starts serving in the running event loop.

        Raises:
            PortUnavailableError: the port, or every default port, is taken.
            RuntimeError: the server is already running.
        """
        if self._server is not None or self._cycle is not None:
            raise RuntimeError("the server is already running")
        if self._requested_port is None:
            sock = _listen_on_default_port(self.host)
        else:
            sock = _listen(self.host, self._requested_port)
        self._port = sock.getsockname()[1]
        self._epoch = asyncio.get_running_loop().time()
        self._closing = asyncio.Event()
        self._stopping = asyncio.Event()
        await self._serve(sock)
        if self.restart_after is not None:
            self._cycle = asyncio.create_task(self._restart_cycle(self.restart_after))

    async def stop(self) -> None:
        """Closes every connection (code 1001) and stops serving; does nothing when stopped."""
        self._stopping.set()
        if self._cycle is not None:
            await self._cycle
            self._cycle = None
        await self._close(1001)

    async def __aenter__(self: _Server) -> _Server:
        await self.start()
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        await self.stop()

    # Running in a background thread.

    @contextmanager
    def running(self: _Server) -> Iterator[_Server]:
        """Serves from a background thread with its own event loop while the block runs.

        Raises:
            PortUnavailableError: the port, or every default port, is taken.
        """
        loop = asyncio.new_event_loop()
        thread = threading.Thread(target=loop.run_forever, name="quorl-simulator", daemon=True)
        thread.start()
        try:
            asyncio.run_coroutine_threadsafe(self.start(), loop).result()
            try:
                yield self
            finally:
                asyncio.run_coroutine_threadsafe(self.stop(), loop).result()
        finally:
            loop.call_soon_threadsafe(loop.stop)
            thread.join()
            loop.close()

    # Serving.

    async def _serve(self, sock: socket.socket) -> None:
        """Starts the WebSocket server on the listening ``sock``."""
        self._server = await serve(
            self._stream,
            sock=sock,
            compression=None,
            # Clients answer pings only while they read; a paused reader is no fault.
            ping_interval=None,
            close_timeout=_CLOSE_TIMEOUT,
        )

    async def _close(self, code: int) -> None:
        """Stops listening and closes every connection with ``code``."""
        server, self._server = self._server, None
        if server is None:
            return
        server.close(close_connections=False)
        await asyncio.gather(
            *(_close_connection(connection, code) for connection in list(self._open)),
            return_exceptions=True,
        )
        self._closing.set()
        try:
            await asyncio.wait_for(asyncio.shield(server.wait_closed()), _HANDLER_GRACE)
        except asyncio.TimeoutError:
            for task in list(self._handlers):
                task.cancel()
            await server.wait_closed()
        self._closing = asyncio.Event()

    async def _restart_cycle(self, serving: float) -> None:
        """Takes the server away every ``serving`` seconds and brings it back after the gap."""
        while not await self._stopped_within(serving):
            await self._close(1012)
            if await self._stopped_within(self.restart_gap):
                return
            sock = await self._rebind()
            if sock is None:
                return
            await self._serve(sock)
            self.restarts += 1

    async def _stopped_within(self, seconds: float) -> bool:
        """Waits ``seconds``; returns early, with True, when :meth:`stop` is called."""
        with suppress(asyncio.TimeoutError):
            await asyncio.wait_for(self._stopping.wait(), seconds)
        return self._stopping.is_set()

    async def _rebind(self) -> socket.socket | None:
        """Listens on the same port again, waiting while something else holds it.

        Returns None when :meth:`stop` is called meanwhile.
        """
        while True:
            try:
                return _listen(self.host, self.port)
            except PortUnavailableError:
                if await self._stopped_within(_REBIND_INTERVAL):
                    return None

    async def _stream(self, connection: ServerConnection) -> None:
        """Sends one connection the hello, then a tick of frames at the rate until it ends."""
        task = asyncio.current_task()
        assert task is not None
        self._handlers.add(task)
        self._open.add(connection)
        self.connection_count += 1
        closing = self._closing
        try:
            await connection.send(wire.hello(self.version))
            await self._send_frames(connection, closing)
        except ConnectionClosed:
            pass
        finally:
            self._handlers.discard(task)
            self._open.discard(connection)

    async def _send_frames(self, connection: ServerConnection, closing: asyncio.Event) -> None:
        """Sends one connection its frames until ``closing`` is set or they run out.

        Raises:
            ConnectionClosed: the connection ended.
        """
        raise NotImplementedError


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

    Raises:
        ValueError: an option is out of range.
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
    ) -> None:
        _check(math.isfinite(rate) and rate > 0, f"rate {rate} must be a positive number of Hz")
        super().__init__(
            host=host,
            port=port,
            version=version,
            restart_after=restart_after,
            restart_gap=restart_gap,
        )
        _check(0 <= malformed <= 1, f"malformed share {malformed} must be between 0 and 1")
        self.rate = rate
        self.malformed = malformed
        self.chatter = chatter
        self._random = random.Random(seed)
        self._motion = Motion()

    def describe(self) -> str:
        """Returns what is served, for the line a command prints once it serves."""
        return f"protocol v{self.version} at {self.rate:g} Hz"

    async def _send_frames(self, connection: ServerConnection, closing: asyncio.Event) -> None:
        """Sends ticks on schedule; a late tick resets the schedule instead of bursting."""
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
            delay = due - loop.time()
            if delay < -period:
                due = loop.time()
            with suppress(asyncio.TimeoutError):
                await asyncio.wait_for(closing.wait(), max(delay, 0.0))

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


async def _close_connection(connection: ServerConnection, code: int) -> None:
    """Closes ``connection`` with ``code``, dropping it when the client does not take the close.

    A client that stopped reading never drains the frames queued before the
    close frame, and the closing handshake would wait for it for ever.
    """
    try:
        await asyncio.wait_for(connection.close(code), _CLOSE_TIMEOUT)
    except asyncio.TimeoutError:
        connection.transport.abort()


def _check(condition: bool, message: str) -> None:
    """Raises ValueError with ``message`` unless ``condition`` holds."""
    if not condition:
        raise ValueError(message)


# The command line.


@cli.subcommand
def _add_simulate_command(
    subcommands: argparse._SubParsersAction[argparse.ArgumentParser],
) -> None:
    """Adds ``quorl-sdk simulate`` to the command line."""
    parser = subcommands.add_parser(
        "simulate",
        help="serve synthetic tracking frames, like a Quorl server",
        description="Serves synthetic tracking frames over WebSocket on 127.0.0.1 until "
        "Ctrl-C, like a Quorl server. Prints one line with the URL once it serves.",
    )
    parser.add_argument(
        "--port", type=int, help="port to serve on (default: first free of 5432-5435)"
    )
    parser.add_argument("--rate", type=float, default=60.0, help="ticks per second (default: 60)")
    parser.add_argument(
        "--version",
        type=int,
        default=wire.PROTOCOL_VERSION,
        help=f"protocol version in the hello frame (default: {wire.PROTOCOL_VERSION})",
    )
    parser.add_argument(
        "--restart-after",
        type=float,
        metavar="S",
        help="go away after S seconds of serving, then come back on the same port, repeatedly",
    )
    parser.add_argument(
        "--restart-gap",
        type=float,
        default=1.0,
        metavar="S",
        help="seconds away at each restart (default: 1)",
    )
    parser.add_argument(
        "--malformed",
        type=float,
        default=0.0,
        metavar="SHARE",
        help="share of malformed frames, 0 to 1",
    )
    parser.add_argument(
        "--chatter", action="store_true", help="send text, ping and pong messages between ticks"
    )
    parser.add_argument("--duration", type=float, metavar="S", help="stop after S seconds")
    parser.add_argument("--seed", type=int, help="seed for the choice of malformed frames")
    parser.set_defaults(handler=_simulate_command)


def _simulate_command(args: argparse.Namespace) -> int:
    """Serves until Ctrl-C, SIGTERM or the end of ``--duration``; returns the exit code."""

    def simulator() -> Simulator:
        return Simulator(
            port=args.port,
            rate=args.rate,
            version=args.version,
            restart_after=args.restart_after,
            restart_gap=args.restart_gap,
            malformed=args.malformed,
            chatter=args.chatter,
            seed=args.seed,
        )

    return serve_command("simulate", simulator, args.duration)


def serve_command(
    command: str, make_server: Callable[[], FrameServer], duration: float | None
) -> int:
    """Runs a server command: serves until Ctrl-C, SIGTERM or ``duration`` seconds.

    Prints one line with the URL once it serves. A bad option, an unusable
    port or input that ``make_server`` refuses (ValueError, OSError) is printed
    as ``quorl-sdk COMMAND: error: ...`` with exit code 2; otherwise the exit
    code is 0, also after Ctrl-C.
    """
    try:
        server = make_server()
        _check(duration is None or duration >= 0, "duration must be zero or more seconds")
        return asyncio.run(_serve_until_stopped(server, command, duration))
    except (ValueError, OSError) as error:
        print(f"quorl-sdk {command}: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 0


async def _serve_until_stopped(server: FrameServer, command: str, duration: float | None) -> int:
    """Serves until a stop signal or the duration ends."""
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, stop.set)
    async with server:
        print(f"quorl-sdk {command}: serving {server.describe()} on {server.url}", flush=True)
        with suppress(asyncio.TimeoutError):
            await asyncio.wait_for(stop.wait(), duration)
    return 0
