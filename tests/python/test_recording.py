"""Recordings: the file layout, exact frames, clear errors for bad files, and replay serving."""

from __future__ import annotations

import struct
import subprocess
import sys
import time
import warnings
from pathlib import Path

import pytest
from websockets.exceptions import ConnectionClosedOK
from websockets.sync.client import connect as ws_connect

from quorl_sdk.frames import FrameKind, decode_frame
from quorl_sdk.recording import (
    HEADER_SIZE,
    RECORD_HEADER_SIZE,
    Mark,
    MarkKind,
    Record,
    RecordingError,
    RecordingReader,
    RecordingWriter,
    TruncatedRecordingWarning,
    read_frames,
)
from quorl_sdk.replay import Replay
from support import (
    EXOTIC_BITS,
    MSG_BODY_ISB_ANGLES,
    MSG_HAND_LANDMARKS,
    all_sample_frames,
    encode,
    hello,
    sample_frame,
    scaled,
)

QUORL_SDK = [sys.executable, "-m", "quorl_sdk"]

def exotic_frame() -> bytes:
    """A body ISB-angle frame whose values carry every pattern of EXOTIC_BITS."""
    bits = (list(EXOTIC_BITS) * 4)[:21]
    return bytes([MSG_BODY_ISB_ANGLES]) + struct.pack("<21Q", *bits)


def write(path: Path, frames: list[bytes], step_ns: int = 1_000_000) -> None:
    """Writes ``frames`` as a recording, one every ``step_ns`` nanoseconds."""
    with RecordingWriter(path, started_ns=1_700_000_000_000_000_000, monotonic_ns=7) as writer:
        for number, frame in enumerate(frames):
            writer.write(frame, number * step_ns)


def test_file_layout_is_the_documented_one(tmp_path: Path) -> None:
    """Header: magic, version 2, reserved 0, both starts; then time, length, frame or mark."""
    path = tmp_path / "two.qrec"
    frames = [sample_frame(MSG_BODY_ISB_ANGLES), sample_frame(MSG_HAND_LANDMARKS, 1)]
    with RecordingWriter(path, started_ns=1_700_000_000_000_000_000, monotonic_ns=-5) as writer:
        writer.write(frames[0], 0)
        writer.write_mark(MarkKind.LOST, 10)
        writer.write_mark(MarkKind.RECONNECTED, 20)
        writer.write(frames[1], 30)
    assert writer.count == 2
    expected = struct.pack("<8sHHqq", b"QUORLREC", 2, 0, 1_700_000_000_000_000_000, -5)
    expected += struct.pack("<QI", 0, len(frames[0])) + frames[0]
    expected += struct.pack("<QI", 10, 2) + b"\x00\x01" + struct.pack("<QI", 20, 2) + b"\x00\x02"
    expected += struct.pack("<QI", 30, len(frames[1])) + frames[1]
    assert path.read_bytes() == expected
    with RecordingReader(path) as recording:
        assert (recording.version, recording.monotonic_ns) == (2, -5)
        assert list(recording.marks()) == [
            Mark(MarkKind.LOST, 10, HEADER_SIZE + RECORD_HEADER_SIZE + 169),
            Mark(MarkKind.RECONNECTED, 20, HEADER_SIZE + 2 * RECORD_HEADER_SIZE + 171),
        ]
        assert [t for t, _ in recording.timed_frames()] == [0.0, 30e-9]


def test_reader_yields_records_frames_and_times(tmp_path: Path) -> None:
    """Records keep bytes, times and offsets; iterating decodes them into Frame values."""
    path = tmp_path / "all.qrec"
    frames = all_sample_frames()
    write(path, frames, step_ns=2_000_000)
    with RecordingReader(path) as recording:
        assert (recording.version, recording.started_ns) == (2, 1_700_000_000_000_000_000)
        records = list(recording.records())
        decoded = list(recording)
        timed = list(recording.timed_frames())
    assert [record.data for record in records] == frames
    assert records[1] == Record(2_000_000, frames[1], HEADER_SIZE + RECORD_HEADER_SIZE + 417)
    assert records[1].time == pytest.approx(0.002)
    assert decoded == [decode_frame(frame) for frame in frames]
    assert decoded[3].kind is FrameKind.HAND_QUATERNIONS and decoded[3].side == 1
    assert [t for t, _ in timed] == pytest.approx([0.002 * n for n in range(9)])
    assert read_frames(path) == decoded


def test_two_iterations_keep_their_own_place(tmp_path: Path) -> None:
    """Interleaving two iterations of one reader gives each every record in order."""
    path = tmp_path / "twice.qrec"
    write(path, all_sample_frames())
    with RecordingReader(path) as recording:
        pairs = list(zip(recording.records(), recording.records()))
    assert all(a == b for a, b in pairs) and len(pairs) == 9


@pytest.mark.parametrize("frame", [*all_sample_frames(), exotic_frame()], ids=range(10))
def test_write_frame_gives_back_the_exact_bytes(tmp_path: Path, frame: bytes) -> None:
    """A decoded frame is stored as the very bytes it came from, NaN payloads included."""
    path = tmp_path / "exact.qrec"
    with RecordingWriter(path) as writer:
        writer.write_frame(decode_frame(frame), 5)
    with RecordingReader(path) as recording:
        assert [record.data for record in recording.records()] == [frame]


def test_an_empty_recording_has_no_frames(tmp_path: Path) -> None:
    """A header alone is a valid recording of nothing."""
    path = tmp_path / "empty.qrec"
    RecordingWriter(path).close()
    assert path.stat().st_size == HEADER_SIZE
    assert read_frames(path) == []


def valid_bytes() -> bytes:
    """A recording of version 1 with two frames (169 and 674 bytes), as bytes."""
    header = struct.pack("<8sHHq", b"QUORLREC", 1, 0, 0)
    first, second = sample_frame(MSG_BODY_ISB_ANGLES), sample_frame(MSG_HAND_LANDMARKS)
    return (
        header
        + struct.pack("<QI", 0, len(first)) + first
        + struct.pack("<QI", 10, len(second)) + second
    )  # fmt: skip


V1_HEADER_SIZE = 20
SECOND_RECORD = V1_HEADER_SIZE + RECORD_HEADER_SIZE + 169

# name -> (file content, byte offset named, words of the reason)
BAD_FILES = {
    "empty": (b"", 0, "empty file, not a quorl-sdk recording"),
    "foreign": (b"\x89PNG\r\n\x1a\n" + bytes(40), 0, "not a quorl-sdk recording"),
    "text": (b"time,kind,side\n0,2,\n", 0, "not a quorl-sdk recording"),
    "short header": (valid_bytes()[:13], 13, "truncated header: the file ends after 13 of 20"),
    "other version": (
        valid_bytes()[:8] + b"\x03\x00" + valid_bytes()[10:],
        8,
        "unsupported recording version 3 (this SDK reads versions 1 to 2)",
    ),
    "short header of version 2": (
        struct.pack("<8sHHq", b"QUORLREC", 2, 0, 0),
        20,
        "truncated header: the file ends after 20 of 28",
    ),
}

# name -> (file content, byte offset of the cut, words of the warning); the first frame is whole.
TRUNCATED_FILES = {
    "cut in a record header": (
        valid_bytes()[: SECOND_RECORD + 5],
        SECOND_RECORD,
        "truncated record: the file ends 5 bytes into a 12-byte record header",
    ),
    "cut in a frame": (
        valid_bytes()[:-1],
        SECOND_RECORD,
        "truncated record: it announces 674 bytes, the file has 673 left",
    ),
    "huge length": (
        valid_bytes()[:SECOND_RECORD] + struct.pack("<QI", 10, 0xFFFFFFFF) + bytes(8),
        SECOND_RECORD,
        "it announces 4294967295 bytes, the file has 8 left",
    ),
}


@pytest.mark.parametrize("name", BAD_FILES)
def test_bad_files_raise_recording_error_with_file_and_offset(tmp_path: Path, name: str) -> None:
    """Each kind of damage is reported with the file's name and the byte offset of the fault."""
    content, offset, reason = BAD_FILES[name]
    path = tmp_path / "bad.qrec"
    path.write_bytes(content)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RecordingError) as raised:
            read_frames(path)
    assert raised.value.path == str(path) and raised.value.offset == offset
    assert str(raised.value).startswith(f"{path}: byte offset {offset}: ")
    assert reason in str(raised.value)


def test_a_version_1_file_reads_and_replays(tmp_path: Path) -> None:
    """Files of the first version, without marks or a monotonic start, still read and replay."""
    path = tmp_path / "v1.qrec"
    path.write_bytes(valid_bytes())
    with RecordingReader(path) as recording:
        assert (recording.version, recording.monotonic_ns) == (1, None)
        assert [r.offset for r in recording.records()] == [V1_HEADER_SIZE, SECOND_RECORD]
        assert [t for t, _ in recording.timed_frames()] == [0.0, 1e-8]
    with Replay(path, port=0, speed=10.0).running() as replay:
        messages, code = receive_all(replay.url)
    assert messages == [hello(), sample_frame(MSG_BODY_ISB_ANGLES), sample_frame(MSG_HAND_LANDMARKS)]
    assert code == 1000


@pytest.mark.parametrize("name", TRUNCATED_FILES)
def test_a_truncated_file_reads_up_to_its_last_whole_record_with_a_warning(
    tmp_path: Path, name: str
) -> None:
    """A file cut inside a record yields the records before it and warns with the offset."""
    content, offset, reason = TRUNCATED_FILES[name]
    path = tmp_path / "cut.qrec"
    path.write_bytes(content)
    with pytest.warns(TruncatedRecordingWarning) as caught:
        frames = read_frames(path)
    assert frames == [decode_frame(sample_frame(MSG_BODY_ISB_ANGLES))]
    (warning,) = caught
    message = str(warning.message)
    assert message.startswith(f"{path}: byte offset {offset}: truncated record: ")
    assert reason in message and message.endswith("; read up to the last whole record")


@pytest.mark.parametrize("command", ["replay", "snapshot"])
def test_commands_use_a_truncated_recording_with_a_one_line_warning(
    tmp_path: Path, command: str
) -> None:
    """replay serves and snapshot draws what a cut file holds, warning once on stderr."""
    path = tmp_path / "cut.qrec"
    write(path, [sample_frame(MSG_HAND_LANDMARKS, 0), sample_frame(MSG_BODY_ISB_ANGLES)])
    path.write_bytes(path.read_bytes()[:-3])
    if command == "replay":
        args = [str(path), "--port", "0", "--duration", "0.5"]
    else:
        pytest.importorskip("matplotlib")
        args = [str(tmp_path / "out.png"), "--recording", str(path)]
    result = subprocess.run(
        [*QUORL_SDK, command, *args], capture_output=True, text=True, timeout=scaled(60)
    )
    assert result.returncode == 0, result.stderr
    warning = f"quorl-sdk {command}: warning: {path}: byte offset {HEADER_SIZE + 12 + 674}: "
    assert result.stderr.startswith(warning), result.stderr
    assert result.stderr.count("warning") == 1 and "Traceback" not in result.stderr


def test_an_invalid_stored_frame_is_named_with_its_offset(tmp_path: Path) -> None:
    """Records iterate raw; decoding stops at a bad frame with the decoder's message."""
    path = tmp_path / "invalid.qrec"
    write(path, [sample_frame(MSG_BODY_ISB_ANGLES), b"\x09\x01", b"\x02"])
    with RecordingReader(path) as recording:
        assert len(list(recording.records())) == 3
        frames = iter(recording)
        next(frames)
        with pytest.raises(RecordingError) as raised:
            next(frames)
    offset = HEADER_SIZE + 2 * RECORD_HEADER_SIZE + 169
    assert raised.value.offset == offset
    assert str(raised.value) == (
        f"{path}: byte offset {offset}: "
        "record 1: invalid frame: unknown message type byte 0x09"
    )


def test_a_missing_file_raises_file_not_found_naming_it(tmp_path: Path) -> None:
    """Opening a file that is not there is the usual OSError, with the file's name."""
    with pytest.raises(FileNotFoundError, match="nothing.qrec"):
        RecordingReader(tmp_path / "nothing.qrec")


@pytest.mark.parametrize("command", ["replay", "snapshot", "export"])
@pytest.mark.parametrize("name", ["missing", "foreign", "other version"])
def test_commands_report_bad_recordings_alike_with_exit_code_1(
    tmp_path: Path, command: str, name: str
) -> None:
    """replay, snapshot --recording and export name the file (and the offset) and write
    and serve nothing."""
    path = tmp_path / "bad.qrec"
    if name != "missing":
        path.write_bytes(BAD_FILES[name][0])
    args = {
        "replay": [str(path), "--port", "0"],
        "snapshot": [str(tmp_path / "out.png"), "--recording", str(path)],
        "export": [str(path), str(tmp_path / "out.csv")],
    }[command]
    result = subprocess.run(
        [*QUORL_SDK, command, *args], capture_output=True, text=True, timeout=scaled(60)
    )
    assert result.returncode == 1, result.stderr
    assert result.stdout == ""
    prefix = f"quorl-sdk {command}: error: "
    if name == "missing":
        assert result.stderr == f"{prefix}cannot read {path}: No such file or directory\n"
    else:
        offset = BAD_FILES[name][1]
        assert result.stderr.startswith(f"{prefix}{path}: byte offset {offset}: ")
    assert [file.name for file in tmp_path.iterdir()] == ([] if name == "missing" else [path.name])


def receive_all(url: str) -> tuple[list[bytes | str], int | None]:
    """Reads a connection to its end; returns the messages and the close code."""
    messages: list[bytes | str] = []
    with ws_connect(url, open_timeout=scaled(10)) as ws:
        try:
            while True:
                messages.append(ws.recv(timeout=scaled(10)))
        except ConnectionClosedOK as closed:
            return messages, closed.rcvd.code if closed.rcvd else None


def test_replay_serves_the_hello_then_the_frames_byte_for_byte_then_closes(
    tmp_path: Path,
) -> None:
    """Every connection gets the recording from its start, invalid frames too, then code 1000."""
    path = tmp_path / "replay.qrec"
    frames = [*all_sample_frames(), b"\x09", exotic_frame()]
    write(path, frames)
    with Replay(path, port=0, speed=10.0).running() as replay:
        for _ in range(2):
            messages, code = receive_all(replay.url)
            assert messages == [hello(), *frames] and code == 1000
    assert replay.connection_count == 2 and replay.frame_count == 11


def test_replay_keeps_the_recorded_pace_divided_by_speed(tmp_path: Path) -> None:
    """Frames 0.3 s apart arrive about 0.3 s apart, and 0.1 s apart at speed 3."""
    path = tmp_path / "paced.qrec"
    write(path, [sample_frame(MSG_BODY_ISB_ANGLES, start=n) for n in range(4)], step_ns=300_000_000)
    for speed, expected in ((1.0, 0.9), (3.0, 0.3)):
        with Replay(path, port=0, speed=speed).running() as replay:
            with ws_connect(replay.url, open_timeout=scaled(10)) as ws:
                assert ws.recv(timeout=scaled(5)) == hello()
                ws.recv(timeout=scaled(5))
                started = time.monotonic()
                for _ in range(3):
                    ws.recv(timeout=scaled(5))
                elapsed = time.monotonic() - started
        assert expected * 0.8 < elapsed < expected + scaled(0.5)


def test_replay_loop_starts_again_at_the_end(tmp_path: Path) -> None:
    """With loop the frames come round again instead of a close."""
    path = tmp_path / "loop.qrec"
    frames = all_sample_frames()[:3]
    write(path, frames)
    with Replay(path, port=0, loop=True).running() as replay:
        with ws_connect(replay.url, open_timeout=scaled(10)) as ws:
            received = [ws.recv(timeout=scaled(5)) for _ in range(1 + 3 * 4)]
    assert received == [hello(), *frames * 4]


@pytest.mark.parametrize("speed", [0.0, -1.0, float("nan")])
def test_replay_refuses_a_speed_that_is_not_positive(tmp_path: Path, speed: float) -> None:
    """Speed must be a positive factor."""
    path = tmp_path / "x.qrec"
    write(path, [encode(MSG_BODY_ISB_ANGLES, None, [0.0] * 21)])
    with pytest.raises(ValueError, match="speed"):
        Replay(path, speed=speed)
