"""Encoding of the frames a Quorl server sends, in pure Python.

Every WebSocket binary message carries one frame: a type byte, a side byte for
hand data (0 or 1), then the frame's values as little-endian IEEE-754 binary64,
packed without padding. The hello frame is the type byte 0x01 and the server's
protocol version as an unsigned 16-bit little-endian number.

==========================  ====  =====  ======  =====
frame                       type  side   values  bytes
==========================  ====  =====  ======  =====
hello                       0x01  no     none        3
body quaternions            0x02  no         52    417
body landmarks              0x03  no         76    609
hand quaternions            0x04  yes        64    514
hand landmarks              0x05  yes        84    674
body ISB angles             0x06  no         21    169
hand ISB angles             0x07  yes        21    170
==========================  ====  =====  ======  =====

The simulator, the test servers and the benchmarks build their frames here::

    >>> from quorl_sdk import wire
    >>> wire.hello()
    b'\\x01\\x04\\x00'
    >>> len(wire.encode(wire.MSG_HAND_ISB_ANGLES, 1, [0.0] * 21))
    170

Nothing here checks or changes the values themselves: NaN, infinities and
negative zero are packed bit for bit.
"""

from __future__ import annotations

import operator
import struct

from quorl_sdk import _engine

TYPE_CHECKING = False  # typing stays unimported at run time: `import quorl_sdk` loads this
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import SupportsIndex

__all__ = [
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
    "encode",
    "frame_size",
    "hello",
    "is_hand",
    "value_count",
]

#: The protocol version this SDK speaks and the simulator announces by default.
PROTOCOL_VERSION: int = _engine.PROTOCOL_VERSION

MSG_HELLO = 0x01
MSG_BODY_QUATERNIONS = 0x02
MSG_BODY_LANDMARKS = 0x03
MSG_HAND_QUATERNIONS = 0x04
MSG_HAND_LANDMARKS = 0x05
MSG_BODY_ISB_ANGLES = 0x06
MSG_HAND_ISB_ANGLES = 0x07

# Values per data frame, and which types carry a side byte, from the native
# frame table: the decoder's own rules.
_VALUE_COUNTS = {kind: count for kind, _, count in _engine.FRAME_TYPES}

#: The six data frame types, in type-byte order.
DATA_KINDS: tuple[int, ...] = tuple(sorted(_VALUE_COUNTS))

#: The data frame types that carry a side byte.
HAND_KINDS: frozenset[int] = frozenset(
    kind for kind, has_side, _ in _engine.FRAME_TYPES if has_side
)

# One precompiled layout per (type, side byte present), values little-endian.
_LAYOUTS = {
    kind: struct.Struct(("<BB" if kind in HAND_KINDS else "<B") + f"{count}d")
    for kind, count in _VALUE_COUNTS.items()
}
_HELLO = struct.Struct("<BH")


def _data_kind(kind: SupportsIndex) -> int:
    """Returns ``kind`` as an int, or raises ValueError when it is no data frame type."""
    number = operator.index(kind)
    if number not in _VALUE_COUNTS:
        raise ValueError(f"unknown data frame type {number} (expected 2 to 7)")
    return number


def is_hand(kind: SupportsIndex) -> bool:
    """Tells whether frames of ``kind`` carry a side byte.

    Raises:
        ValueError: ``kind`` is not one of the six data frame types.
    """
    return _data_kind(kind) in HAND_KINDS


def value_count(kind: SupportsIndex) -> int:
    """Returns how many binary64 values a frame of ``kind`` carries.

    Raises:
        ValueError: ``kind`` is not one of the six data frame types.
    """
    return _VALUE_COUNTS[_data_kind(kind)]


def frame_size(kind: SupportsIndex) -> int:
    """Returns the exact length in bytes of a frame of ``kind``, type byte included.

    Raises:
        ValueError: ``kind`` is not one of the six data frame types.
    """
    return _LAYOUTS[_data_kind(kind)].size


def hello(version: SupportsIndex = PROTOCOL_VERSION) -> bytes:
    """Returns the 3-byte hello frame announcing protocol ``version``.

    Raises:
        ValueError: ``version`` does not fit in an unsigned 16-bit number.
    """
    number = operator.index(version)
    if not 0 <= number <= 0xFFFF:
        raise ValueError(f"protocol version {number} is out of range (0 to 65535)")
    return _HELLO.pack(MSG_HELLO, number)


def encode(kind: SupportsIndex, side: SupportsIndex | None, values: Sequence[float]) -> bytes:
    """Returns one data frame of type ``kind`` carrying ``values``.

    ``side`` must be None for body frames (types 2, 3, 6) and 0 or 1 for hand
    frames (types 4, 5, 7). ``values`` must hold exactly as many numbers as the
    type carries (see :func:`value_count`); they are packed in order.

    Raises:
        ValueError: ``kind`` is not a data frame type, ``side`` does not suit
            it, or ``values`` has the wrong length.
        TypeError: a value is not a real number.
    """
    number = _data_kind(kind)
    expected = _VALUE_COUNTS[number]
    if len(values) != expected:
        raise ValueError(f"frame type {number} carries {expected} values, got {len(values)}")
    layout = _LAYOUTS[number]
    if number not in HAND_KINDS:
        if side is not None:
            raise ValueError(f"frame type {number} is body data and takes no side")
        return _pack(layout, (number, *values))
    if side is None:
        raise ValueError(f"frame type {number} is hand data and needs side 0 or 1")
    side_byte = operator.index(side)
    if side_byte not in (0, 1):
        raise ValueError(f"invalid hand side {side_byte} (expected 0 or 1)")
    return _pack(layout, (number, side_byte, *values))


def _pack(layout: struct.Struct, fields: tuple[object, ...]) -> bytes:
    """Packs ``fields``, turning struct's complaint about a non-number into a TypeError."""
    try:
        return layout.pack(*fields)
    except struct.error as error:
        raise TypeError(f"frame values must be real numbers: {error}") from None
