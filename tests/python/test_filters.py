"""Smoothing live frames and recordings: One Euro per stream, zero-lag Butterworth."""

from __future__ import annotations

import math

import pytest

from quorl_sdk import FrameKind
from quorl_sdk.client import Batch
from quorl_sdk.export import Table
from quorl_sdk.filters import OneEuroFilter, butterworth

np = pytest.importorskip("numpy")

RATE = 100.0
TIMES = np.arange(400) / RATE
SINE = np.sin(2 * math.pi * 0.5 * TIMES)


def noisy(columns: int, seed: int = 0) -> object:
    return SINE[:, None] + np.random.default_rng(seed).normal(0, 0.05, (len(TIMES), columns))


def turns(angle: object) -> object:
    """Quaternions of turns by ``angle`` about z."""
    return np.stack([np.cos(angle), 0 * angle, 0 * angle, np.sin(angle)], axis=-1)


def test_one_euro_smooths_each_stream_on_its_own() -> None:
    """Batches of two streams interleaved give what each stream alone gives, and less noise."""
    left, right = noisy(21, 1), noisy(21, 2)
    together = OneEuroFilter(min_cutoff=2.0)
    got: dict[int, list[object]] = {0: [], 1: []}
    for part in (slice(0, 150), slice(150, None)):
        batches = {
            (FrameKind.HAND_ISB_ANGLES, side): Batch(
                FrameKind.HAND_ISB_ANGLES, side, TIMES[part], np.zeros(0), values[part]
            )
            for side, values in enumerate((left, right))
        }
        for (_, side), values in together.pull(batches).items():
            got[side].append(values)
    alone = OneEuroFilter(min_cutoff=2.0).filter(FrameKind.HAND_ISB_ANGLES, 0, TIMES, left)
    assert np.array_equal(np.concatenate(got[0]), alone)
    clean = np.broadcast_to(SINE[:, None], left.shape)
    smooth = OneEuroFilter(min_cutoff=2.0).filter(FrameKind.HAND_ISB_ANGLES, 0, TIMES, clean)
    assert np.std(alone - smooth) < np.std(left - clean) / 2


def test_one_euro_keeps_quaternions_unit_and_on_one_hemisphere() -> None:
    """Signs flipping between frames of one rotation do not flip the output; NaN passes."""
    q = np.broadcast_to(turns(np.linspace(0, 3, 13)), (20, 13, 4)).copy()
    q[1::2] *= -1
    q[5, 3] = np.nan
    got = OneEuroFilter().filter(FrameKind.BODY_QUATERNIONS, None, TIMES[:20], q)
    assert np.isnan(got[5, 3]).all() and not np.isnan(np.delete(got, 5, axis=0)).any()
    assert np.allclose(np.delete(got, 5, axis=0), q[0])


@pytest.mark.parametrize("kind", [FrameKind.BODY_ISB_ANGLES, FrameKind.HAND_QUATERNIONS])
def test_butterworth_has_no_lag_and_keeps_gaps(kind: FrameKind) -> None:
    pytest.importorskip("scipy")
    values, clean = noisy(16), np.broadcast_to(SINE[:, None], (len(TIMES), 16))
    if kind.is_grouped:  # noisy turns, of opposite sign every other row
        values, clean = turns(0.3 * values), turns(0.3 * clean)
        values[1::2] *= -1
    values[200:210] = np.nan
    got = butterworth(Table(TIMES, values), kind, 3.0).values
    assert np.isnan(got[200:210]).all() and not np.isnan(np.delete(got, range(200, 210), 0)).any()
    if kind.is_grouped:
        assert np.allclose(np.linalg.norm(got[:200], axis=-1), 1) and (got[:200, :, 0] > 0).all()
        got, clean = np.abs(got), np.abs(clean)
    error = np.abs(got[20:190] - clean[20:190]).max()
    assert error < 0.06  # filtered one way only, a lag of some 75 ms would make it 0.2


def test_butterworth_refuses_a_cutoff_past_half_the_rate() -> None:
    with pytest.raises(ValueError, match="below half the rate"):
        butterworth(Table(TIMES, noisy(2)), FrameKind.BODY_ISB_ANGLES, RATE / 2)
