"""C3D and OpenSim files read back by their own libraries; start times and marks everywhere."""

from __future__ import annotations

import dataclasses
import json
from pathlib import Path

import pytest
from support import skip_ezc3d_under_asan

from quorl_sdk import cli
from quorl_sdk._motion import Motion
from quorl_sdk.export import export
from quorl_sdk.recording import MarkKind, RecordingReader, RecordingWriter
from quorl_sdk.skeleton import DEFAULT

np = pytest.importorskip("numpy")

STARTED_NS, MONOTONIC_NS = 1_700_000_000_123_456_789, 987_654_321_000
# At 100 Hz for a second, the connection lost after the frames of 0.5 s and back at 0.7 s;
# more marks in between than a C3D parameter holds.
LOST, BACK = 50, 70
MARKS = [["lost", 500_000_000 + n] for n in range(300)] + [["reconnected", 699_000_000]]
GAP = range(51, 70)  # ticks with no frame on both sides
# An axis text longer than a C3D text holds.
SKELETON = dataclasses.replace(DEFAULT, axes="y up, z forward. " * 30)


def write_recording(path: Path, ticks: range = range(100), kinds: slice = slice(None)) -> Path:
    motion = Motion()
    with RecordingWriter(path, started_ns=STARTED_NS, monotonic_ns=MONOTONIC_NS) as writer:
        for tick in ticks:
            if LOST < tick < BACK:
                continue
            if tick == BACK:
                writer.write_mark(MarkKind.RECONNECTED, MARKS[-1][1])
            for frame in motion.frames(tick / 100)[kinds]:
                writer.write(frame, tick * 10_000_000)
            for _, time_ns in MARKS[:-1] if tick == LOST else ():
                writer.write_mark(MarkKind.LOST, time_ns)
    return path


@pytest.fixture(scope="module")
def recording(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_recording(tmp_path_factory.mktemp("rec") / "session.qrec")


@skip_ezc3d_under_asan
def test_c3d_loads_in_ezc3d_and_in_c3d_with_invalid_points_in_the_gap(recording, tmp_path):
    ezc3d = pytest.importorskip("ezc3d")
    c3d = pytest.importorskip("c3d")
    out = tmp_path / "session.c3d"
    export(recording, out, skeleton=SKELETON)
    loaded = ezc3d.c3d(str(out))
    point, group = loaded["parameters"]["POINT"], loaded["parameters"]["QUORL"]
    labels = point["LABELS"]["value"]
    assert labels[:2] == ["nose", "neck"] and labels[19] == "left_hand_wrist"
    assert (point["UNITS"]["value"], point["RATE"]["value"][0]) == (["m"], 100)
    assert [group[name]["value"] for name in ("STARTED_NS", "MONOTONIC_NS")] == [
        [str(STARTED_NS)], [str(MONOTONIC_NS)]]  # fmt: skip
    marks = group["MARKS"]["value"] + group["MARKS2"]["value"]  # 255 at most in one
    assert marks == [f"{kind}@{ns}" for kind, ns in MARKS]
    assert " ".join(group["AXES"]["value"]) == SKELETON.axes.strip()
    analogs = loaded["parameters"]["ANALOG"]["LABELS"]["value"]
    assert analogs[0] == "trunk_flexion" and analogs[-1] == "right_hand_pinky_tip_visibility"
    points = loaded["data"]["points"]
    assert np.flatnonzero(np.isnan(points[0]).any(axis=0)).tolist() == list(GAP)
    assert points.shape == (4, 61, 100)  # stored as float32:
    assert points[:3, 0, 0] == pytest.approx(Motion().body_landmarks(0.0)[:3], abs=1e-6)
    with open(out, "rb") as file:
        reader = c3d.Reader(file)
        assert [label.strip() for label in reader.point_labels] == labels
        residuals = [frame[:, 3] for _, frame, _ in reader.read_frames()]
    assert [index for index, r in enumerate(residuals) if (r < 0).all()] == list(GAP)


@pytest.mark.parametrize(
    ("suffix", "reader", "first"),
    [(".trc", "TimeSeriesTableVec3", "nose"), (".mot", "TimeSeriesTable", "trunk_flexion"),
     (".sto", "TimeSeriesTableQuaternion", "pelvis")],
)  # fmt: skip
def test_opensim_reads_each_file_with_its_gap_and_metadata(
    recording: Path, tmp_path: Path, suffix: str, reader: str, first: str
) -> None:
    opensim = pytest.importorskip("opensim")
    out = tmp_path / f"session{suffix}"
    export(recording, out, rate=50)
    table = getattr(opensim, reader)(str(out))
    assert table.getNumRows() == 50 and table.getColumnLabels()[0] == first
    assert list(table.getIndependentColumn())[:2] == [0.0, 0.02]
    # A float, a Vec3 or a Quaternion: each prints NaN as "nan".
    missing = [row for row in range(50) if "nan" in str(table.getRowAtIndex(row).getElt(0, 0))]
    assert missing == list(range(26, 35))
    # A TRC file's go on its first line, which OpenSim passes over.
    line = out.read_text().split("\n")[0].split("\t")[4:] if suffix == ".trc" else ()
    fields = dict(field.split("=", 1) for field in line) or {
        key: table.getTableMetaDataAsString(key) for key in ("started_ns", "monotonic_ns", "marks")}
    assert fields == {"started_ns": str(STARTED_NS), "monotonic_ns": str(MONOTONIC_NS),
                      "marks": json.dumps(MARKS, separators=(",", ":"))}  # fmt: skip


@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".h5", "pandas"])
def test_tables_keep_both_start_times_and_the_marks(recording: Path, tmp_path: Path, suffix: str):
    out = tmp_path / f"session{suffix}"
    if suffix == "pandas":
        with RecordingReader(recording) as reader:
            found = next(iter(reader.to_pandas().values())).attrs
    else:
        export(recording, out)
    if suffix == ".csv":
        found = json.loads(out.with_suffix(".json").read_text())
    elif suffix == ".parquet":  # texts, as Parquet's metadata are
        schema = pytest.importorskip("pyarrow.parquet").read_schema(
            tmp_path / "session_body_landmarks.parquet")  # fmt: skip
        found = {key.decode(): json.loads(value) for key, value in schema.metadata.items()
                 if key.decode().endswith(("_ns", "marks"))}  # fmt: skip
    elif suffix == ".h5":
        with pytest.importorskip("h5py").File(out) as file:
            found = {**file.attrs, "marks": json.loads(file.attrs["marks"])}
    assert {key: found[key] for key in ("started_ns", "monotonic_ns", "marks")} == {
        "started_ns": STARTED_NS, "monotonic_ns": MONOTONIC_NS, "marks": MARKS}  # fmt: skip


@pytest.mark.parametrize(
    ("frames", "out", "code", "says"),
    [
        ({"ticks": range(0)}, "x.c3d", 1, "the recording has no frames"),
        ({"kinds": slice(6, 7)}, "x.trc", 1, "no frames of body_landmarks, hand_landmarks"),
        ({"ticks": range(1)}, "x.mot", 1, "too few frames to measure the frame rate"),
        ({}, "x.c3d", 2, "needs ezc3d: pip install 'quorl-sdk[c3d]'"),
    ],
)
def test_export_says_in_one_line_what_it_cannot_write(
    tmp_path, frames, out, code, says, monkeypatch, capsys
) -> None:
    """No frames, none of the format's or one only: a failed run; a missing extra: usage."""
    if code == 2:
        monkeypatch.setitem(__import__("sys").modules, "ezc3d", None)
    path = write_recording(tmp_path / "r.qrec", **frames)
    assert cli.main(["export", str(path), str(tmp_path / out)]) == code
    error = capsys.readouterr().err
    assert error.count("\n") == 1 and says in error, error
    assert not list(tmp_path.glob("x*"))
