"""Recordings as C3D files, through ``ezc3d`` (``pip install 'quorl-sdk[c3d]'``).

Every landmark of the body and of both hands becomes a named point (the
skeleton's names, hand points prefixed with the side's name), on one uniform
clock: the recording's frame rate, or the rate given
(:func:`quorl_sdk.resample.on_clock`). A point at a time with no frame on
either side within a stretch, around a lost connection or a long pause, is
invalid: residual -1 and no coordinates, as C3D marks a point not seen.
Nothing is interpolated across a gap.

The angles and the landmarks' visibilities become analog channels at the
point rate (one sample per frame): the angles first, named as in the
skeleton with the side's name before hand angles and in its unit
(``ANALOG:UNITS``), then one channel ``POINT_visibility`` per point. Scale 1,
offset 0: the channels hold the values themselves.

``POINT:UNITS`` holds the landmarks' unit. The group ``QUORL`` holds the
rest: ``STARTED_NS`` and ``MONOTONIC_NS``, the start times
(:func:`quorl_sdk.export.metadata`, as text, since C3D numbers are 16-bit
integers or 32-bit floats); ``START_TIME``, the seconds from the start of
the recording to the first frame of the file; ``MARKS``, one ``kind@time_ns``
text per lost/reconnected mark; ``SKELETON`` and ``AXES``, the skeleton's
name and axis convention. A C3D text holds at most 255 characters and a
parameter at most 255 texts: a longer text is split into several, and marks
past the 255th go on in ``MARKS2``, ``MARKS3`` and so on, as C3D continues
``POINT:LABELS`` in ``LABELS2``.
"""

from __future__ import annotations

import textwrap
from pathlib import Path
from typing import Any

from quorl_sdk import _named
from quorl_sdk._extras import require
from quorl_sdk.export import Settings, metadata
from quorl_sdk.recording import RecordingReader
from quorl_sdk.resample import on_clock

__all__ = ["GROUP", "write"]

#: The parameter group of what C3D has no parameter of its own for.
GROUP = "QUORL"
_EXTRA = "c3d"
# A dimension of a C3D parameter is one byte.
_MOST = 255


def write(out: Path, recording: RecordingReader, settings: Settings) -> list[Path]:
    """Writes ``recording`` to the C3D file ``out``; returns ``[out]``.

    Raises:
        quorl_sdk.export.NoFramesError: no landmark or angle frames, or too
            few to measure the rate.
        MissingExtraError: ezc3d is not installed.
        OSError: the file cannot be written.
    """
    ezc3d = require("ezc3d", _EXTRA, "exporting to C3D")
    np = require("numpy", _EXTRA, "exporting to C3D")
    skeleton = settings.skeleton
    data = on_clock(recording, _named.LANDMARKS + _named.ANGLES, settings.rate)
    points, landmarks = _named.stack(data, skeleton, _named.LANDMARKS)
    angle_names, angles = _named.stack(data, skeleton, _named.ANGLES)
    xyz = landmarks[:, :, _named.components(skeleton, _named.LANDMARKS, "xyz")]
    visibility = landmarks[:, :, _named.components(skeleton, _named.LANDMARKS, "v")[0]]
    frames = len(data.times)

    c3d: Any = ezc3d.c3d()
    c3d["parameters"]["POINT"]["RATE"]["value"] = [data.rate]
    c3d["parameters"]["POINT"]["LABELS"]["value"] = list(points)
    c3d["parameters"]["ANALOG"]["RATE"]["value"] = [data.rate]
    channels = [*angle_names, *(f"{point}_visibility" for point in points)]
    c3d["parameters"]["ANALOG"]["LABELS"]["value"] = channels
    seen = ~np.isnan(xyz).any(axis=2).T  # (points, frames)
    coordinates = np.where(seen[None], xyz.transpose(2, 1, 0), 0.0)
    c3d["data"]["points"] = np.concatenate([coordinates, np.ones((1, len(points), frames))])
    c3d["data"]["meta_points"]["residuals"] = np.where(seen, 0.0, -1.0)[None]
    analogs = np.concatenate([angles, visibility], axis=1).T
    c3d["data"]["analogs"] = analogs[None].reshape(1, len(channels), frames)
    if points:
        c3d.add_parameter("POINT", "UNITS", [_named.unit(skeleton, _named.LANDMARKS)])
    if channels:
        units = [skeleton.layout(_named.ANGLES[0]).unit] * len(angle_names) + [""] * len(points)
        c3d.add_parameter("ANALOG", "UNITS", units)
        c3d.add_parameter("ANALOG", "SCALE", [1.0] * len(channels))
        c3d.add_parameter("ANALOG", "OFFSET", [0] * len(channels))
    for name, value in _parameters(recording, settings, float(data.times[0])).items():
        for number, part in enumerate(_parts(value)):
            c3d.add_parameter(GROUP, f"{name}{number + 1 if number else ''}", part)
    c3d.write(str(out))
    return [out]


def _parameters(
    recording: RecordingReader, settings: Settings, start: float
) -> dict[str, list[str]]:
    found = metadata(recording)
    monotonic = found["monotonic_ns"]
    return {
        "STARTED_NS": [str(found["started_ns"])],
        "MONOTONIC_NS": ["" if monotonic is None else str(monotonic)],
        "START_TIME": [repr(start)],
        # An empty list is no C3D value: no marks is one empty text.
        "MARKS": [f"{kind}@{time_ns}" for kind, time_ns in found["marks"]] or [""],
        "SKELETON": textwrap.wrap(settings.skeleton.name, _MOST) or [""],
        "AXES": textwrap.wrap(settings.skeleton.axes, _MOST) or [""],
    }


def _parts(texts: list[str]) -> list[list[str]]:
    """Returns ``texts`` in parameters of at most as many texts as C3D allows."""
    return [texts[start : start + _MOST] for start in range(0, len(texts), _MOST)]
