"""Frames as quorl_sdk presents them: FrameKind, Frame, groups of four, numpy arrays, decode_frame."""

from __future__ import annotations

import math
import struct
import subprocess
import sys
import textwrap

import numpy
import pytest
from support import DATA_KINDS, MSG_HAND_LANDMARKS, all_sample_frames, encode, value_count

import _quorl_sdk
import quorl_sdk
from quorl_sdk import Frame, FrameKind

# kind -> (hand frame, groups of four or None for single angles)
LAYOUT = {
    FrameKind.BODY_QUATERNIONS: (False, 13),
    FrameKind.BODY_LANDMARKS: (False, 19),
    FrameKind.HAND_QUATERNIONS: (True, 16),
    FrameKind.HAND_LANDMARKS: (True, 21),
    FrameKind.BODY_ISB_ANGLES: (False, None),
    FrameKind.HAND_ISB_ANGLES: (True, None),
}


def test_frame_kinds_are_the_six_type_bytes():
    """FrameKind is an IntEnum valued by type byte, with the wire's layout facts."""
    assert [int(kind) for kind in FrameKind] == list(DATA_KINDS) == [2, 3, 4, 5, 6, 7]
    for kind, (hand, groups) in LAYOUT.items():
        assert kind.is_hand is hand
        assert kind.is_grouped is (groups is not None)
        assert kind.value_count == value_count(kind) == (21 if groups is None else 4 * groups)
    assert FrameKind.BODY_ISB_ANGLES == _quorl_sdk.MSG_BODY_ISB_ANGLES
    assert FrameKind.HAND_ISB_ANGLES == _quorl_sdk.MSG_HAND_ISB_ANGLES


@pytest.mark.parametrize("data", all_sample_frames(), ids=lambda data: f"type{data[0]}")
def test_decode_frame_wraps_the_native_tuple(data):
    """decode_frame gives a Frame equal to the native tuple, with the very same values."""
    frame = quorl_sdk.decode_frame(data)
    assert isinstance(frame, Frame) and type(frame.kind) is FrameKind
    assert frame == _quorl_sdk.decode_frame(data)
    assert frame._fields == ("kind", "side", "values")
    assert type(frame.values) is list


@pytest.mark.parametrize("data", all_sample_frames(), ids=lambda data: f"type{data[0]}")
def test_groups_and_numpy_views_equal_the_flat_values(data):
    """groups() and to_numpy() hold the flat values in wire order, group by group."""
    frame = quorl_sdk.decode_frame(data)
    array = frame.to_numpy()
    assert array.dtype == numpy.float64
    assert array.ravel().tolist() == frame.values
    groups = LAYOUT[frame.kind][1]
    if groups is None:
        assert array.shape == (21,)
        with pytest.raises(ValueError, match="single angles"):
            frame.groups()
        return
    assert array.shape == (groups, 4)
    assert frame.groups() == [tuple(frame.values[4 * j : 4 * j + 4]) for j in range(groups)]
    assert array.tolist() == [list(group) for group in frame.groups()]


def test_special_values_keep_their_bits_through_every_view():
    """NaN with a payload, infinities and negative zero reach values, groups and arrays unchanged."""
    specials = [
        struct.unpack("<d", struct.pack("<Q", 0x7FF0_0000_DEAD_BEEF))[0],
        math.inf,
        -math.inf,
        -0.0,
    ]
    values = specials * 21
    data = encode(MSG_HAND_LANDMARKS, 1, values)
    frame = quorl_sdk.decode_frame(data)
    expected = data[2:]
    assert struct.pack(f"<{len(values)}d", *frame.values) == expected
    assert struct.pack(f"<{len(values)}d", *sum(frame.groups(), ())) == expected
    assert frame.to_numpy().astype("<f8").tobytes() == expected


def test_to_numpy_copies():
    """Changing the array leaves the frame's values alone."""
    frame = quorl_sdk.decode_frame(all_sample_frames()[0])
    array = frame.to_numpy()
    array[0, 0] = 1e9
    assert frame.values[0] == 0.0 + 200.0


def test_numpy_stays_optional():
    """Without numpy the package imports and works; only to_numpy raises ImportError with a hint."""
    code = textwrap.dedent("""
        import sys
        sys.modules["numpy"] = None  # as if it were not installed
        import quorl_sdk
        frame = quorl_sdk.decode_frame(bytes([6]) + bytes(168))
        assert len(frame.values) == 21
        try:
            frame.to_numpy()
        except ImportError as error:
            print(error)
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "Frame.to_numpy() needs numpy: pip install 'quorl-sdk[numpy]'\n"


@pytest.mark.parametrize("data", [
    b"",
    b"\x01\x04\x00",
    b"\x02",
    bytes([4, 2]) + bytes(512),
    "abc",
    5,
    [2, 256],
    [-1],
    [1.5],
])
def test_decode_frame_raises_exactly_what_the_native_decoder_raises(data):
    """Bad input gives the native exception type and message unchanged."""
    with pytest.raises(Exception) as native:
        _quorl_sdk.decode_frame(data)
    with pytest.raises(Exception) as ours:
        quorl_sdk.decode_frame(data)
    assert type(ours.value) is type(native.value)
    assert str(ours.value) == str(native.value)
