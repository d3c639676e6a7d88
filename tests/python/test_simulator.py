"""The simulator serves the protocol, rehearses faults, and starts and stops cleanly."""

from __future__ import annotations

import asyncio
import base64
import itertools
import json
import math
import os
import selectors
import signal
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path

import pytest
from websockets.asyncio.client import connect as async_connect
from websockets.exceptions import ConnectionClosed
from websockets.sync.client import ClientConnection
from websockets.sync.client import connect as ws_connect

from quorl_sdk.simulator import PortUnavailableError, Simulator
from support import (
    DATA_KINDS,
    HAND_KINDS,
    MSG_BODY_LANDMARKS,
    MSG_BODY_QUATERNIONS,
    MSG_HAND_LANDMARKS,
    MSG_HAND_QUATERNIONS,
    OP_BINARY,
    OP_PING,
    OP_PONG,
    OP_TEXT,
    ClientFrame,
    frame_size,
    hello,
    parse_frame,
    parse_frames,
    port_is_free,
    scaled,
)

CLI_PREFIXES = {
    "console-script": [str(Path(sys.executable).with_name("quorl-sdk"))],
    "python-m": [sys.executable, "-m", "quorl_sdk"],
}
ALL_STREAMS = {
    (kind, side) for kind in DATA_KINDS for side in ((0, 1) if kind in HAND_KINDS else (None,))
}


@contextmanager
def simulate(
    *args: str, prefix: str = "console-script"
) -> Iterator[tuple[subprocess.Popen[str], str]]:
    """Runs ``quorl-sdk simulate ARGS`` and yields the process and the URL from its first line."""
    process = subprocess.Popen(
        [*CLI_PREFIXES[prefix], "simulate", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        line = read_line(process, scaled(20))
        assert "ws://" in line, (
            f"no URL in {line!r}; stderr: {process.stderr.read() if process.stderr else ''}"
        )
        yield process, line.split()[-1]
    finally:
        if process.poll() is None:
            process.kill()
        process.communicate(timeout=scaled(10))


def read_line(process: subprocess.Popen[str], timeout: float) -> str:
    """Returns the next line of the process's output, or "" when none comes in time."""
    assert process.stdout is not None
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        if not selector.select(timeout):
            return ""
    return process.stdout.readline()


def run_to_end(*args: str) -> subprocess.CompletedProcess[str]:
    """Runs ``quorl-sdk simulate ARGS`` to its end."""
    return subprocess.run(
        [*CLI_PREFIXES["console-script"], "simulate", *args],
        capture_output=True,
        text=True,
        timeout=scaled(30),
    )


def connect(url: str) -> ClientConnection:
    """Opens a client that reads on while the test looks elsewhere, so that it closes at once."""
    return ws_connect(url, open_timeout=scaled(10), max_queue=None)


def collect(ws: ClientConnection, until: Callable[[list[bytes | str]], bool]) -> list[bytes | str]:
    """Receives messages until ``until`` holds for them (bounded by a generous time limit)."""
    messages: list[bytes | str] = []
    deadline = time.monotonic() + scaled(15)
    while not until(messages):
        assert time.monotonic() < deadline, f"gave up after {len(messages)} messages"
        messages.append(ws.recv(timeout=scaled(5)))
    return messages


def streams_seen(messages: list[bytes | str]) -> set[tuple[int, int | None]]:
    """Returns the (kind, side) of every valid data frame among ``messages``."""
    seen = set()
    for message in messages:
        if isinstance(message, bytes) and message[:1] != b"\x01":
            kind, side, _ = parse_frame(message)
            seen.add((kind, side))
    return seen


def check_plausible(frame: bytes) -> None:
    """Checks the exact size, unit quaternions and visibilities between 0 and 1."""
    kind, _, values = parse_frame(frame)
    assert len(frame) == frame_size(kind)
    assert all(math.isfinite(value) for value in values)
    groups = [values[i : i + 4] for i in range(0, len(values), 4)]
    if kind in (MSG_BODY_QUATERNIONS, MSG_HAND_QUATERNIONS):
        assert all(math.isclose(math.hypot(*q), 1.0, abs_tol=1e-9) for q in groups)
    if kind in (MSG_BODY_LANDMARKS, MSG_HAND_LANDMARKS):
        assert all(0.0 <= landmark[3] <= 1.0 for landmark in groups)


@pytest.mark.parametrize("prefix", CLI_PREFIXES)
def test_command_streams_all_six_types_and_ends_cleanly_on_ctrl_c(prefix: str) -> None:
    """The command prints its URL, sends hello then every type and side, and exits 0 on SIGINT."""
    with simulate("--port", "0", "--rate", "120", prefix=prefix) as (process, url):
        with connect(url) as ws:
            messages = collect(
                ws, lambda got: len(got) > 9 * 4 and streams_seen(got) == ALL_STREAMS
            )
        assert messages[0] == hello()
        for message in messages[1:]:
            assert isinstance(message, bytes)
            check_plausible(message)
        body = [
            parse_frame(m)[2]
            for m in messages
            if isinstance(m, bytes) and m[0] == MSG_BODY_LANDMARKS
        ]
        assert body[0] != body[-1], "the figure does not move"
        process.send_signal(signal.SIGINT)
        assert process.wait(scaled(10)) == 0
        assert process.stderr is not None and process.stderr.read() == ""
        assert port_is_free(int(url.rsplit(":", 1)[1]))


def test_command_applies_its_options_and_stops_after_the_duration() -> None:
    """--version, --chatter, --malformed and --rate take effect; --duration ends it with 0."""
    with simulate(
        "--port",
        "0",
        "--rate",
        "200",
        "--version",
        "7",
        "--chatter",
        "--malformed",
        "0.5",
        "--seed",
        "3",
        "--duration",
        "3",
    ) as (process, url):
        with connect(url) as ws:
            messages = collect(ws, lambda got: len(got) > 200)
        assert messages[0] == b"\x01\x07\x00"
        assert any(isinstance(m, str) for m in messages)
        frames = [m for m in messages[1:] if isinstance(m, bytes)]
        broken = sum(1 for m in frames if not is_valid(m))
        assert 0.25 < broken / len(frames) < 0.75
        assert process.wait(scaled(15)) == 0


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--rate", "0"], "rate 0.0 must be a positive number of Hz"),
        (["--malformed", "1.5"], "malformed share 1.5 must be between 0 and 1"),
        (["--version", "70000"], "protocol version 70000 is out of range (0 to 65535)"),
    ],
)
def test_command_refuses_bad_options_with_exit_code_2(args: list[str], message: str) -> None:
    """An option out of range is named on stderr, with exit code 2 and nothing served."""
    result = run_to_end("--port", "0", *args)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr == f"quorl-sdk simulate: error: {message}\n"


@pytest.mark.fixed_ports
def test_command_takes_the_first_free_default_port() -> None:
    """Without --port it skips a taken 5432 and serves on 5433; with all four taken it fails."""
    with socket.create_server(("127.0.0.1", 5432)):
        with simulate() as (process, url):
            assert url == "ws://127.0.0.1:5433"
            process.send_signal(signal.SIGINT)
            assert process.wait(scaled(10)) == 0
    listeners = [socket.create_server(("127.0.0.1", port)) for port in range(5432, 5436)]
    try:
        result = run_to_end()
    finally:
        for listener in listeners:
            listener.close()
    assert result.returncode == 1
    assert "ports 5432-5435 are all in use" in result.stderr


def test_fixtures_serve_the_simulator(
    quorl_server: str, quorl_server_factory: Callable[..., Simulator]
) -> None:
    """quorl_server yields a working URL; the factory passes options through."""
    custom = quorl_server_factory(version=9, rate=30)
    with connect(quorl_server) as ws, connect(custom.url) as custom_ws:
        assert ws.recv(timeout=scaled(5)) == hello()
        assert custom_ws.recv(timeout=scaled(5)) == b"\x01\x09\x00"
        assert isinstance(custom_ws.recv(timeout=scaled(5)), bytes)
    assert quorl_server.startswith("ws://127.0.0.1:") and custom.connection_count == 1


def test_restart_after_goes_away_for_the_gap_and_comes_back_on_the_same_port() -> None:
    """The server closes with 1012, refuses connections during the gap, then serves again."""
    with Simulator(port=0, rate=50, restart_after=0.5, restart_gap=scaled(1.5)).running() as sim:
        with connect(sim.url) as ws, pytest.raises(ConnectionClosed) as closed:
            collect(ws, lambda got: False)
        assert closed.value.rcvd is not None and closed.value.rcvd.code == 1012
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", sim.port), timeout=scaled(5)).close()
        deadline = time.monotonic() + scaled(10)
        while sim.restarts == 0:
            assert time.monotonic() < deadline, "the server did not come back"
            time.sleep(0.05)
        with connect(sim.url) as ws:
            assert ws.recv(timeout=scaled(5)) == hello()


def is_valid(frame: bytes) -> bool:
    """Tells whether ``frame`` is a well-formed data frame or a hello of version 4."""
    if frame == hello() or frame == b"\x01\x07\x00":
        return True
    try:
        parse_frame(frame)
    except ValueError:
        return False
    return True


@pytest.mark.parametrize("share", [0.0, 0.3, 1.0])
def test_malformed_share_breaks_about_that_share_of_frames(share: float) -> None:
    """About the given share of data frames is malformed, and only those."""
    with Simulator(port=0, rate=300, malformed=share, seed=7).running() as sim:
        with connect(sim.url) as ws:
            frames = collect(ws, lambda got: len(got) > 900)[1:]
    broken = sum(1 for frame in frames if not is_valid(frame))  # type: ignore[arg-type]
    assert abs(broken / len(frames) - share) < 0.08


def test_native_decoder_accepts_valid_frames_and_refuses_malformed_ones() -> None:
    """Every frame the simulator means as valid decodes natively; every malformed one is refused."""
    decode_frame = pytest.importorskip("_quorl_sdk").decode_frame
    with Simulator(port=0, rate=300, malformed=0.5, seed=11).running() as sim:
        with connect(sim.url) as ws:
            frames = collect(ws, lambda got: len(got) > 300)[1:]
    for frame in frames:
        assert isinstance(frame, bytes)
        if is_valid(frame):
            assert decode_frame(frame) == parse_frame(frame)
        else:
            with pytest.raises(ValueError):
                decode_frame(frame)


def raw_messages(url: str, count: int) -> list[ClientFrame]:
    """Reads ``count`` frames with a raw socket, so that pings and pongs are seen too."""
    host, port = url.removeprefix("ws://").rsplit(":", 1)
    key = base64.b64encode(os.urandom(16)).decode()
    with socket.create_connection((host, int(port)), timeout=scaled(5)) as sock:
        sock.sendall(
            f"GET / HTTP/1.1\r\nHost: {host}:{port}\r\nUpgrade: websocket\r\n"
            "Connection: Upgrade\r\n"
            f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n".encode()
        )
        buffer = bytearray()
        while b"\r\n\r\n" not in buffer:
            buffer += sock.recv(65536)
        assert buffer.startswith(b"HTTP/1.1 101 ")
        del buffer[: buffer.index(b"\r\n\r\n") + 4]
        frames: list[ClientFrame] = []
        while len(frames) < count:
            frames.extend(parse_frames(buffer))
            buffer += sock.recv(65536)
    return frames


def test_chatter_sends_text_ping_and_pong_between_ticks() -> None:
    """Each tick of nine unmasked binary frames is followed by a JSON text, a ping and a pong."""
    with Simulator(port=0, chatter=True).running() as sim:
        frames = raw_messages(sim.url, 1 + 12 * 3)
    assert frames[0].payload == hello()
    for start in (1, 13, 25):
        tick = frames[start : start + 12]
        assert [f.opcode for f in tick] == [OP_BINARY] * 9 + [OP_TEXT, OP_PING, OP_PONG]
        assert not any(f.masked for f in tick)
        assert set(json.loads(tick[9].payload)) == {"tick", "time"}


def test_runs_inside_asyncio_and_leaves_nothing_behind() -> None:
    """``async with Simulator()`` serves in the running loop; afterwards the port is free."""

    async def scenario() -> tuple[int, bytes, bytes]:
        async with Simulator(port=0) as sim:
            async with async_connect(sim.url) as ws:
                first, second = await ws.recv(), await ws.recv()
        assert isinstance(first, bytes) and isinstance(second, bytes)
        return sim.port, first, second

    port, first, second = asyncio.run(scenario())
    assert first == hello() and second[0] == MSG_BODY_QUATERNIONS
    assert port_is_free(port)
    assert not [t for t in threading.enumerate() if t.name == "quorl-simulator"]


@pytest.mark.parametrize(
    "options",
    [
        {"rate": 0.0},
        {"rate": math.inf},
        {"version": -1},
        {"malformed": -0.1},
        {"restart_after": 0.0},
        {"restart_gap": -1.0},
        {"port": 65536},
    ],
)
def test_options_out_of_range_raise_value_error(options: dict[str, float]) -> None:
    """Every option is checked before anything is bound."""
    with pytest.raises(ValueError):
        Simulator(**options)  # type: ignore[arg-type]


def test_taken_port_raises_port_unavailable_error() -> None:
    """From Python a taken port is a PortUnavailableError, an OSError, naming the port."""
    with socket.create_server(("127.0.0.1", 0)) as taken:
        port = taken.getsockname()[1]
        with pytest.raises(PortUnavailableError, match=f"127.0.0.1:{port}"):
            with Simulator(port=port).running():
                pass


@pytest.mark.parametrize("server", ["simulator", "replay"])
def test_frames_arrive_on_their_ticks(server: str, tmp_path: Path) -> None:
    """At 60 Hz hardly a frame (a busy machine's two at most) comes more than a generous
    30 ms after the one before, and the schedule does not drift: the last one arrives
    within 50 ms of its tick."""
    from quorl_sdk import connect
    from quorl_sdk.recording import RecordingWriter
    from quorl_sdk.replay import Replay
    from support import all_sample_frames

    count, period, path = 120, 1 / 60, tmp_path / "ticks.qrec"
    with RecordingWriter(path) as writer:
        for tick, data in itertools.product(range(count), all_sample_frames()):
            writer.write(data, round(tick * period * 1e9))
    source = Simulator(port=0, rate=60) if server == "simulator" else Replay(path, port=0)
    arrivals: list[float] = []
    with source.running(), connect(source.port) as client:
        while len(arrivals) < count:
            frame = client.recv(timeout=scaled(2))
            arrivals += [frame.time] if frame.kind == MSG_BODY_LANDMARKS else []
    gaps = [later - earlier for earlier, later in zip(arrivals, arrivals[1:])]
    assert sum(gap > scaled(0.030) for gap in gaps) <= 2, sorted(gaps)[-5:]
    assert abs(arrivals[-1] - arrivals[0] - (count - 1) * period) < scaled(0.050)
