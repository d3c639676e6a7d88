"""Tables put on other times: interpolation by kind, gaps left empty, the measured rate."""

from __future__ import annotations

import math

import pytest

from quorl_sdk import FrameKind
from quorl_sdk.export import NoFramesError, Table
from quorl_sdk.recording import Mark, MarkKind
from quorl_sdk.resample import clock, measured_rate, resample

np = pytest.importorskip("numpy")

# A quarter turn about z, reached at 1 s, and the eighth of a turn halfway.
TURN = [[1.0, 0.0, 0.0, 0.0], [math.sqrt(0.5), 0.0, 0.0, math.sqrt(0.5)]]
EIGHTH = [math.cos(math.pi / 8), 0, 0, math.sin(math.pi / 8)]


def table(times: list[float], rows: list[list[float]], grouped: bool) -> Table:
    values = np.array(rows, dtype="float64")
    return Table(np.array(times), values[:, None, :] if grouped else values)


@pytest.mark.parametrize(
    ("kind", "rows", "halfway"),
    [
        (FrameKind.BODY_LANDMARKS, [[0, 0, 0, 1], [2, 4, 6, 0]], [1, 2, 3, 0.5]),
        (FrameKind.HAND_ISB_ANGLES, [[10.0] * 4, [20.0] * 4], [15.0] * 4),
        # SLERP: of unit length, where a straight blend would shrink; the short way round
        # also when the second is given as -q.
        (FrameKind.BODY_QUATERNIONS, TURN, EIGHTH),
        (FrameKind.HAND_QUATERNIONS, [TURN[0], [-c for c in TURN[1]]], EIGHTH),
    ],
)
def test_values_between_frames_follow_the_kind(kind, rows, halfway) -> None:
    source = table([0.0, 1.0], rows, kind.is_grouped)
    got = resample(source, np.array([0.0, 0.5, 1.0]), kind, max_gap=1).values.reshape(3, -1)
    assert got[1] == pytest.approx(halfway, abs=1e-12)
    assert np.abs(got[[0, 2]]) == pytest.approx(np.abs(np.array(rows, dtype=float)))


@pytest.mark.parametrize(
    ("times", "marks", "known"),
    [
        ([-0.1, 0.0, 0.4, 0.7, 1.1], (), [False, True, True, True, False]),  # no extrapolation
        ([0.0, 0.25, 0.5, 0.75, 1.0], [0.5], [True, True, True, False, True]),  # lost at 0.5
        ([0.0, 0.25, 0.5], [0.3], [True, False, True]),  # reconnected before the next frame
        ([0.25, 0.5, 0.75], [Mark(MarkKind.RECONNECTED, 500_000_000, 0)], [False, True, True]),
    ],
)
def test_nothing_is_invented_across_a_gap(times, marks, known) -> None:
    """Frames at 0, 0.5 and 1 s; a mark cuts between two, and an exact frame stays."""
    source = table([0.0, 0.5, 1.0], [[0.0], [1.0], [2.0]], grouped=False)
    got = resample(source, np.array(times), FrameKind.BODY_ISB_ANGLES, marks=marks, max_gap=1)
    assert (~np.isnan(got.values[:, 0])).tolist() == known
    spaced = resample(source, np.array(times), FrameKind.BODY_ISB_ANGLES, max_gap=0.4)
    assert np.isnan(spaced.values[:, 0]).sum() == len(times) - np.isin(times, [0, 0.5, 1]).sum()


def test_the_rate_is_measured_through_bunched_frames_and_gaps() -> None:
    """Frames of 120 Hz, every other one late by most of a tick, then a second without any."""
    ticks = np.arange(242) / 120
    arrivals = np.where(np.arange(242) % 2, ticks + 0.9 / 120, ticks)
    arrivals[121:] += 1.0
    tables = {(FrameKind.BODY_LANDMARKS, None): Table(arrivals, np.zeros((242, 1)))}
    assert measured_rate(tables) == 120.0
    times = clock(tables, 120.0)
    assert times[0] == 0 and times[-1] == pytest.approx(361 / 120) and np.diff(times).std() < 1e-12
    with pytest.raises(NoFramesError):
        measured_rate({(FrameKind.BODY_LANDMARKS, None): Table(np.zeros(1), np.zeros((1, 1)))})
