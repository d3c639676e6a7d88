"""Recordings as tables: numpy arrays, pandas data frames, and CSV, Parquet and HDF5 files.

A recording becomes one table per (kind, side) of frame, in arrival order:
a ``time`` column (seconds from the start of the recording, on the monotonic
clock) and one column per value, named by the skeleton
(:mod:`quorl_sdk.skeleton`; ``nose_x`` is component x of the nose landmark,
``trunk_flexion`` an angle). Tables are named
``body_landmarks``, ``hand_landmarks_side0`` and so on (:func:`table_name`).

==========  ===========================================================
suffix      what :func:`export` writes
==========  ===========================================================
``.csv``    one file per table beside OUT: ``OUT-STEM_TABLE.csv``
``.parquet``  one file per table beside OUT: ``OUT-STEM_TABLE.parquet``
``.h5``     one HDF5 file OUT with one table (a compound dataset) per
``.hdf5``   (kind, side), its kind and side as attributes
``.c3d``    landmarks as points and angles as analog channels, on one
            uniform clock (:mod:`quorl_sdk.c3d`)
``.trc``    landmarks, on one uniform clock (:mod:`quorl_sdk.opensim`)
``.mot``    angles, on one uniform clock
``.sto``    quaternions, on one uniform clock
==========  ===========================================================

Every format keeps both start times of the recording, on the wall clock and
on the monotonic clock, and its lost/reconnected marks (:func:`metadata`):
CSV in a sidecar ``OUT-STEM.json``, Parquet in each file's schema metadata,
HDF5 in the file's attributes, the others in their headers or parameters.

Values are copied from the recorded bytes, never computed: numpy arrays,
data frames, Parquet and HDF5 keep every value bit for bit (NaN payloads,
negative zero, infinities, subnormals). CSV writes each value as the
shortest text that reads back as the same binary64 (``repr``); NaN is
written ``nan``, its payload lost, as CSV has no way to say it.

numpy, pandas, pyarrow and h5py are optional: ``pip install
'quorl-sdk[export]'``. Each is imported when first needed; a missing one
raises :class:`quorl_sdk._extras.MissingExtraError` (an ImportError) naming
the extra.
"""

from __future__ import annotations

import csv
import json
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any, NamedTuple

from quorl_sdk._extras import require
from quorl_sdk.recording import RecordingReader, StreamKey, Table, table_attributes
from quorl_sdk.skeleton import DEFAULT, Skeleton

__all__ = [
    "FORMATS",
    "NoFramesError",
    "Settings",
    "StreamKey",
    "Table",
    "UnknownFormatError",
    "data_frames",
    "export",
    "metadata",
    "metadata_texts",
    "table_name",
    "tables",
]

PathLike = str | os.PathLike[str]
_EXTRA = "export"


class UnknownFormatError(ValueError):
    """The suffix of an output file names no format :func:`export` writes."""


class NoFramesError(ValueError):
    """A recording has no frames, or too few of those a format holds."""


def table_name(key: StreamKey) -> str:
    """Returns the name of the table of ``key``: ``body_landmarks``, ``hand_landmarks_side0``."""
    kind, side = key
    name = kind.name.lower()
    return name if side is None else f"{name}_side{side}"


def tables(recording: RecordingReader) -> dict[StreamKey, Table]:
    """Returns one :class:`Table` per (kind, side): :meth:`RecordingReader.to_numpy`.

    Raises:
        quorl_sdk.recording.RecordingError: the file is damaged or a stored frame is invalid.
        OSError: the file cannot be read.
        MissingExtraError: numpy is not installed.
    """
    return recording.to_numpy()


def data_frames(recording: RecordingReader, skeleton: Skeleton = DEFAULT) -> dict[StreamKey, Any]:
    """Returns one ``pandas.DataFrame`` per (kind, side): :meth:`RecordingReader.to_pandas`.

    Raises:
        quorl_sdk.recording.RecordingError, OSError: as :func:`tables`.
        MissingExtraError: pandas is not installed.
    """
    return recording.to_pandas(skeleton)


class Settings(NamedTuple):
    """What an export may be asked beyond its files.

    Attributes:
        skeleton: names the points and columns of the formats that use names.
        rate: the rate in Hz of the uniform clock of the formats written on
            one; None measures it from the recording.
    """

    skeleton: Skeleton = DEFAULT
    rate: float | None = None


def metadata(recording: RecordingReader) -> dict[str, Any]:
    """Returns what every export keeps of a recording beside its frames:
    :meth:`RecordingReader.metadata`."""
    return recording.metadata()


def metadata_texts(recording: RecordingReader) -> dict[str, str]:
    """Returns :func:`metadata` as texts, for formats whose metadata are strings:
    ``monotonic_ns`` empty when unknown, ``marks`` as JSON."""
    found = metadata(recording)
    monotonic = found["monotonic_ns"]
    return {
        "started_ns": str(found["started_ns"]),
        "monotonic_ns": "" if monotonic is None else str(monotonic),
        "marks": json.dumps(found["marks"], separators=(",", ":")),
    }


# Files.


def _per_table_paths(out: Path, found: dict[StreamKey, Table]) -> dict[StreamKey, Path]:
    return {key: out.with_name(f"{out.stem}_{table_name(key)}{out.suffix}") for key in found}


def _write_csv(out: Path, recording: RecordingReader, settings: Settings) -> list[Path]:
    found = tables(recording)
    paths = _per_table_paths(out, found)
    for key, table in found.items():
        with open(paths[key], "w", newline="") as file:
            writer = csv.writer(file)
            writer.writerow(["time", *settings.skeleton.columns(key[0])])
            # tolist() gives Python floats, whose repr is the shortest text of the same binary64.
            for row in table.columns().tolist():
                writer.writerow([repr(value) for value in row])
    # The sidecar last: a table that cannot be written is the first fault named.
    sidecar = out.with_suffix(".json")
    sidecar.write_text(json.dumps(metadata(recording)) + "\n")
    return [*paths.values(), sidecar]


def _write_parquet(out: Path, recording: RecordingReader, settings: Settings) -> list[Path]:
    pa = require("pyarrow", _EXTRA, "exporting to Parquet")
    parquet = require("pyarrow.parquet", _EXTRA, "exporting to Parquet")
    found = tables(recording)
    paths = _per_table_paths(out, found)
    for key, table in found.items():
        names = ["time", *settings.skeleton.columns(key[0])]
        data = table.columns()
        attributes = table_attributes(key, recording.started_ns)
        texts = {name: str(value) for name, value in attributes.items()}
        texts.update(metadata_texts(recording))
        arrow = pa.table({name: data[:, index] for index, name in enumerate(names)})
        arrow = arrow.replace_schema_metadata(texts)
        # Dictionary encoding would hash values and could fold NaNs of different payloads.
        parquet.write_table(arrow, paths[key], use_dictionary=False)
    return list(paths.values())


def _write_hdf5(out: Path, recording: RecordingReader, settings: Settings) -> list[Path]:
    h5py = require("h5py", _EXTRA, "exporting to HDF5")
    np = require("numpy", _EXTRA, "exporting to HDF5")
    found = tables(recording)
    with h5py.File(out, "w") as file:
        for name, value in metadata(recording).items():
            # HDF5 has no null; marks are a list of pairs of mixed types, kept as JSON.
            if value is not None:
                file.attrs[name] = json.dumps(value) if name == "marks" else value
        for key, table in found.items():
            names = ["time", *settings.skeleton.columns(key[0])]
            rows = np.ascontiguousarray(table.columns())
            compound = rows.view(np.dtype([(name, "<f8") for name in names])).reshape(-1)
            dataset = file.create_dataset(table_name(key), data=compound)
            for name, value in table_attributes(key, recording.started_ns).items():
                dataset.attrs[name] = value
    return [out]


def _write_c3d(out: Path, recording: RecordingReader, settings: Settings) -> list[Path]:
    from quorl_sdk import c3d

    return c3d.write(out, recording, settings)


def _opensim_writer(suffix: str) -> Callable[[Path, RecordingReader, Settings], list[Path]]:
    def write(out: Path, recording: RecordingReader, settings: Settings) -> list[Path]:
        from quorl_sdk import opensim

        return opensim.WRITERS[suffix](out, recording, settings)

    return write


#: The writer of each file suffix.
FORMATS: dict[str, Callable[[Path, RecordingReader, Settings], list[Path]]] = {
    ".csv": _write_csv,
    ".parquet": _write_parquet,
    ".h5": _write_hdf5,
    ".hdf5": _write_hdf5,
    ".c3d": _write_c3d,
    **{suffix: _opensim_writer(suffix) for suffix in (".trc", ".mot", ".sto")},
}


def export(
    recording: PathLike, out: PathLike, *, skeleton: Skeleton = DEFAULT, rate: float | None = None
) -> list[Path]:
    """Writes the tables of the recording at ``recording`` in the format of ``out``'s suffix.

    Returns the files written. ``skeleton`` names the points and columns of
    C3D and OpenSim files, and ``rate`` (Hz) sets their clock (by default,
    the recording's frame rate).

    Raises:
        UnknownFormatError: the suffix of ``out`` is none of :data:`FORMATS`.
        NoFramesError: the recording has no frames, none of those the format
            holds, or too few to measure its rate.
        quorl_sdk.recording.RecordingError: the recording is unreadable.
        OSError: a file cannot be read or written.
        MissingExtraError: a library the format needs is not installed.
    """
    path = Path(out)
    writer = FORMATS.get(path.suffix.lower())
    if writer is None:
        known = ", ".join(FORMATS)
        raise UnknownFormatError(f"cannot tell the format of {out}: its suffix is none of {known}")
    # Reading the tables needs numpy: say which extra brings it for exporting.
    require("numpy", _EXTRA, "exporting a recording")
    with RecordingReader(recording) as reader:
        if reader.frame_count() == 0:
            raise NoFramesError(f"{reader.path}: the recording has no frames")
        return writer(path, reader, Settings(skeleton, rate))
