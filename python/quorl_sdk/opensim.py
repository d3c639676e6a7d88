"""Recordings as OpenSim files: ``.trc`` landmarks, ``.mot`` angles, ``.sto`` quaternions.

Each file holds one stream kind of the recording, body then hand side 0
then side 1, on one uniform clock (:func:`quorl_sdk.resample.on_clock`):
the recording's frame rate, or the rate given. Names come from the
skeleton. A time with no frame on either side within a stretch (a lost
connection, a pause longer than :data:`quorl_sdk.resample.MAX_GAP`) is
written ``NaN``, which OpenSim reads as a missing value.

- ``.trc``: the landmarks as markers, x, y and z in the skeleton's unit
  (``Units``); the visibility is left out.
- ``.mot``: the angles in degrees (``inDegrees=yes``), one column each,
  hand angles prefixed with the side's name (``left_hand_wrist_flexion``).
- ``.sto``: quaternions in the layout that OpenSense reads for orientations
  (``DataType=Quaternion``, each cell ``w,x,y,z``), one column per segment.

The recording's start times and marks (:func:`quorl_sdk.export.metadata`)
are ``key=value`` lines in the header of ``.mot`` and ``.sto`` files, and
``key=value`` fields after the file name on the first line of a ``.trc``
file, where OpenSim's reader leaves them alone.

Writing needs numpy only; the files load in ``opensim.TimeSeriesTableVec3``,
``opensim.TimeSeriesTable`` and ``opensim.TimeSeriesTableQuaternion``.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from pathlib import Path

from quorl_sdk import _named
from quorl_sdk.export import Settings, metadata_texts
from quorl_sdk.recording import RecordingReader
from quorl_sdk.resample import OnClock, on_clock

__all__ = ["WRITERS", "write_mot", "write_sto", "write_trc"]


def _number(value: float) -> str:
    # repr is the shortest text of the same binary64; OpenSim spells NaN this way.
    return "NaN" if value != value else repr(value)


def _rows(data: OnClock, cells: Iterable[Sequence[str]]) -> list[str]:
    return [
        "\t".join((_number(time), *row)) for time, row in zip(data.times.tolist(), cells)
    ]


def write_trc(out: Path, recording: RecordingReader, settings: Settings) -> list[Path]:
    """Writes the landmarks of ``recording`` to the TRC file ``out``; returns ``[out]``."""
    data = on_clock(recording, _named.LANDMARKS, settings.rate)
    names, values = _named.stack(data, settings.skeleton, _named.LANDMARKS)
    unit = _named.unit(settings.skeleton, _named.LANDMARKS)
    frames, rate = len(data.times), _number(data.rate)
    extra = "\t".join(f"{key}={value}" for key, value in metadata_texts(recording).items())
    header = [
        f"PathFileType\t4\t(X/Y/Z)\t{out.name}\t{extra}",
        "DataRate\tCameraRate\tNumFrames\tNumMarkers\tUnits\tOrigDataRate"
        "\tOrigDataStartFrame\tOrigNumFrames",
        f"{rate}\t{rate}\t{frames}\t{len(names)}\t{unit}\t{rate}\t1\t{frames}",
        "\t".join(("Frame#", "Time", *(f"{name}\t\t" for name in names))),
        "\t".join(("", "", *(f"{c}{n}" for n in range(1, len(names) + 1) for c in "XYZ"))),
        "",
    ]
    xyz = values[:, :, _named.components(settings.skeleton, _named.LANDMARKS, "xyz")]
    cells = ([_number(v) for v in row] for row in xyz.reshape(frames, -1).tolist())
    rows = [f"{number}\t{row}" for number, row in enumerate(_rows(data, cells), start=1)]
    out.write_text("\n".join([*header, *rows]) + "\n")
    return [out]


def _write_table(
    out: Path,
    recording: RecordingReader,
    data: OnClock,
    names: Sequence[str],
    cells: Iterable[Sequence[str]],
    fields: dict[str, str],
) -> list[Path]:
    header = [
        out.stem,
        *(f"{key}={value}" for key, value in fields.items()),
        f"nRows={len(data.times)}",
        f"nColumns={len(names) + 1}",
        *(f"{key}={value}" for key, value in metadata_texts(recording).items()),
        "endheader",
        "\t".join(("time", *names)),
    ]
    out.write_text("\n".join([*header, *_rows(data, cells)]) + "\n")
    return [out]


def write_mot(out: Path, recording: RecordingReader, settings: Settings) -> list[Path]:
    """Writes the angles of ``recording`` to the MOT file ``out``; returns ``[out]``."""
    data = on_clock(recording, _named.ANGLES, settings.rate)
    names, values = _named.stack(data, settings.skeleton, _named.ANGLES)
    degrees = "yes" if _named.unit(settings.skeleton, _named.ANGLES) == "deg" else "no"
    cells = ([_number(v) for v in row] for row in values.tolist())
    fields = {"version": "1", "inDegrees": degrees}
    return _write_table(out, recording, data, names, cells, fields)


def write_sto(out: Path, recording: RecordingReader, settings: Settings) -> list[Path]:
    """Writes the quaternions of ``recording`` to the STO file ``out``; returns ``[out]``."""
    data = on_clock(recording, _named.QUATERNIONS, settings.rate)
    names, values = _named.stack(data, settings.skeleton, _named.QUATERNIONS)
    values = values[:, :, _named.components(settings.skeleton, _named.QUATERNIONS, "wxyz")]
    cells = (
        [",".join(_number(c) for c in quaternion) for quaternion in row] for row in values.tolist()
    )
    fields = {"version": "3", "DataRate": _number(data.rate), "DataType": "Quaternion"}
    return _write_table(out, recording, data, names, cells, fields)


#: The writer of each suffix.
WRITERS: dict[str, Callable[[Path, RecordingReader, Settings], list[Path]]] = {
    ".trc": write_trc,
    ".mot": write_mot,
    ".sto": write_sto,
}
