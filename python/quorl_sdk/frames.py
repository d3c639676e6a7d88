"""Decoded frames as Python values: :class:`FrameKind`, :class:`Frame` and :func:`decode_frame`.

A frame is the named tuple ``(kind, side, values)``: the frame type as a
:class:`FrameKind`, the hand side (0 or 1) or None for body data, and the flat
list of the frame's binary64 values in wire order. Nothing here converts,
reorders or checks the values: NaN payloads, infinities and negative zero come
through bit for bit, and ``values`` is the very list the native decoder built.

Quaternion and landmark frames hold groups of four values; :meth:`Frame.groups`
views them as 4-tuples and :meth:`Frame.to_numpy` as an array of shape
``(groups, 4)`` (angle frames: ``(21,)``) when numpy is installed.
"""

from __future__ import annotations

import enum
from collections.abc import Sequence
from typing import TYPE_CHECKING, NamedTuple

import _quorl_sdk

from quorl_sdk import wire
from quorl_sdk._extras import require

if TYPE_CHECKING:
    import numpy
    import numpy.typing

__all__ = ["Frame", "FrameKind", "decode_frame"]

Quad = tuple[float, float, float, float]


class FrameKind(enum.IntEnum):
    """The six kinds of data frame, valued by their type byte on the wire."""

    BODY_QUATERNIONS = wire.MSG_BODY_QUATERNIONS
    BODY_LANDMARKS = wire.MSG_BODY_LANDMARKS
    HAND_QUATERNIONS = wire.MSG_HAND_QUATERNIONS
    HAND_LANDMARKS = wire.MSG_HAND_LANDMARKS
    BODY_ISB_ANGLES = wire.MSG_BODY_ISB_ANGLES
    HAND_ISB_ANGLES = wire.MSG_HAND_ISB_ANGLES

    @property
    def is_hand(self) -> bool:
        """True for hand frames, which carry a side; False for body frames."""
        return self in wire.HAND_KINDS

    @property
    def value_count(self) -> int:
        """How many values a frame of this kind holds (52, 76, 64, 84, 21 or 21)."""
        return wire.value_count(self)

    @property
    def is_grouped(self) -> bool:
        """True for quaternion and landmark frames, whose values form groups of four."""
        return self in _COMPONENTS

    @property
    def components(self) -> str:
        """The letters of a group's four components (``"wxyz"``, ``"xyzv"``); angles: ``""``."""
        return _COMPONENTS.get(self, "")

    @property
    def columns(self) -> tuple[str, ...]:
        """The names of this kind's values in wire order, for tables and channel labels.

        Component ``c`` of group ``j`` is ``f"g{j:02d}_{c}"`` (quaternions
        ``w x y z``, landmarks ``x y z v``, as the simulator lays them out;
        the protocol itself names neither groups nor components); angle ``k``
        is ``f"a{k:02d}"``.
        """
        return _COLUMNS[self]


# The names of the four components of a group, by kind; angle kinds hold single values.
_COMPONENTS = {
    FrameKind.BODY_QUATERNIONS: "wxyz",
    FrameKind.BODY_LANDMARKS: "xyzv",
    FrameKind.HAND_QUATERNIONS: "wxyz",
    FrameKind.HAND_LANDMARKS: "xyzv",
}


def _column_names(kind: FrameKind) -> tuple[str, ...]:
    components = _COMPONENTS.get(kind)
    if components is None:
        return tuple(f"a{index:02d}" for index in range(kind.value_count))
    groups = kind.value_count // len(components)
    return tuple(f"g{group:02d}_{c}" for group in range(groups) for c in components)


_COLUMNS = {kind: _column_names(kind) for kind in FrameKind}
# Indexed by type byte: a tuple lookup is much cheaper per frame than FrameKind(kind).
_KIND_BY_BYTE: tuple[FrameKind | None, ...] = (None, None, *FrameKind)


class Frame(NamedTuple):
    """One decoded data frame: ``(kind, side, values)``.

    Attributes:
        kind: the frame type.
        side: the hand side byte (0 or 1) for hand frames, None for body frames.
        values: every value of the frame, flat and in wire order; in
            quaternion and landmark frames value ``4 * j + i`` is component
            ``i`` of group ``j``.
    """

    kind: FrameKind
    side: int | None
    values: list[float]

    def groups(self) -> list[Quad]:
        """Returns the quaternions or landmarks of the frame as 4-tuples, in order.

        Raises:
            ValueError: the frame holds ISB angles, which are single values.
        """
        if not self.kind.is_grouped:
            raise ValueError(f"{self.kind.name} frames hold single angles, not groups of four")
        # zip over one iterator four times takes four consecutive values per group.
        components = iter(self.values)
        return list(zip(components, components, components, components))

    def to_numpy(self) -> numpy.typing.NDArray[numpy.float64]:
        """Returns a new float64 array of the values: shape ``(groups, 4)`` or, for angles, ``(21,)``.

        The array is a copy of the values, bit for bit; changing it leaves the
        frame alone. Needs numpy (``pip install quorl-sdk[numpy]``), imported
        on first use only.

        Raises:
            ImportError: numpy is not installed.
        """
        array: numpy.typing.NDArray[numpy.float64] = require("numpy", "numpy", "Frame.to_numpy()").array(
            self.values, dtype="float64"
        )
        return array.reshape(-1, 4) if self.kind.is_grouped else array


def frame_from_tuple(raw: tuple[int, int | None, list[float]]) -> Frame:
    """Wraps a native ``(kind, side, values)`` tuple as a :class:`Frame`, keeping the list."""
    kind, side, values = raw
    member = _KIND_BY_BYTE[kind] if 0 <= kind < len(_KIND_BY_BYTE) else None
    if member is None:
        member = FrameKind(kind)  # raises ValueError: the native side never yields this
    return Frame(member, side, values)


def decode_frame(data: bytes | bytearray | Sequence[int]) -> Frame:
    """Decodes one binary frame (the bytes of one WebSocket message) into a :class:`Frame`.

    Accepts ``bytes``, ``bytearray`` or a sequence of ints from 0 to 255. The
    native decoder's exceptions pass through unchanged.

    Raises:
        ValueError: the bytes are not a valid data frame; the message is the
            decoder's (for example "received an empty WebSocket frame").
        TypeError: ``data`` is a ``str``, not a sequence, or holds a non-integer.
        OverflowError: an item lies outside 0 to 255.
    """
    return frame_from_tuple(_quorl_sdk.decode_frame(data))
