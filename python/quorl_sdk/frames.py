"""Decoded frames as Python values: :class:`FrameKind`, :class:`Frame` and :func:`decode_frame`.

A frame unpacks as ``kind, side, values``: the frame type as a
:class:`FrameKind`, the hand side (0 or 1) or None for body data, and the flat
list of the frame's binary64 values in wire order. ``frame.time`` (seconds on
``time.monotonic()``'s clock, taken when the frame's bytes were read) and
``frame.seq`` (the data frames the client received before it) are attributes
beside them. Nothing here converts, reorders or checks the values: NaN
payloads, infinities and negative zero come through bit for bit.

Quaternion and landmark frames hold groups of four values;
:meth:`Frame.groups` views them as 4-tuples and :meth:`Frame.to_numpy` as an
array of shape ``(groups, 4)`` (angle frames: ``(21,)``) when numpy is installed.

Frames are built natively, without a Python call per frame: ``Frame`` is a
struct sequence of the engine (a tuple of three with two more attributes),
and its methods are attached here.
"""

from __future__ import annotations

import enum

import _quorl_sdk

from quorl_sdk import _engine, errors, wire
from quorl_sdk._extras import require

TYPE_CHECKING = False  # typing stays unimported at run time

if TYPE_CHECKING:
    from collections.abc import Sequence

    from typing import Any

    import numpy
    import numpy.typing

    from quorl_sdk._engine import Frame
else:
    Frame = _engine.Frame

__all__ = ["Frame", "FrameKind", "decode_frame", "make_frame"]

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
# Indexed by type byte: what the engine puts in a frame's kind.
_KIND_BY_BYTE: tuple[FrameKind | None, ...] = tuple(
    FrameKind(byte) if byte in wire.DATA_KINDS else None for byte in range(max(wire.DATA_KINDS) + 1)
)

_engine.configure(
    _KIND_BY_BYTE,
    (
        errors.ServerNotFound, errors.IncompatibleProtocol, errors.StreamError,
        errors.FrameError, errors.FrameTimeout,
    ),
)


def _groups(self: Frame) -> list[Quad]:
    """Returns the quaternions or landmarks of the frame as 4-tuples, in order.

    Raises:
        ValueError: the frame holds ISB angles, which are single values.
    """
    if not self.kind.is_grouped:
        raise ValueError(f"{self.kind.name} frames hold single angles, not groups of four")
    # zip over one iterator four times takes four consecutive values per group.
    components = iter(self.values)
    return list(zip(components, components, components, components))


def _to_numpy(self: Frame) -> numpy.typing.NDArray[numpy.float64]:
    """Returns a new float64 array of the values: shape ``(groups, 4)`` or, for angles, ``(21,)``.

    The array is a copy of the values, bit for bit; changing it leaves the
    frame alone. Needs numpy (``pip install quorl-sdk[numpy]``), imported on
    first use only.

    Raises:
        ImportError: numpy is not installed.
    """
    array: numpy.typing.NDArray[numpy.float64] = numpy_module("Frame.to_numpy()").array(
        self.values, dtype="float64"
    )
    return array.reshape(-1, 4) if self.kind.is_grouped else array


# The native type takes its methods here; _fields as a named tuple has it.
for _name, _attribute in (
    ("groups", _groups), ("to_numpy", _to_numpy), ("_fields", ("kind", "side", "values"))
):
    setattr(_engine.Frame, _name, _attribute)


def numpy_module(user: str) -> Any:
    """Imports numpy on first use, with a hint at the extra for ``user`` when it is missing.

    Raises:
        MissingExtraError: numpy is not installed.
    """
    return require("numpy", "numpy", user)


def make_frame(
    kind: int, side: int | None, values: list[float], time: float = float("nan"), seq: int = -1
) -> Frame:
    """Returns a :class:`Frame`; ``time`` NaN and ``seq`` -1 mark one that no client received.

    Raises:
        ValueError: ``kind`` is no frame type.
    """
    return Frame((FrameKind(kind), side, values, time, seq))


def decode_frame(data: bytes | bytearray | Sequence[int]) -> Frame:
    """Decodes one binary frame (the bytes of one WebSocket message) into a :class:`Frame`.

    Accepts ``bytes``, ``bytearray`` or a sequence of ints from 0 to 255. The
    native decoder's exceptions pass through unchanged. The frame has no
    receive time (NaN) and no sequence number (-1).

    Raises:
        ValueError: the bytes are not a valid data frame; the message is the
            decoder's (for example "received an empty WebSocket frame").
        TypeError: ``data`` is a ``str``, not a sequence, or holds a non-integer.
        OverflowError: an item lies outside 0 to 255.
    """
    kind, side, values = _quorl_sdk.decode_frame(data)
    return make_frame(kind, side, values)
