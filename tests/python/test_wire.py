"""The public frame encoder builds the exact bytes of every frame type."""

from __future__ import annotations

import math
import struct

import pytest

from quorl_sdk import wire


@pytest.mark.parametrize(
    ("kind", "side", "count", "size"),
    [
        (wire.MSG_BODY_QUATERNIONS, None, 52, 417),
        (wire.MSG_BODY_LANDMARKS, None, 76, 609),
        (wire.MSG_HAND_QUATERNIONS, 0, 64, 514),
        (wire.MSG_HAND_LANDMARKS, 1, 84, 674),
        (wire.MSG_BODY_ISB_ANGLES, None, 21, 169),
        (wire.MSG_HAND_ISB_ANGLES, 1, 21, 170),
    ],
)
def test_encode_lays_out_type_side_and_little_endian_values(
    kind: int, side: int | None, count: int, size: int
) -> None:
    """Each type has its exact size, side byte and values packed from the right offset."""
    values = [float(index) for index in range(count)]
    frame = wire.encode(kind, side, values)
    header = bytes([kind]) if side is None else bytes([kind, side])
    assert len(frame) == size == wire.frame_size(kind)
    assert wire.value_count(kind) == count
    assert frame == header + struct.pack(f"<{count}d", *values)


def test_encode_keeps_special_values_bit_for_bit() -> None:
    """NaN with a payload, infinities and negative zero are packed unchanged."""
    nan = struct.unpack("<d", bytes.fromhex("0100000000f8ff7f"))[0]
    values = [nan, math.inf, -math.inf, -0.0] + [0.0] * 17
    frame = wire.encode(wire.MSG_BODY_ISB_ANGLES, None, values)
    assert frame[1:33] == bytes.fromhex(
        "0100000000f8ff7f000000000000f07f000000000000f0ff0000000000000080"
    )


def test_hello_carries_the_version_little_endian() -> None:
    """The hello is 0x01 and an unsigned 16-bit version, low byte first."""
    assert wire.hello() == b"\x01\x04\x00"
    assert wire.hello(0x0105) == b"\x01\x05\x01"


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda: wire.encode(1, None, []), ValueError),
        (lambda: wire.encode(8, None, [0.0] * 21), ValueError),
        (lambda: wire.encode(wire.MSG_BODY_ISB_ANGLES, 0, [0.0] * 21), ValueError),
        (lambda: wire.encode(wire.MSG_HAND_ISB_ANGLES, None, [0.0] * 21), ValueError),
        (lambda: wire.encode(wire.MSG_HAND_ISB_ANGLES, 2, [0.0] * 21), ValueError),
        (lambda: wire.encode(wire.MSG_HAND_ISB_ANGLES, 1, [0.0] * 20), ValueError),
        (lambda: wire.encode(wire.MSG_BODY_ISB_ANGLES, None, [None] * 21), TypeError),  # type: ignore
        (lambda: wire.hello(65536), ValueError),
        (lambda: wire.hello(-1), ValueError),
        (lambda: wire.frame_size(0), ValueError),
    ],
)
def test_bad_arguments_are_refused(call: object, error: type[Exception]) -> None:
    """Unknown types, unsuitable sides, wrong value counts and versions out of range raise."""
    with pytest.raises(error):
        call()  # type: ignore[operator]
