"""Frames for test servers: the package's own encoder plus predictable samples.

The encoders are those of :mod:`quorl_sdk.wire` (re-exported here), so that the
tests and the simulator build frames the same way. :func:`parse_frame` is a
plain reading of the layout, meant to check what a server sent; it is not the
SDK's decoder and gives no error texts of its own beyond a ValueError.
"""

from __future__ import annotations

import struct

from quorl_sdk.wire import (
    DATA_KINDS,
    HAND_KINDS,
    MSG_BODY_ISB_ANGLES,
    MSG_BODY_LANDMARKS,
    MSG_BODY_QUATERNIONS,
    MSG_HAND_ISB_ANGLES,
    MSG_HAND_LANDMARKS,
    MSG_HAND_QUATERNIONS,
    MSG_HELLO,
    PROTOCOL_VERSION,
    encode,
    frame_size,
    hello,
    is_hand,
    value_count,
)

__all__ = [
    "EXOTIC_BITS",
    "DATA_KINDS",
    "HAND_KINDS",
    "MSG_BODY_ISB_ANGLES",
    "MSG_BODY_LANDMARKS",
    "MSG_BODY_QUATERNIONS",
    "MSG_HAND_ISB_ANGLES",
    "MSG_HAND_LANDMARKS",
    "MSG_HAND_QUATERNIONS",
    "MSG_HELLO",
    "PROTOCOL_VERSION",
    "all_sample_frames",
    "encode",
    "frame_size",
    "hello",
    "is_hand",
    "parse_frame",
    "sample_frame",
    "sample_values",
    "value_count",
]


#: Bit patterns of binary64 that a lossy path would change: NaN payloads (quiet and
#: signalling), both infinities, negative zero, the smallest and the largest subnormal.
EXOTIC_BITS = (
    0x7FF8_0000_DEAD_BEEF,
    0x7FF0_0000_0000_0001,
    0x7FF0_0000_0000_0000,
    0xFFF0_0000_0000_0000,
    0x8000_0000_0000_0000,
    0x0000_0000_0000_0001,
    0x000F_FFFF_FFFF_FFFF,
)


def sample_values(kind: int, start: float = 0.0) -> list[float]:
    """Returns the values start, start + 1, start + 2, ... in the count that ``kind`` carries."""
    return [start + index for index in range(value_count(kind))]


def sample_frame(kind: int, side: int | None = None, start: float = 0.0) -> bytes:
    """Returns a frame of ``kind`` holding :func:`sample_values`; hand frames default to side 0."""
    if side is None and is_hand(kind):
        side = 0
    return encode(kind, side, sample_values(kind, start))


def all_sample_frames() -> list[bytes]:
    """Returns one sample frame per data type and side: nine frames in type order."""
    frames: list[bytes] = []
    for kind in DATA_KINDS:
        sides: tuple[int | None, ...] = (0, 1) if is_hand(kind) else (None,)
        frames.extend(sample_frame(kind, side, start=kind * 100.0) for side in sides)
    return frames


def parse_frame(data: bytes) -> tuple[int, int | None, list[float]]:
    """Reads a data frame as ``(kind, side, values)``; raises ValueError when it is not one."""
    if not data or data[0] not in DATA_KINDS:
        raise ValueError(f"not a data frame: {data[:4]!r}")
    kind = data[0]
    if len(data) != frame_size(kind):
        raise ValueError(f"frame type {kind} is {len(data)} bytes, expected {frame_size(kind)}")
    if is_hand(kind):
        if data[1] not in (0, 1):
            raise ValueError(f"invalid side byte {data[1]}")
        return kind, data[1], list(struct.unpack_from(f"<{value_count(kind)}d", data, 2))
    return kind, None, list(struct.unpack_from(f"<{value_count(kind)}d", data, 1))
