"""The live commands run as a user runs them: stream, record then replay, snapshot, view."""

from __future__ import annotations

import asyncio
import itertools
import json
import math
import os
import re
import selectors
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import pytest
from sdk_util import wait_until
from websockets.asyncio.server import ServerConnection
from websockets.exceptions import ConnectionClosed

from quorl_sdk.cli import _live
from quorl_sdk.recording import RecordingReader, RecordingWriter
from quorl_sdk.simulator import Simulator
from support import (
    MSG_BODY_ISB_ANGLES,
    MSG_HAND_ISB_ANGLES,
    all_sample_frames,
    hello,
    sample_frame,
    scaled,
    sending,
    websockets_server,
)


ROOT = Path(__file__).resolve().parents[2]
QUORL_SDK = [sys.executable, "-m", "quorl_sdk"]
ALL_STREAMS = {
    ("BODY_QUATERNIONS", None), ("BODY_LANDMARKS", None), ("BODY_ISB_ANGLES", None),
    *((kind, side) for kind in ("HAND_QUATERNIONS", "HAND_LANDMARKS", "HAND_ISB_ANGLES")
      for side in (0, 1)),
}  # fmt: skip
VALUE_COUNTS = {
    "BODY_QUATERNIONS": 52, "BODY_LANDMARKS": 76, "HAND_QUATERNIONS": 64,
    "HAND_LANDMARKS": 84, "BODY_ISB_ANGLES": 21, "HAND_ISB_ANGLES": 21,
}  # fmt: skip


def run(*args: str, timeout: float = 60) -> subprocess.CompletedProcess[str]:
    """Runs ``quorl-sdk ARGS`` to its end."""
    return subprocess.run(
        [*QUORL_SDK, *args], capture_output=True, text=True, timeout=scaled(timeout)
    )


@contextmanager
def started(*args: str) -> Iterator[subprocess.Popen[str]]:
    """Starts ``quorl-sdk ARGS`` in the background; kills it if the test leaves it running."""
    process = subprocess.Popen(
        [*QUORL_SDK, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        yield process
    finally:
        if process.poll() is None:
            process.kill()
        process.communicate(timeout=scaled(10))


def first_line(stream: object, timeout: float) -> str:
    """Returns the next line of a child's pipe, or "" when none comes in time."""
    with selectors.DefaultSelector() as selector:
        selector.register(stream, selectors.EVENT_READ)  # type: ignore[arg-type]
        if not selector.select(scaled(timeout)):
            return ""
    return stream.readline()  # type: ignore[attr-defined,no-any-return]


def last_status(output: str) -> list[str]:
    """Returns the lines of the last status block that ``stream`` printed."""
    blocks = [block for block in output.split("\n\n") if block.startswith("quorl-sdk stream:")]
    assert blocks, output
    return blocks[-1].splitlines()


def status_rows(block: list[str]) -> dict[tuple[str, str], tuple[float, int]]:
    """Returns (rate, frames) per (kind, side) of a status block."""
    rows = {}
    for line in block:
        match = re.match(r"\s+([A-Z_]+)\s+(\S)\s+([\d.]+) Hz\s+(\d+)\s+\d", line)
        if match:
            rows[(match[1], match[2])] = (float(match[3]), int(match[4]))
    return rows


def counter(block: list[str], name: str) -> int:
    """Returns the count called ``name`` in the summary line of a status block."""
    match = re.search(rf"{name} (\d+)", "\n".join(block))
    assert match, block
    return int(match[1])


def exotic_frame() -> bytes:
    """A body ISB-angle frame holding NaN, both infinities and negative zero."""
    values = [math.nan, math.inf, -math.inf, -0.0, 1.5] * 4 + [0.25]
    return bytes([MSG_BODY_ISB_ANGLES]) + struct.pack("<21d", *values)


class Tracking:
    """A handler that streams sample frames every 5 ms and counts its open connections."""

    def __init__(self) -> None:
        self.open = 0
        self.accepted = 0

    async def __call__(self, connection: ServerConnection) -> None:
        self.open += 1
        self.accepted += 1
        frames = all_sample_frames()
        try:
            await connection.send(hello())
            for number in range(100_000):
                await connection.send(frames[number % len(frames)])
                await asyncio.sleep(0.005)
        except ConnectionClosed:
            pass
        finally:
            self.open -= 1


# layout


def test_commands_load_no_optional_library_and_the_package_no_command() -> None:
    """Every command's --help works without its extras; import quorl_sdk loads no CLI."""
    script = (
        "import contextlib, io, sys\n"
        "import quorl_sdk\n"
        "assert not [m for m in sys.modules if m.split('.')[:2] == ['quorl_sdk', 'cli']]\n"
        "from quorl_sdk import cli\n"
        "for name in cli.COMMANDS:\n"
        "    with contextlib.redirect_stdout(io.StringIO()), contextlib.suppress(SystemExit):\n"
        "        cli.main([name, '--help'])\n"
        "heavy = {'pandas', 'pyarrow', 'h5py', 'pylsl', 'matplotlib', 'numpy', 'scipy', 'ezc3d'}"
        " & set(sys.modules)\n"
        "print(','.join(cli.COMMANDS), sorted(heavy))\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=scaled(60)
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [
        "simulate,stream,record,replay,export,lsl,snapshot,view", "[]"
    ]


# stream


def test_stream_json_prints_one_object_per_frame() -> None:
    """--json gives one JSON object per line for every kind and side, with exact lengths."""
    with Simulator(port=0, rate=60).running() as sim:
        result = run("stream", "--url", sim.url, "--json", "--duration", "1.5")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    objects = [json.loads(line) for line in result.stdout.splitlines()]
    assert len(objects) > 9 * 30
    assert {(o["kind"], o["side"]) for o in objects} == ALL_STREAMS
    for document in objects:
        assert set(document) == {"time", "type", "kind", "side", "values"}
        assert len(document["values"]) == VALUE_COUNTS[document["kind"]]
    assert abs(objects[-1]["time"] - time.time()) < scaled(10)


def test_stream_json_values_read_back_exactly() -> None:
    """Values read back as the same binary64; NaN and infinities become strings."""
    frames = [exotic_frame(), sample_frame(MSG_HAND_ISB_ANGLES, 1, start=0.1)]
    with websockets_server(sending(hello(), *frames)) as server:
        result = run("stream", "--url", server.url, "--json")
    assert result.returncode == 0, result.stderr
    first, second = (json.loads(line) for line in result.stdout.splitlines())
    assert first["values"][:5] == ["NaN", "Infinity", "-Infinity", -0.0, 1.5]
    assert math.copysign(1.0, first["values"][3]) == -1.0
    assert (second["type"], second["side"]) == (7, 1)
    assert second["values"] == [0.1 + n for n in range(21)]


def test_stream_status_shows_rate_age_and_decode_errors() -> None:
    """The status lists every stream near its rate, with the age and the refused frames."""
    with Simulator(port=0, rate=50, malformed=0.2, seed=5).running() as sim:
        result = run("stream", "--url", sim.url, "--duration", "2.5", "--interval", "0.5")
    assert result.returncode == 0, result.stderr
    block = last_status(result.stdout)
    assert block[0].startswith(f"quorl-sdk stream: {sim.url}, duration over, ")
    rows = status_rows(block)
    assert set(rows) == {(kind, "-" if side is None else str(side)) for kind, side in ALL_STREAMS}
    for rate, frames in rows.values():
        assert 20 < rate < 70 and frames > 40  # 50 Hz less about a fifth refused
    assert all(re.search(r"\d+ ms ago$", line) for line in block[2:11])
    assert counter(block, "decode errors") > 10
    assert counter(block, "reconnections") == 0
    assert "last event: failed to decode a stream frame: " in "\n".join(block)


def test_stream_ends_with_the_stream_when_not_reconnecting() -> None:
    """A server that closes ends the command with exit code 0 and says so."""
    with websockets_server(sending(hello(), *all_sample_frames())) as server:
        result = run("stream", "--url", server.url)
    assert result.returncode == 0, result.stderr
    block = last_status(result.stdout)
    assert "the server ended the stream" in block[0]
    assert len(status_rows(block)) == 9 and counter(block, "frames") == 9


def test_stream_reconnect_counts_the_reconnections() -> None:
    """With --reconnect a restarting server is followed, and each comeback is counted."""
    with Simulator(port=0, rate=60, restart_after=1.0, restart_gap=0.3).running() as sim:
        result = run(
            "stream", "--url", sim.url, "--reconnect", "--duration", "3.6", "--interval", "0.3"
        )
    assert result.returncode == 0, result.stderr
    block = last_status(result.stdout)
    assert 1 <= counter(block, "reconnections") <= sim.restarts
    assert f"last event: reconnected to {sim.url}" in result.stdout


def test_stream_json_reports_reconnections_on_stderr() -> None:
    """In --json mode losses and reconnections go to stderr; stdout stays pure JSON."""
    with Simulator(port=0, restart_after=0.8, restart_gap=0.2).running() as sim:
        result = run("stream", "--url", sim.url, "--reconnect", "--json", "--duration", "2.5")
    assert result.returncode == 0, result.stderr
    assert f"quorl-sdk stream: connection to {sim.url} lost; reconnecting\n" in result.stderr
    assert f"quorl-sdk stream: reconnected to {sim.url}\n" in result.stderr
    assert all(json.loads(line)["kind"] for line in result.stdout.splitlines())


@pytest.mark.parametrize(
    "command",
    [["stream", "--json"], ["stream", "--json", "--reconnect"], ["snapshot", "{tmp}/v.png"]],
)
def test_another_protocol_version_is_exit_code_1(command: list[str], tmp_path: Path) -> None:
    """Another version ends the command with the client's message, reconnecting or not."""
    with Simulator(port=0, version=5).running() as sim:
        result = run(*(arg.format(tmp=tmp_path) for arg in command), "--url", sim.url)
    assert result.returncode == 1
    assert result.stderr == (
        f"quorl-sdk {command[0]}: error: incompatible Quorl protocol: server speaks v5, "
        "this SDK speaks v4\n"
    )
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("command", [["stream"], ["record", "never.qrec"], ["snapshot", "x.png"]])
def test_no_server_is_exit_code_1_with_the_clients_message(
    command: list[str], tmp_path: Path
) -> None:
    """Nothing listening on --port gives the connect error and leaves no file behind."""
    with socket.create_server(("127.0.0.1", 0)) as probe:
        port = probe.getsockname()[1]
    result = subprocess.run(
        [*QUORL_SDK, *command, "--port", str(port)],
        capture_output=True, text=True, timeout=scaled(30), cwd=tmp_path,
    )
    assert result.returncode == 1
    assert result.stderr.startswith(
        f"quorl-sdk {command[0]}: error: failed to connect to Quorl at ws://127.0.0.1:{port}: "
    )
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--duration", "-1"], "argument --duration: must be zero or more seconds, got '-1'"),
        (["--interval", "0"], "argument --interval: must be more than zero seconds, got '0'"),
        (["--interval", "nan"], "argument --interval: must be more than zero seconds, got 'nan'"),
        (["--port", "70000"], "argument --port: must be a port number from 0 to 65535, got '70000'"),
        (
            ["--url", "http://127.0.0.1:1"],
            "invalid Quorl URL `http://127.0.0.1:1`: unsupported scheme `http` (expected `ws`)",
        ),
    ],
)
def test_stream_refuses_bad_options_with_exit_code_2(args: list[str], message: str) -> None:
    """Options out of range and unusable URLs are refused with exit code 2, before connecting."""
    result = run("stream", *args)
    assert result.returncode == 2
    assert result.stderr.endswith(f"quorl-sdk stream: error: {message}\n")


# Ctrl-C


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
@pytest.mark.parametrize(
    "command", [["stream", "--interval", "0.2"], ["stream", "--json"], ["record", "{file}"]]
)
def test_ctrl_c_ends_cleanly_and_leaves_nothing_running(
    command: list[str], signum: int, tmp_path: Path
) -> None:
    """A stop signal, even repeated while the command closes, ends it with exit status 0,
    closes its connection and keeps the file."""
    tracking = Tracking()
    recording = tmp_path / "stopped.qrec"
    args = [arg.format(file=recording) for arg in command]
    with websockets_server(tracking) as server, started(*args, "--url", server.url) as process:
        pipe = process.stderr if command[0] == "record" else process.stdout
        assert first_line(pipe, 20), process.stderr.read() if process.stderr else ""
        assert wait_until(lambda: tracking.open == 1)
        time.sleep(0.3)
        process.send_signal(signum)
        time.sleep(0.01)
        process.send_signal(signum)  # an impatient second Ctrl-C, while closing
        assert process.wait(scaled(10)) == 0
        assert wait_until(lambda: tracking.open == 0), "the connection stayed open"
        assert tracking.accepted == 1
    output, errors = process.communicate()
    assert "Traceback" not in errors
    if command[0] == "record":
        frames = list(RecordingReader(recording))
        assert len(frames) > 10
        assert "frames in" in errors and "(stopped)" in errors
    elif "--json" in command:
        assert all(json.loads(line) for line in output.splitlines())
    else:
        assert "stopped" in last_status(output)[0]


INTERRUPTED_IMPORT = """
import os, signal, sys

class Interrupt:
    def find_spec(self, name, path=None, target=None):
        if name == module:
            os.kill(os.getpid(), signal.SIGINT)

module = sys.argv.pop(1)
sys.meta_path.insert(0, Interrupt())
from quorl_sdk.cli import program
program()
"""


@pytest.mark.parametrize(
    "module", ["_quorl_sdk", "quorl_sdk.client", "argparse", "quorl_sdk.cli.snapshot"]
)
def test_ctrl_c_while_the_command_loads_is_a_quiet_stop(module: str) -> None:
    """A Ctrl-C that comes while the package, the parser or a command is imported is exit 0."""
    result = subprocess.run(
        [sys.executable, "-c", INTERRUPTED_IMPORT, module, "stream", "--port", "1"],
        capture_output=True, text=True, timeout=scaled(30),
    )  # fmt: skip
    assert (result.returncode, result.stderr) == (0, "")


# record and replay


def test_record_replay_record_gives_identical_frames(tmp_path: Path) -> None:
    """Recording the simulator, replaying it and recording the replay keeps every frame."""
    first, second = tmp_path / "first.qrec", tmp_path / "second.qrec"
    with Simulator(port=0, rate=60).running() as sim:
        recorded = run("record", str(first), "--url", sim.url, "--duration", "1.5")
    assert recorded.returncode == 0, recorded.stderr
    assert recorded.stderr.startswith(f"quorl-sdk record: recording {sim.url} to {first}")
    with started("replay", str(first), "--port", "0") as replay:
        line = first_line(replay.stdout, 20)
        assert line.startswith(f"quorl-sdk replay: serving {first} ("), line
        url = line.split()[-1]
        again = run("record", str(second), "--url", url)
        replay.send_signal(signal.SIGINT)
        assert replay.wait(scaled(10)) == 0
    assert again.returncode == 0, again.stderr
    assert "(the server ended the stream)" in again.stderr
    with RecordingReader(first) as a, RecordingReader(second) as b:
        records_a, records_b = list(a.records()), list(b.records())
        assert list(a) == list(b)
    assert len(records_a) > 9 * 60
    assert [r.data for r in records_a] == [r.data for r in records_b]
    span_a = records_a[-1].time - records_a[0].time
    span_b = records_b[-1].time - records_b[0].time
    assert abs(span_a - span_b) < scaled(0.5)


def test_record_without_reconnect_says_a_lost_connection_and_exits_1(tmp_path: Path) -> None:
    """A server that goes away ends the recording with the reason, its length and status 1."""
    path = tmp_path / "lost.qrec"
    with Simulator(port=0, restart_after=1.0, restart_gap=2.0).running() as sim:
        result = run("record", str(path), "--url", sim.url)
    assert result.returncode == 1
    # A status line a second may come between them.
    lines = [line for line in result.stderr.splitlines() if " frames (" not in line]
    assert re.fullmatch(
        rf"quorl-sdk record: error: the connection to {sim.url} was lost after [\d.]+ s", lines[1]
    ), lines
    assert re.fullmatch(
        rf"quorl-sdk record: \d+ frames in [\d.]+ s to {path} \(the connection to "
        rf"{re.escape(sim.url)} was lost\)",
        lines[2],
    ), lines
    assert len(lines) == 3 and len(list(RecordingReader(path))) > 9 * 30


def test_record_with_reconnect_marks_the_gap(tmp_path: Path) -> None:
    """Across a restart the recording marks the loss and the reconnection around a gap of frames."""
    from quorl_sdk.recording import MarkKind

    path = tmp_path / "gap.qrec"
    with Simulator(port=0, restart_after=0.8, restart_gap=0.5).running() as sim:
        result = run("record", str(path), "--url", sim.url, "--reconnect", "--duration", "2.2")
    assert result.returncode == 0, result.stderr
    with RecordingReader(path) as recording:
        records = list(recording.records())
        marks = list(recording.marks())
    assert [mark.kind for mark in marks[:2]] == [MarkKind.LOST, MarkKind.RECONNECTED]
    lost, back = marks[0], marks[1]
    between = [r for r in records if not r.is_mark and lost.offset < r.offset < back.offset]
    assert between == [] and back.time - lost.time >= 0.2
    before = [r.time for r in records if not r.is_mark and r.offset < lost.offset]
    after = [r.time for r in records if not r.is_mark and r.offset > back.offset]
    assert before and after and max(before) <= lost.time < back.time <= min(after)


def test_record_to_a_full_disk_is_one_error_line(tmp_path: Path) -> None:
    """Writing to /dev/full fails with one line naming the file and the reason, status 1."""
    if not os.path.exists("/dev/full"):
        pytest.skip("needs /dev/full")
    with Simulator(port=0).running() as sim:
        result = run("record", "/dev/full", "--url", sim.url, "--duration", "3")
    assert result.returncode == 1
    assert "quorl-sdk record: error: cannot write /dev/full: No space left on device\n" in (
        result.stderr
    )
    assert "Traceback" not in result.stderr and result.stderr.count("error:") == 1


def record_with_status(path: Path, url: str, terminal: bool) -> str:
    """Runs ``record`` for 2.5 s with stderr on a pipe or a terminal; returns what it showed."""
    args = [*QUORL_SDK, "record", str(path), "--url", url, "--duration", "2.5"]
    if not terminal:
        result = subprocess.run(args, capture_output=True, text=True, timeout=scaled(60))
        assert result.returncode == 0, result.stderr
        return result.stderr
    import pty

    parent, child = pty.openpty()
    with subprocess.Popen(args, stderr=child, stdout=subprocess.DEVNULL) as process:
        os.close(child)
        shown = b""
        while chunk := _read_pty(parent):
            shown += chunk
        assert process.wait(scaled(60)) == 0
    os.close(parent)
    return shown.decode()


def _read_pty(fd: int) -> bytes:
    try:
        return os.read(fd, 65536)
    except OSError:  # the child closed its end
        return b""


@pytest.mark.parametrize("terminal", [False, True], ids=["pipe", "terminal"])
def test_record_shows_a_live_status_that_counts_malformed_frames(
    tmp_path: Path, terminal: bool
) -> None:
    """A status a second in a pipe, redrawn on a terminal; refused frames are counted, not listed."""
    path = tmp_path / "status.qrec"
    with Simulator(port=0, rate=50, malformed=0.3, seed=5).running() as sim:
        shown = record_with_status(path, sim.url, terminal)
    assert "failed to decode" not in shown.replace("last event: failed to decode", "")
    malformed = [int(n) for n in re.findall(r"malformed (\d+)", shown)]
    assert malformed and malformed[-1] > 10, shown
    if terminal:
        assert "\x1b[" in shown and "BODY_LANDMARKS" in shown and "Hz" in shown
    else:
        status = [line for line in shown.splitlines() if re.fullmatch(
            r"quorl-sdk record: [\d.]+ s, \d+ frames \([\d.]+/s\), malformed \d+, "
            r"stream errors 0, reconnections 0", line)]  # fmt: skip
        assert 1 <= len(status) <= 3 and len(shown.splitlines()) == len(status) + 2, shown
    assert re.search(r"\d+ frames refused by the decoder, not recorded", shown)


def test_replay_loop_of_an_empty_recording_serves_and_stops_on_a_signal(tmp_path: Path) -> None:
    """Nothing to loop: each client gets the hello and a normal close; SIGTERM still stops it."""
    from quorl_sdk.recording import RecordingWriter
    from websockets.exceptions import ConnectionClosedOK
    from websockets.sync.client import connect as ws_connect

    path = tmp_path / "empty.qrec"
    RecordingWriter(path).close()
    with started("replay", str(path), "--loop", "--port", "0") as replay:
        url = first_line(replay.stdout, 20).split()[-1]
        for _ in range(2):
            with ws_connect(url, open_timeout=scaled(10)) as ws:
                assert ws.recv(timeout=scaled(5)) == hello()
                with pytest.raises(ConnectionClosedOK):
                    ws.recv(timeout=scaled(5))
        replay.send_signal(signal.SIGTERM)
        assert replay.wait(scaled(10)) == 0


def test_record_keeps_the_servers_exact_bytes(tmp_path: Path) -> None:
    """Recorded frames equal the bytes sent, NaN and negative zero included; refused ones count."""
    path = tmp_path / "exact.qrec"
    frames = [*all_sample_frames(), exotic_frame()]
    with websockets_server(sending(hello(), frames[0], b"\x09", *frames[1:])) as server:
        result = run("record", str(path), "--url", server.url)
    assert result.returncode == 0, result.stderr
    assert "10 frames in" in result.stderr
    assert "; 1 frame refused by the decoder, not recorded" in result.stderr
    with RecordingReader(path) as recording:
        assert [record.data for record in recording.records()] == frames


@pytest.fixture
def landmarks(tmp_path: Path) -> Path:
    """A recording of the body and both hands over 0.1 s."""
    path = tmp_path / "landmarks.qrec"
    with RecordingWriter(path) as writer:
        for tick, frame in itertools.product(range(11), all_sample_frames()):
            writer.write(frame, tick * 10_000_000)
    return path


@pytest.mark.parametrize(
    ("command", "error"),
    [
        (["simulate", "--port", "{port}"], "cannot serve on 127.0.0.1:{port}: Address already in"),
        (["replay", "{rec}", "--port", "{port}"], "cannot serve on 127.0.0.1:{port}: Address al"),
        (["record", "{out}.qrec", "--url", "{url}"], "cannot write {out}.qrec: No such file or"),
        (["export", "{rec}", "{out}.h5"], "cannot write {out}.h5: No such file or directory"),
        (["export", "{rec}", "{out}.parquet"], "cannot write {out}.parquet: No such file or"),
        (["export", "{rec}", "{out}.csv"], "cannot write {out}.json: No such"),
        (["snapshot", "{out}.png", "--recording", "{rec}"], "cannot write {out}.png: No such"),
    ],
)
def test_a_port_or_file_it_cannot_use_is_one_line_and_exit_code_1(
    command: list[str], error: str, landmarks: Path, tmp_path: Path
) -> None:
    """A taken port, a file in a folder that is not there: named, with the system's reason."""
    with socket.create_server(("127.0.0.1", 0)) as taken, Simulator(port=0).running() as sim:
        names = {"port": taken.getsockname()[1], "rec": landmarks, "url": sim.url,
                 "out": tmp_path / "absent" / "out"}  # fmt: skip
        result = run(*(arg.format(**names) for arg in command))
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.startswith(f"quorl-sdk {command[0]}: error: {error.format(**names)}")
    assert result.stderr.count("\n") == 1


@pytest.mark.fixed_ports
def test_replay_takes_a_default_port_that_stream_discovers(tmp_path: Path) -> None:
    """Without --port the replay serves on 5432-5435, where stream finds it without options."""
    path = tmp_path / "found.qrec"
    with websockets_server(sending(hello(), *all_sample_frames())) as server:
        assert run("record", str(path), "--url", server.url).returncode == 0
    with started("replay", str(path), "--loop") as replay:
        line = first_line(replay.stdout, 20)
        assert re.search(r"ws://127\.0\.0\.1:543[2-5]$", line.rstrip()), line
        result = run("stream", "--json", "--duration", "1")
        replay.send_signal(signal.SIGINT)
        assert replay.wait(scaled(10)) == 0
    assert result.returncode == 0, result.stderr
    kinds = {json.loads(line)["kind"] for line in result.stdout.splitlines()}
    assert kinds == {kind for kind, _ in ALL_STREAMS}


# Reconnection schedule (in process, with short waits)


def test_session_reconnects_then_gives_up_after_max_retries(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    """A lost connection is made again once the server is back; gone for good, it gives up."""
    monkeypatch.setattr(_live, "BASE_DELAY", 0.05)
    monkeypatch.setattr(_live, "MAX_DELAY", 0.1)
    monkeypatch.setattr(_live, "MAX_RETRIES", 3)
    events: list[str] = []
    with websockets_server(Tracking()) as server:
        session = _live.Session(
            _live.Target(url=server.url), reconnect=True, on_event=events.append
        )
        session.open()
        try:
            assert session.next(scaled(5)) is not None
            server.stop()
            server.start()
            assert wait_until(lambda: session.next(0.05) is not None and session.reconnections)
            assert session.reconnections == 1
            started_at = time.monotonic()  # the loss can be seen as soon as the server stops
            server.stop()
            with pytest.raises(_live.StreamFailed) as failed:
                for _ in range(1000):
                    session.next(0.05)
            elapsed = time.monotonic() - started_at
        finally:
            session.close()
    assert str(failed.value) == f"gave up reconnecting to {server.url} after 3 attempts"
    assert 0.05 + 0.1 + 0.1 <= elapsed < scaled(5)  # waits 50, 100, 100 ms
    assert events[:2] == [
        f"connection to {server.url} lost; reconnecting", f"reconnected to {server.url}"
    ]


# snapshot and view


def check_png(path: Path) -> None:
    """Checks a PNG of 900 x 600 pixels that shows a drawing in blue and red, not a blank."""
    image = pytest.importorskip("matplotlib.image")
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert data[12:16] == b"IHDR" and struct.unpack(">II", data[16:24]) == (900, 600)
    pixels = image.imread(path)[:, :, :3]
    drawn = (pixels < 0.9).any(axis=2).mean()
    assert 0.01 < drawn < 0.5, drawn
    red = ((pixels[:, :, 0] > 0.7) & (pixels[:, :, 1] < 0.3) & (pixels[:, :, 2] < 0.3)).sum()
    blue = ((pixels[:, :, 2] > 0.6) & (pixels[:, :, 0] < 0.3)).sum()
    assert red > 100 and blue > 500, (red, blue)


def test_snapshot_renders_the_simulators_figure_into_a_png(tmp_path: Path) -> None:
    """snapshot draws body and both hands from a live simulator into a real PNG file."""
    pytest.importorskip("matplotlib")
    out = tmp_path / "figure.png"
    with Simulator(port=0).running() as sim:
        result = run("snapshot", str(out), "--url", sim.url)
    assert result.returncode == 0, result.stderr
    assert result.stderr == f"quorl-sdk snapshot: wrote {out} from {sim.url}\n"
    check_png(out)


def test_snapshot_renders_from_a_recording(tmp_path: Path) -> None:
    """snapshot --recording takes the landmarks at --at seconds from a recording."""
    pytest.importorskip("matplotlib")
    path, out = tmp_path / "sim.qrec", tmp_path / "recorded.png"
    with Simulator(port=0).running() as sim:
        assert run("record", str(path), "--url", sim.url, "--duration", "0.5").returncode == 0
    result = run("snapshot", str(out), "--recording", str(path), "--at", "0.2")
    assert result.returncode == 0, result.stderr
    check_png(out)


@pytest.mark.parametrize(
    ("args", "status", "expected"),
    [
        (["x.svg", "--recording", "{rec}"], 0, b"<?xml"),
        (["x.JPG", "--recording", "{rec}"], 0, b"\xff\xd8\xff"),
        (["x.txt", "--recording", "{rec}"], 2, "cannot tell the picture format of x.txt: its suf"),
        (["x.png", "--at", "0"], 2, "--at needs --recording"),
        (["x.png", "--recording", "{rec}", "--at", "0.2"], 2, "--at 0.2 s is past the end of"),
    ],
)
def test_snapshot_writes_the_format_of_its_suffix_and_refuses_what_it_cannot_do(
    args: list[str], status: int, expected: bytes | str, landmarks: Path, tmp_path: Path
) -> None:
    """Any format matplotlib writes, by the suffix in any case; else exit 2 and no file, as
    for --at without a recording or past its end."""
    pytest.importorskip("matplotlib")
    result = subprocess.run(
        [*QUORL_SDK, "snapshot", *(arg.format(rec=landmarks) for arg in args)],
        capture_output=True, text=True, timeout=scaled(60), cwd=tmp_path,
    )  # fmt: skip
    assert result.returncode == status, result.stderr
    if isinstance(expected, bytes):
        assert (tmp_path / args[0]).read_bytes().startswith(expected)
    else:
        assert result.stderr.startswith(f"quorl-sdk snapshot: error: {expected}")
        assert [path.name for path in tmp_path.iterdir()] == [landmarks.name]


def test_snapshot_without_landmarks_is_exit_code_1(tmp_path: Path) -> None:
    """A server that sends no landmark frame within --wait gives a clear error and no file."""
    pytest.importorskip("matplotlib")
    frames = [sample_frame(MSG_BODY_ISB_ANGLES)] * 3
    with websockets_server(sending(hello(), *frames, then_close=False)) as server:
        result = run("snapshot", str(tmp_path / "none.png"), "--url", server.url, "--wait", "0.5")
    assert result.returncode == 1
    assert result.stderr == f"quorl-sdk snapshot: error: no landmark frame from {server.url}\n"
    assert not (tmp_path / "none.png").exists()


def test_view_without_a_display_points_to_snapshot() -> None:
    """view with matplotlib's non-interactive backend says why and exits 2 before connecting."""
    pytest.importorskip("matplotlib")
    result = subprocess.run(
        [*QUORL_SDK, "view", "--port", "1"],
        capture_output=True, text=True, timeout=scaled(60),
        env={**os.environ, "MPLBACKEND": "agg"},
    )
    assert result.returncode == 2
    assert "matplotlib has no window to draw in (backend 'agg'" in result.stderr
    assert "quorl-sdk snapshot OUT.png" in result.stderr


@pytest.mark.skipif(shutil.which("xvfb-run") is None, reason="needs xvfb-run for a display")
def test_view_window_follows_the_stream_and_stops_on_ctrl_c() -> None:
    """In a real window (a virtual display) view runs, and Ctrl-C ends it with exit code 0."""
    pytest.importorskip("tkinter")
    pytest.importorskip("matplotlib")
    script = (
        "import signal, subprocess, sys, time\n"
        "view = subprocess.Popen([sys.executable, '-m', 'quorl_sdk', 'view', '--url', sys.argv[1]])\n"
        "time.sleep(3)\n"
        "view.send_signal(signal.SIGINT)\n"
        "sys.exit(view.wait(20))\n"
    )
    with Simulator(port=0).running() as sim:
        result = subprocess.run(
            ["xvfb-run", "-a", sys.executable, "-c", script, sim.url],
            capture_output=True, text=True, timeout=scaled(60),
            env={key: value for key, value in os.environ.items() if key != "MPLBACKEND"},
        )
        assert wait_until(lambda: sim.connection_count == 1)
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr


def test_view_loop_draws_the_latest_landmarks() -> None:
    """The live loop keeps the plot at the latest body and hands until its duration ends."""
    pytest.importorskip("matplotlib")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    from quorl_sdk.cli.view import run_view
    from quorl_sdk.client import Mode
    from quorl_sdk.view import PosePlot

    figure = Figure()
    FigureCanvasAgg(figure)
    plot = PosePlot(figure)
    redraws: list[float] = []
    refreshes: list[bool] = []

    def pause(seconds: float) -> None:
        redraws.append(seconds)
        time.sleep(seconds)

    with Simulator(port=0).running() as sim:
        session = _live.Session(_live.Target(url=sim.url), mode=Mode.LATEST)
        session.open()
        try:
            code = run_view(
                session, plot, alive=lambda: True, refresh=refreshes.append, pause=pause,
                duration=1.0,
            )
        finally:
            session.close()
    assert code == 0 and len(redraws) > 10
    assert refreshes[0] is True and refreshes.count(False) > 5  # later ones move the artists only
    body, *hands = figure.axes
    assert len(body.collections[1].get_offsets()) == 19
    assert [len(hand.collections[1].get_offsets()) for hand in hands] == [21] * 4
    assert [hand.get_title() for hand in hands] == [
        f"{hand} (side {side}), {view}"
        for side, hand in enumerate(("left hand", "right hand"))
        for view in ("front", "from the side")
    ]
    assert session.frames > 9 * 5  # latest-only: a loaded machine draws fewer


def test_demo_streams_from_the_simulator() -> None:
    """The main job's demo starts the simulator and shows the status of all nine streams."""
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "demo.py"), "--seconds", "1.5"],
        capture_output=True, text=True, timeout=scaled(60),
    )
    assert result.returncode == 0, result.stderr
    block = last_status(result.stdout.split("\n\nMore:")[0])
    assert len(status_rows(block)) == 9 and counter(block, "decode errors") == 0
