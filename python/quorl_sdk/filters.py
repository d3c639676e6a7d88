"""Smoothing: a One Euro filter for live frames, a zero-lag Butterworth filter for recordings.

:class:`OneEuroFilter` smooths as frames come, with little lag when they
move fast and much smoothing when they hold still: give it frames
(:meth:`~OneEuroFilter.frame`) or the batches of ``Client.pull()``
(:meth:`~OneEuroFilter.pull`). It keeps one state per stream, a (kind,
side), so one filter serves a whole client. :func:`butterworth` filters a
table forwards and backwards (no lag) and needs scipy (``pip install
'quorl-sdk[filters]'``); give it a table on a uniform clock, as
:func:`quorl_sdk.resample.resample` makes.

Quaternions are filtered component by component, each first put on the
hemisphere of the one before it (``q`` and ``-q`` are the same rotation),
and come out of unit length. A NaN value comes out NaN and leaves the
filter's state as it was.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

from quorl_sdk._extras import require
from quorl_sdk.export import StreamKey, Table
from quorl_sdk.frames import FrameKind

if TYPE_CHECKING:
    import numpy
    import numpy.typing

    Array = numpy.typing.NDArray[numpy.float64]

__all__ = ["OneEuroFilter", "butterworth"]

_QUATERNION_KINDS = (FrameKind.BODY_QUATERNIONS, FrameKind.HAND_QUATERNIONS)


def _numpy() -> Any:
    return require("numpy", "numpy", "filtering")


def _unit(values: Array) -> Array:
    np = _numpy()
    return values / np.linalg.norm(values, axis=-1, keepdims=True)  # type: ignore[no-any-return]


class _State:
    __slots__ = ("time", "value", "rate")

    def __init__(self, time: float, value: Array, rate: Array) -> None:
        self.time, self.value, self.rate = time, value, rate


class OneEuroFilter:
    """A One Euro filter: a low-pass filter whose cutoff rises with the speed of the values.

    The cutoff is ``min_cutoff + beta * |speed|`` Hz, the speed itself
    low-passed at ``d_cutoff`` Hz. Lower ``min_cutoff`` for less jitter at
    rest, raise ``beta`` for less lag in fast motion.

    Args:
        min_cutoff: the cutoff at rest, in Hz.
        beta: how much the cutoff rises per unit of speed (value units per second).
        d_cutoff: the cutoff of the speed estimate, in Hz.

    Raises:
        ValueError: a cutoff is not positive or ``beta`` is negative.
    """

    def __init__(self, min_cutoff: float = 1.0, beta: float = 0.0, d_cutoff: float = 1.0) -> None:
        if not (min_cutoff > 0 and d_cutoff > 0 and beta >= 0):
            raise ValueError(
                f"the cutoffs must be positive and beta not negative, not min_cutoff={min_cutoff}, "
                f"beta={beta}, d_cutoff={d_cutoff}"
            )
        self.min_cutoff, self.beta, self.d_cutoff = min_cutoff, beta, d_cutoff
        self._states: dict[StreamKey, _State] = {}

    def reset(self) -> None:
        """Forgets every stream: the next values of each pass unfiltered."""
        self._states.clear()

    def frame(self, frame: Any) -> Array:
        """Returns the values of one frame filtered, shaped as ``frame.to_numpy()``."""
        values = self.filter(frame.kind, frame.side, [frame.time], frame.to_numpy()[None])
        return values[0]  # type: ignore[no-any-return]

    def pull(self, batches: dict[StreamKey, Any]) -> dict[StreamKey, Array]:
        """Returns the values of each batch of ``Client.pull()`` filtered, by stream."""
        return {
            key: self.filter(batch.kind, batch.side, batch.time, batch.values)
            for key, batch in batches.items()
        }

    def filter(self, kind: FrameKind, side: int | None, times: Any, values: Any) -> Array:
        """Returns ``values`` (one row per time, times ascending in seconds) of the stream
        ``(kind, side)`` filtered, continuing from its earlier calls."""
        np = _numpy()
        values = np.array(values, dtype="float64")
        quaternions = kind in _QUATERNION_KINDS
        key = (kind, side)
        for row, time in enumerate(np.asarray(times, dtype="float64").tolist()):
            state = self._states.get(key)
            value = values[row]
            if state is None:
                start = _unit(value) if quaternions else value.copy()
                self._states[key] = _State(time, start, np.zeros_like(value))
                values[row] = start
                continue
            if quaternions:
                dot = np.sum(value * state.value, axis=-1, keepdims=True)
                value = np.where(dot < 0, -value, value)
            values[row] = self._step(state, time, value, quaternions)
        return values  # type: ignore[no-any-return]

    def _step(self, state: _State, time: float, value: Array, quaternions: bool) -> Array:
        np = _numpy()
        elapsed = time - state.time
        if not elapsed > 0:
            # A frame at the same instant carries no news of speed: keep the estimate.
            return np.where(np.isnan(value), np.nan, state.value)  # type: ignore[no-any-return]
        # A state that has only seen NaN takes the first number as it comes.
        unseen = np.isnan(state.value)
        rate = (value - state.value) / elapsed
        rate = np.where(unseen, 0.0, rate)
        smoothed_rate = state.rate + _alpha(self.d_cutoff, elapsed) * (rate - state.rate)
        cutoff = self.min_cutoff + self.beta * np.abs(smoothed_rate)
        smoothed = state.value + _alpha(cutoff, elapsed) * (value - state.value)
        smoothed = np.where(unseen, value, smoothed)
        if quaternions:
            smoothed = _unit(smoothed)
        known = ~np.isnan(value)
        state.value = np.where(known, smoothed, state.value)
        state.rate = np.where(known, smoothed_rate, state.rate)
        state.time = time
        return smoothed  # type: ignore[no-any-return]


def _alpha(cutoff: Any, elapsed: float) -> Any:
    """The weight of a new value in a first-order low-pass at ``cutoff`` Hz."""
    return 1.0 / (1.0 + 1.0 / (2 * math.pi * cutoff * elapsed))


def butterworth(table: Table, kind: FrameKind, cutoff: float, *, order: int = 2) -> Table:
    """Returns ``table`` low-passed at ``cutoff`` Hz, forwards then backwards: no lag.

    The rate is the table's, from its mean spacing; the effective order is
    twice ``order``. Each stretch of numbers between NaNs is filtered on its
    own, so a gap spreads into nothing; a stretch of fewer than two values
    is left as it is.

    Raises:
        ValueError: ``cutoff`` is not below half the table's rate, or the
            table has fewer than two times.
        MissingExtraError: scipy is not installed.
    """
    np = _numpy()
    signal = require("scipy.signal", "filters", "Butterworth filtering")
    if len(table.time) < 2:
        raise ValueError("a table of fewer than two times has no rate to filter at")
    rate = (len(table.time) - 1) / float(table.time[-1] - table.time[0])
    if not 0 < cutoff < rate / 2:
        raise ValueError(
            f"the cutoff {cutoff} Hz must be above 0 and below half the rate {rate:g} Hz"
        )
    sections = signal.butter(order, cutoff, fs=rate, output="sos")
    values = np.array(table.values, dtype="float64")
    if kind in _QUATERNION_KINDS:
        values = _one_hemisphere(values)
    flat = values.reshape(len(values), -1)
    for column in flat.T:
        for start, stop in _stretches(np.isfinite(column)):
            if stop - start >= 2:
                padding = min(3 * (2 * len(sections) + 1), stop - start - 1)
                stretch = column[start:stop]
                column[start:stop] = signal.sosfiltfilt(sections, stretch, padlen=padding)
    if kind in _QUATERNION_KINDS:
        values = _unit(values)
    return Table(table.time, values)


def _one_hemisphere(values: Array) -> Array:
    """Flips each quaternion to the hemisphere of the one before it in time."""
    np = _numpy()
    previous = None
    for row in range(len(values)):
        current = values[row]
        if previous is not None:
            dot = np.sum(current * previous, axis=-1, keepdims=True)
            values[row] = np.where(dot < 0, -current, current)
        # Across a NaN the last number seen is what the next one should be near.
        seen = values[row]
        previous = seen if previous is None else np.where(np.isnan(seen), previous, seen)
    return values


def _stretches(finite: Array) -> list[tuple[int, int]]:
    np = _numpy()
    edges = np.diff(np.concatenate([[0], finite.astype("int8"), [0]]))
    return list(zip(np.flatnonzero(edges == 1).tolist(), np.flatnonzero(edges == -1).tolist()))
