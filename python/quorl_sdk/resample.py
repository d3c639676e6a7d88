"""Tables put on other times: one uniform clock, or the times of another device.

Frames arrive when the network delivers them, not on a clock. :func:`resample`
puts a table on the times you give: landmarks and angles by linear
interpolation, quaternions by spherical linear interpolation (SLERP), each
value from the two frames that surround the time. Nothing is invented across
a gap: a time whose surrounding frames straddle a lost connection (a mark of
the recording) or lie more than ``max_gap`` seconds apart, and a time before
the first frame or after the last, gets NaN.

:func:`on_clock` does this for a whole recording at once, on the uniform
clock of :func:`clock`; the C3D and OpenSim exports are built on it.

Needs numpy (``pip install 'quorl-sdk[numpy]'``).
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any, NamedTuple

from quorl_sdk._extras import require
from quorl_sdk.export import NoFramesError, StreamKey, Table
from quorl_sdk.frames import FrameKind
from quorl_sdk.recording import MarkKind

if TYPE_CHECKING:
    import numpy
    import numpy.typing

    from quorl_sdk.recording import Mark, RecordingReader

    Array = numpy.typing.NDArray[numpy.float64]

__all__ = [
    "MAX_GAP",
    "OnClock",
    "clock",
    "measured_rate",
    "on_clock",
    "resample",
]

#: Frames further apart than this, in seconds, are not interpolated between.
MAX_GAP = 0.1
_EXTRA = "numpy"
_QUATERNION_KINDS = (FrameKind.BODY_QUATERNIONS, FrameKind.HAND_QUATERNIONS)


def _numpy() -> Any:
    return require("numpy", _EXTRA, "resampling")


def resample(
    table: Table,
    times: Array,
    kind: FrameKind,
    *,
    marks: Iterable[Mark | float] = (),
    max_gap: float = MAX_GAP,
) -> Table:
    """Returns ``table`` put on ``times`` (seconds, on the table's clock).

    Quaternion kinds are interpolated by SLERP, every other kind linearly;
    a time with no frame at or on both sides of it within one stretch of
    frames gets NaN.

    Args:
        table: the frames, ``time`` ascending.
        times: the times to put them on.
        kind: the kind of the frames, which picks the interpolation.
        marks: marks (or their times in seconds) that end a stretch of
            frames, such as :meth:`quorl_sdk.recording.RecordingReader.marks`.
        max_gap: frames further apart than this, in seconds, end a stretch.
    """
    np = _numpy()
    times = np.asarray(times, dtype="float64")
    time, values = table.time, table.values
    count = len(time)
    shape = (len(times), *values.shape[1:])
    if count == 0:
        return Table(times, np.full(shape, np.nan))
    left = np.clip(np.searchsorted(time, times, side="right") - 1, 0, count - 1)
    right = np.minimum(left + 1, count - 1)
    exact = time[left] == times
    spans = _stretch_ends(time, marks, max_gap)
    inside = (times > time[left]) & (left < count - 1) & ~spans[left]
    span = time[right] - time[left]
    weight = np.where(inside, (times - time[left]) / np.where(span > 0, span, 1.0), 0.0)
    before, after = values[left], values[right]
    # Recorded infinities and zero quaternions blend into NaN, as they should, without a warning.
    with np.errstate(invalid="ignore", divide="ignore"):
        if kind in _QUATERNION_KINDS:
            blended = _slerp(before, after, weight)
        else:
            blended = before + (after - before) * _broadcast(weight, before)
    result = np.where(_broadcast(exact, before), before, blended)
    result[~(exact | inside)] = np.nan
    return Table(times, result)


def _broadcast(per_row: Array, like: Array) -> Array:
    return per_row.reshape(per_row.shape + (1,) * (like.ndim - 1))


def _stretch_ends(time: Array, marks: Iterable[Mark | float], max_gap: float) -> Array:
    """Returns, per frame, whether the stretch of frames it belongs to ends after it."""
    np = _numpy()
    ends = np.zeros(len(time), dtype=bool)
    ends[:-1] = np.diff(time) > max_gap
    for mark in marks:
        # A loss stands at the last frame of a connection; a reconnection before the first
        # frame of the next, so at the same instant as that frame it cuts before it.
        before = getattr(mark, "kind", None) == MarkKind.RECONNECTED
        at = getattr(mark, "time", mark)
        cut = int(np.searchsorted(time, at, side="left" if before else "right")) - 1
        if cut >= 0:
            ends[cut] = True
    ends[-1:] = True
    return ends  # type: ignore[no-any-return]


def _slerp(before: Array, after: Array, weight: Array) -> Array:
    np = _numpy()
    dot = np.sum(before * after, axis=-1, keepdims=True)
    # The nearer of the two quaternions of the same rotation: the short way round.
    after = np.where(dot < 0, -after, after)
    dot = np.clip(np.abs(dot), 0.0, 1.0)
    angle = np.arccos(dot)
    sine = np.sin(angle)
    w = _broadcast(weight, before)
    near = sine < 1e-9
    safe = np.where(near, 1.0, sine)
    a = np.where(near, 1.0 - w, np.sin((1.0 - w) * angle) / safe)
    b = np.where(near, w, np.sin(w * angle) / safe)
    blended = a * before + b * after
    return blended / np.linalg.norm(blended, axis=-1, keepdims=True)  # type: ignore[no-any-return]


def measured_rate(tables: Mapping[StreamKey, Table], max_gap: float = MAX_GAP) -> float:
    """Returns the frame rate of the busiest stream in Hz, to 0.1 Hz: the inverse of
    its mean spacing, gaps longer than ``max_gap`` left out.

    The mean, unlike the median, is not thrown by frames that arrive in
    bunches: an early arrival shortens one spacing as much as it lengthens
    the next.

    Raises:
        quorl_sdk.export.NoFramesError: no stream has two frames at different times.
    """
    np = _numpy()
    spacings = [np.diff(table.time) for table in tables.values()]
    busiest = max((spacing[spacing <= max_gap] for spacing in spacings), key=len, default=None)
    if busiest is None or not busiest.sum() > 0:
        raise NoFramesError("too few frames to measure the frame rate: give the rate")
    return round(1.0 / float(busiest.mean()), 1)


def clock(tables: Mapping[StreamKey, Table], rate: float) -> Array:
    """Returns the uniform times, multiples of ``1 / rate`` seconds, from the first frame
    of any table to the last."""
    np = _numpy()
    frames = [table.time for table in tables.values() if len(table.time)]
    if not frames:
        return np.zeros(0)  # type: ignore[no-any-return]
    # + 0.0: a first time of -0.0 would be written "-0.0".
    first = np.ceil(min(float(t[0]) for t in frames) * rate - 1e-9) + 0.0
    last = np.floor(max(float(t[-1]) for t in frames) * rate + 1e-9)
    return np.arange(first, last + 1) / rate  # type: ignore[no-any-return]


class OnClock(NamedTuple):
    """A recording's tables on one uniform clock.

    Attributes:
        rate: the clock's rate in Hz.
        times: seconds from the start of the recording, ``k / rate``.
        tables: per (kind, side) of the recording, its values on ``times``.
    """

    rate: float
    times: Array
    tables: dict[StreamKey, Table]


def on_clock(
    recording: RecordingReader,
    kinds: Iterable[FrameKind] = tuple(FrameKind),
    rate: float | None = None,
    *,
    max_gap: float = MAX_GAP,
) -> OnClock:
    """Returns the tables of ``kinds`` of ``recording`` resampled on one uniform clock.

    Args:
        recording: the recording.
        kinds: the kinds wanted; the recording's other frames are left out.
        rate: the clock's rate in Hz; by default :func:`measured_rate` of the
            frames of ``kinds``.
        max_gap: as :func:`resample`.

    Raises:
        quorl_sdk.export.NoFramesError: the recording has no frames of ``kinds``, or too few
            to measure the rate when none is given.
        ValueError: ``rate`` is not a positive number.
    """
    wanted = set(kinds)
    tables = {key: table for key, table in recording.to_numpy().items() if key[0] in wanted}
    if not tables:
        names = ", ".join(sorted(kind.name.lower() for kind in wanted))
        raise NoFramesError(f"{recording.path}: the recording has no frames of {names}")
    if rate is None:
        rate = measured_rate(tables, max_gap)
    if not rate > 0:
        raise ValueError(f"the rate must be a positive number of Hz, not {rate}")
    times = clock(tables, rate)
    marks = list(recording.marks())
    resampled = {
        key: resample(table, times, key[0], marks=marks, max_gap=max_gap)
        for key, table in tables.items()
    }
    return OnClock(rate, times, resampled)
