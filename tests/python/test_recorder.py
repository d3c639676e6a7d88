"""Recording on the engine thread (``Client.record``) and how a stream ended (``close_code``)."""

from __future__ import annotations

import asyncio
import os
import signal
import subprocess
import sys
import time
import warnings
from pathlib import Path

import pytest
from sdk_util import wait_until
from support import (
    OP_BINARY,
    ScriptedServer,
    accept,
    all_sample_frames,
    close_tcp,
    hello,
    pause,
    sample_frame,
    scaled,
    send_close,
    send_raw,
    ws_frame,
)

import quorl_sdk
from quorl_sdk import FrameKind
from quorl_sdk.recording import RecordingReader, TruncatedRecordingWarning

# Time the client gets to start its recording before the first frame comes.
START = 0.3


def burst(count: int) -> tuple[list[bytes], bytes]:
    """``count`` frames cycling through the nine streams, and their WebSocket bytes."""
    kinds = all_sample_frames()
    frames = [kinds[n % len(kinds)][:-8] + n.to_bytes(8, "little") for n in range(count)]
    return frames, b"".join(ws_frame(OP_BINARY, frame) for frame in frames)


def stored(path: Path) -> list[bytes]:
    with RecordingReader(path) as recording:
        return [record.data for record in recording.records() if not record.is_mark]


@pytest.mark.parametrize(
    "kinds", [None, {FrameKind.BODY_LANDMARKS, FrameKind.HAND_ISB_ANGLES}], ids=["all", "two"]
)
def test_latest_mode_records_every_frame_while_the_program_sleeps(tmp_path: Path, kinds) -> None:
    """The file gets every frame that passes ``kinds``, bytes and order exact, unread."""
    frames, wire = burst(20_000)
    script = [accept(with_binary=[hello()]), pause(START), send_raw(wire)]
    path = tmp_path / "latest.qrec"
    with ScriptedServer(script) as server:
        with quorl_sdk.connect_url(server.url, mode="latest", kinds=kinds) as client:
            recorder = client.record(path)
            expected = [f for f in frames if kinds is None or FrameKind(f[0]) in kinds]
            assert wait_until(lambda: recorder.frames == len(expected), 10)
            assert client.dropped > 0  # the program saw only the newest
            recorder.stop()
    assert stored(path) == expected


def test_lossless_mode_records_what_the_program_lets_through(tmp_path: Path) -> None:
    """Back-pressure holds the file with the program; reading frees both, and nothing is lost."""
    frames, wire = burst(3000)
    script = [accept(with_binary=[hello()]), pause(START), send_raw(wire)]
    path = tmp_path / "lossless.qrec"
    with ScriptedServer(script) as server:
        with quorl_sdk.connect_url(server.url, max_queue=16, timeout=scaled(5)) as client:
            with client.record(path) as recorder:
                time.sleep(START + 0.3)
                assert recorder.frames < 100
                read = [client.recv() for _ in frames]
            assert recorder.frames == len(frames)
    assert [frame.seq for frame in read] == list(range(len(frames)))
    assert stored(path) == frames


def test_a_failed_write_stops_the_recording_and_is_raised_on_read_and_stop() -> None:
    """A full disk ends the recording; the next read raises it once, stop() every time."""
    if not os.path.exists("/dev/full"):
        pytest.skip("needs /dev/full")
    frames, wire = burst(50)
    script = [accept(with_binary=[hello()]), pause(START), send_raw(wire), pause(0.2), send_raw(wire)]
    with ScriptedServer(script) as server:
        with quorl_sdk.connect_url(server.url, timeout=scaled(5)) as client:
            recorder = client.record("/dev/full")
            with pytest.raises(OSError) as raised:
                while True:
                    client.recv()
            assert (raised.value.errno, raised.value.filename) == (28, "/dev/full")
            assert client.recv().seq >= 0  # reported once; reading goes on
            for _ in range(2):
                with pytest.raises(OSError, match="No space left on device"):
                    recorder.stop()


@pytest.mark.parametrize("close", ["close", "exit"])
def test_the_client_ending_ends_the_recording_whole(tmp_path: Path, close: str) -> None:
    """close() and the interpreter's exit leave a complete file; stop() then has nothing to do."""
    path = tmp_path / "closed.qrec"
    frames, wire = burst(900)
    program = f"""
import quorl_sdk, time
client = quorl_sdk.connect_url({{url!r}}, mode="latest")
recorder = client.record({str(path)!r})
while recorder.frames < {len(frames)}:
    time.sleep(0.01)
if {close == "close"}:
    client.close()
    recorder.stop()
"""
    script = [accept(with_binary=[hello()]), pause(START), send_raw(wire)]
    with ScriptedServer(script) as server:
        code = program.format(url=server.url)
        subprocess.run([sys.executable, "-c", code], check=True, timeout=scaled(30))
    assert stored(path) == frames


def test_a_killed_recording_reads_up_to_its_last_whole_record(tmp_path: Path) -> None:
    """SIGKILL mid-stream leaves a prefix of the stream, readable, cut between records."""
    path = tmp_path / "killed.qrec"
    frames, wire = burst(200_000)
    program = f"""
import quorl_sdk, time
client = quorl_sdk.connect_url({{url!r}}, mode="latest")
client.record({str(path)!r})
time.sleep(60)
"""
    chunks = [send_raw(wire[i : i + 100_000]) for i in range(0, len(wire), 100_000)]
    script = [accept(with_binary=[hello()]), pause(START), *[s for c in chunks for s in (c, pause(0.001))]]
    with ScriptedServer(script) as server:
        process = subprocess.Popen([sys.executable, "-c", program.format(url=server.url)])
        try:
            assert wait_until(lambda: path.exists() and path.stat().st_size > 1_000_000, 20)
        finally:
            process.send_signal(signal.SIGKILL)
            process.wait()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        kept = stored(path)
    # A kill may cut the write in flight: the file then ends inside a record.
    assert all(issubclass(w.category, TruncatedRecordingWarning) for w in caught)
    assert 0 < len(kept) < len(frames) and kept == frames[: len(kept)]


@pytest.mark.parametrize(
    ("ending", "code", "reason"),
    [
        ([send_close(4001, "shift over")], 4001, "shift over"),
        ([send_close(None)], 1005, ""),
        ([close_tcp()], 1006, ""),
    ],
    ids=["close frame", "close frame without code", "lost"],
)
@pytest.mark.parametrize("flavour", ["blocking", "asyncio"])
def test_close_code_and_reason_say_how_the_stream_ended(ending, code, reason, flavour) -> None:
    """None while the stream runs; the server's close frame, or 1006 without one, at the end."""
    script = [accept(with_binary=[hello(), sample_frame(3)]), pause(0.3), *ending]
    with ScriptedServer(script) as server:
        if flavour == "blocking":
            with quorl_sdk.connect_url(server.url, timeout=scaled(5)) as client:
                running = (client.close_code, client.close_reason)
                frames = list(client)
                ended = (client.close_code, client.close_reason)
        else:

            async def stream() -> tuple[tuple[object, object], list[object], tuple[object, object]]:
                async with quorl_sdk.connect_url_async(server.url, timeout=scaled(5)) as client:
                    running = (client.close_code, client.close_reason)
                    frames = [frame async for frame in client]
                    return running, frames, (client.close_code, client.close_reason)

            running, frames, ended = asyncio.run(stream())
    assert running == (None, None) and len(frames) == 1
    assert ended == (code, reason)


@pytest.mark.parametrize("state", ["recording", "closed"])
def test_record_refuses_a_second_recording_and_a_closed_client(tmp_path: Path, state: str) -> None:
    """One recording at a time; a closed client records nothing."""
    script = [accept(with_binary=[hello()])]
    with ScriptedServer(script) as server:
        client = quorl_sdk.connect_url(server.url)
        first = client.record(tmp_path / "first.qrec")
        if state == "closed":
            client.close()
        message = "client is closed" if state == "closed" else "recording already"
        with pytest.raises(RuntimeError, match=message):
            client.record(tmp_path / "second.qrec")
        first.stop()
        client.close()
    assert not (tmp_path / "second.qrec").exists()
