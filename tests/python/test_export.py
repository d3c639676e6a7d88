"""Recordings as tables: numpy, pandas, and CSV, Parquet and HDF5 files, bit for bit."""

from __future__ import annotations

import csv
import math
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from quorl_sdk import FrameKind
from quorl_sdk._extras import MissingExtraError
from quorl_sdk.export import export
from quorl_sdk.recording import MarkKind, RecordingReader, RecordingWriter
from quorl_sdk.skeleton import DEFAULT
from support import EXOTIC_BITS, MSG_BODY_ISB_ANGLES, MSG_HAND_LANDMARKS, sample_frame, scaled

np = pytest.importorskip("numpy")

QUORL_SDK = [sys.executable, "-m", "quorl_sdk"]

ANGLE_BITS = [(list(EXOTIC_BITS) * 3)[:21], list(range(0x3FF0 << 48, (0x3FF0 << 48) + 21))]


def angle_frame(bits: list[int]) -> bytes:
    return bytes([MSG_BODY_ISB_ANGLES]) + struct.pack("<21Q", *bits)


@pytest.fixture
def recording(tmp_path: Path) -> Path:
    """Two body angle frames of exotic bits, a mark, and one hand landmark frame of side 1."""
    path = tmp_path / "exotic.qrec"
    with RecordingWriter(path) as writer:
        writer.write(angle_frame(ANGLE_BITS[0]), 1_000)
        writer.write(sample_frame(MSG_HAND_LANDMARKS, 1, start=0.5), 2_000)
        writer.write_mark(MarkKind.LOST, 2_500)
        writer.write(angle_frame(ANGLE_BITS[1]), 3_000)
    return path


def bits(array: object) -> list[list[int]]:
    return np.asarray(array, dtype="float64").view("uint64").tolist()  # type: ignore


def test_to_numpy_gives_one_table_per_stream_bit_for_bit(recording: Path) -> None:
    """Times in seconds, values shaped by groups, every bit as recorded; marks left out."""
    with RecordingReader(recording) as reader:
        tables = reader.to_numpy()
    angles = tables[(FrameKind.BODY_ISB_ANGLES, None)]
    hand = tables[(FrameKind.HAND_LANDMARKS, 1)]
    assert list(tables) == [(FrameKind.BODY_ISB_ANGLES, None), (FrameKind.HAND_LANDMARKS, 1)]
    assert angles.time.tolist() == [1e-6, 3e-6] and hand.time.tolist() == [2e-6]
    assert bits(angles.values) == ANGLE_BITS
    assert hand.values.shape == (1, 21, 4)
    assert hand.values[0, 3].tolist() == [12.5, 13.5, 14.5, 15.5]


def test_to_pandas_names_columns_by_the_skeleton(recording: Path) -> None:
    """A time column, then wrist_x ... for landmarks and the angles' names, bit for bit."""
    pytest.importorskip("pandas")
    with RecordingReader(recording) as reader:
        frames = reader.to_pandas()
    angles = frames[(FrameKind.BODY_ISB_ANGLES, None)]
    hand = frames[(FrameKind.HAND_LANDMARKS, 1)]
    assert list(angles.columns) == ["time", *DEFAULT.layout(FrameKind.BODY_ISB_ANGLES).names]
    assert list(hand.columns[:6]) == [
        "time", "wrist_x", "wrist_y", "wrist_z", "wrist_v", "thumb_cmc_x"
    ]
    assert list(hand.columns[-1:]) == ["pinky_tip_v"] and hand["thumb_cmc_x"].tolist() == [4.5]
    assert bits(angles.drop(columns="time").to_numpy()) == ANGLE_BITS
    assert hand.attrs["kind"] == "HAND_LANDMARKS" and hand.attrs["side"] == 1


def read_back(path: Path, suffix: str) -> dict[str, tuple[list[str], list[list[float]]]]:
    """Returns column names and rows of every table written for ``path``, by table name."""
    if suffix == ".h5":
        h5py = pytest.importorskip("h5py")
        with h5py.File(path) as file:
            return {
                name: (list(data.dtype.names), data[()].view("<f8").reshape(len(data), -1).tolist())
                for name, data in file.items()
            }
    tables = {}
    for file in sorted(path.parent.glob(f"{path.stem}_*{suffix}")):
        name = file.stem.removeprefix(f"{path.stem}_")
        if suffix == ".csv":
            with open(file, newline="") as handle:
                header, *rows = list(csv.reader(handle))
            tables[name] = (header, [[float(text) for text in row] for row in rows])
        else:
            parquet = pytest.importorskip("pyarrow.parquet")
            table = parquet.read_table(file)
            columns = [table.column(n).to_numpy() for n in table.column_names]
            tables[name] = (table.column_names, np.column_stack(columns).tolist())
    return tables


@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".h5"])
def test_export_command_writes_each_format_exactly(
    recording: Path, tmp_path: Path, suffix: str
) -> None:
    """The suffix picks the format; Parquet and HDF5 keep every bit, CSV every non-NaN bit."""
    pytest.importorskip("pandas")
    out = tmp_path / f"session{suffix}"
    result = subprocess.run(
        [*QUORL_SDK, "export", str(recording), str(out)],
        capture_output=True, text=True, timeout=scaled(60),
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr.startswith("quorl-sdk export: wrote ")
    tables = read_back(out, suffix)
    assert set(tables) == {"body_isb_angles", "hand_landmarks_side1"}
    header, rows = tables["body_isb_angles"]
    assert header[:3] == ["time", "trunk_flexion", "trunk_lateral_bending"] and len(header) == 22
    assert [row[0] for row in rows] == [1e-6, 3e-6]
    got = [[struct.unpack("<Q", struct.pack("<d", v))[0] for v in row[1:]] for row in rows]
    if suffix == ".csv":  # CSV has no NaN payloads: any NaN reads back as the plain one
        nan = struct.unpack("<Q", struct.pack("<d", math.nan))[0]
        expected = [[nan if (b >> 52) & 0x7FF == 0x7FF and b & (2**52 - 1) else b for b in row]
                    for row in ANGLE_BITS]  # fmt: skip
        assert got == expected
        assert "-0.0,5e-324," in out.with_name("session_body_isb_angles.csv").read_text()
    else:
        assert got == ANGLE_BITS
    assert tables["hand_landmarks_side1"][1][0][:3] == [2e-6, 0.5, 1.5]


@pytest.mark.parametrize(
    ("out", "missing"),
    [("x.txt", None), ("x.parquet", "pyarrow"), ("x.h5", "h5py"), ("x.csv", "numpy")],
)
def test_export_refuses_unknown_suffixes_and_names_a_missing_extra(
    recording: Path,
    tmp_path: Path,
    out: str,
    missing: str | None,
    monkeypatch: pytest.MonkeyPatch,
    capsys: pytest.CaptureFixture[str],
) -> None:
    """An unknown suffix and a missing library are usage errors (status 2) that say what to do."""
    from quorl_sdk import cli

    if missing is not None:
        monkeypatch.setitem(sys.modules, missing, None)  # makes the import fail
    code = cli.main(["export", str(recording), str(tmp_path / out)])
    error = capsys.readouterr().err
    assert code == 2 and error.count("\n") == 1
    if missing is None:
        assert "cannot tell the format of" in error and ".csv, .parquet, .h5" in error
    else:
        assert error.endswith(f"needs {missing}: pip install 'quorl-sdk[export]'\n")
    with pytest.raises(ImportError if missing else ValueError):
        export(recording, tmp_path / out)
    assert list(tmp_path.glob("x*")) == []
