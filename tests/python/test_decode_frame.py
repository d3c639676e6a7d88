"""decode_frame: results for every frame type, argument binding, conversion and errors."""

import math
import struct
import sys

import pytest

from _quorl_sdk import decode_frame
from support.frames import DATA_KINDS, encode, is_hand, sample_frame, value_count


def values_of(frame, hand):
    """Returns the little-endian doubles of a frame's value block."""
    base = 2 if hand else 1
    return list(struct.unpack_from(f"<{(len(frame) - base) // 8}d", frame, base))


@pytest.mark.parametrize("kind", DATA_KINDS)
@pytest.mark.parametrize("side", [0, 1])
def test_decodes_every_frame_type(kind, side):
    """Each type gives (kind, side or None, list of every value in wire order)."""
    hand, count = is_hand(kind), value_count(kind)
    frame = sample_frame(kind, side if hand else None, start=0.5)
    result = decode_frame(frame)
    assert type(result) is tuple and len(result) == 3
    assert result[0] == kind and type(result[0]) is int
    assert result[1] == (side if hand else None)
    assert type(result[2]) is list and len(result[2]) == count
    assert all(type(v) is float for v in result[2])
    assert result[2] == values_of(frame, hand)


def test_hand_values_start_after_the_side_byte():
    """In a hand frame the first value is read from byte 2, not byte 1."""
    frame = bytes([4, 1]) + struct.pack("<64d", *range(64))
    assert decode_frame(frame) == (4, 1, [float(k) for k in range(64)])


@pytest.mark.parametrize("convert", [
    bytes, bytearray, list, tuple, memoryview,
    lambda b: type("BytesSubclass", (bytes,), {})(b),
    lambda b: type("BytearraySubclass", (bytearray,), {})(b),
    lambda b: [True if x == 1 else x for x in b],
], ids=["bytes", "bytearray", "list", "tuple", "memoryview", "bytes_subclass",
        "bytearray_subclass", "list_with_bool"])
@pytest.mark.parametrize("kind", [2, 5, 7])
def test_every_input_form_gives_the_same_tuple(convert, kind):
    """bytes, bytearray, sequences of ints and data= all give equal tuples."""
    frame = sample_frame(kind)
    expected = decode_frame(frame)
    assert decode_frame(convert(frame)) == expected
    assert decode_frame(data=convert(frame)) == expected


@pytest.mark.parametrize("bits", [
    0x7FF8000000001234, 0x7FF0000000000001, 0xFFF8000000000000,
])
def test_nan_values_arrive_as_nan(bits):
    """NaN values, whatever their payload, arrive as float NaN."""
    angles = [0.0] * 21
    frame = bytearray(encode(6, None, angles))
    frame[1:9] = struct.pack("<Q", bits)
    (value, *_) = decode_frame(bytes(frame))[2]
    assert math.isnan(value)
    assert struct.pack("<d", value) == struct.pack("<Q", bits)


def test_infinities_and_negative_zero_arrive_unchanged():
    """+inf, -inf and -0.0 keep their values and sign."""
    _, _, values = decode_frame(encode(7, 0, [math.inf, -math.inf, -0.0] + [1.0] * 18))
    assert values[:2] == [math.inf, -math.inf]
    assert math.copysign(1.0, values[2]) == -1.0


def test_each_call_returns_a_new_list():
    """Changing one call's values does not affect the next call."""
    frame = sample_frame(3)
    first = decode_frame(frame)[2]
    first[0] = "changed"
    first.append(1)
    assert decode_frame(frame)[2] == values_of(frame, False)


@pytest.mark.parametrize("frame, message", [
    (b"", "received an empty WebSocket frame"),
    (b"\x01\x04\x00", "unknown message type byte 0x01"),
    (b"\x00", "unknown message type byte 0x00"),
    (b"\x0a", "unknown message type byte 0x0a"),
    (b"\xff" * 674, "unknown message type byte 0xff"),
    (b"\x02", "message type 0x02: expected 416 payload bytes, got 0"),
    (b"\x02" + bytes(417), "message type 0x02: expected 416 payload bytes, got 417"),
    (b"\x06" + bytes(169), "message type 0x06: expected 168 payload bytes, got 169"),
    (b"\x07\x01" + bytes(167), "message type 0x07: expected 169 payload bytes, got 168"),
    (b"\x04\x02" + bytes(511), "message type 0x04: expected 513 payload bytes, got 512"),
    (b"\x04\x02" + bytes(512), "invalid hand-side byte 2 (expected 0 or 1)"),
    (b"\x05\xff" + bytes(672), "invalid hand-side byte 255 (expected 0 or 1)"),
])
@pytest.mark.parametrize("convert", [bytes, bytearray, list])
def test_invalid_frames_raise_value_error_with_the_decoder_text(frame, message, convert):
    """A frame the decoder refuses raises ValueError with exactly its text, for every input form."""
    with pytest.raises(ValueError) as raised:
        decode_frame(convert(frame))
    assert type(raised.value) is ValueError
    assert raised.value.args == (message,)


@pytest.mark.parametrize("args, kwargs, message", [
    ((b"", b""), {}, "decode_frame() takes 1 positional arguments but 2 were given"),
    ((b"", b"", b""), {"data": b""}, "decode_frame() takes 1 positional arguments but 3 were given"),
    ((), {"frame": b""}, "decode_frame() got an unexpected keyword argument 'frame'"),
    ((b"",), {"data": b""}, "decode_frame() got multiple values for argument 'data'"),
    ((b"",), {"other": 1, "data": b""}, "decode_frame() got an unexpected keyword argument 'other'"),
    ((b"",), {"data": b"", "other": 1}, "decode_frame() got multiple values for argument 'data'"),
    ((), {}, "decode_frame() missing 1 required positional argument: 'data'"),
])
def test_argument_binding_errors(args, kwargs, message):
    """Binding failures raise TypeError with the exact text, checked in order."""
    with pytest.raises(TypeError) as raised:
        decode_frame(*args, **kwargs)
    assert str(raised.value) == message


class Items:
    """A sequence that serves its items through __getitem__ and claims any length."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        return self.items[index]


class BrokenIter(list):
    """A list whose iteration fails with a given exception."""

    error = None

    def __iter__(self):
        raise self.error


@pytest.mark.parametrize("data, message", [
    ("abc", "argument 'data': Can't extract `str` to `Vec`"),
    (type("StrSubclass", (str,), {})("\x02"), "argument 'data': Can't extract `str` to `Vec`"),
    (5, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
    (None, "argument 'data': 'NoneType' object cannot be converted to 'Sequence'"),
    ({2: 1}, "argument 'data': 'dict' object cannot be converted to 'Sequence'"),
    (iter(b"\x02"), "argument 'data': 'bytes_iterator' object cannot be converted to 'Sequence'"),
    (Items.__init__, "argument 'data': 'function' object cannot be converted to 'Sequence'"),
    ([2, 1.5], "argument 'data': 'float' object cannot be interpreted as an integer"),
    ([2, "1"], "argument 'data': 'str' object cannot be interpreted as an integer"),
    ([2, None], "argument 'data': 'NoneType' object cannot be interpreted as an integer"),
])
def test_conversion_type_errors_name_the_argument(data, message):
    """A TypeError while converting data is re-raised as "argument 'data': ..." from the original."""
    with pytest.raises(TypeError) as raised:
        decode_frame(data)
    assert type(raised.value) is TypeError
    assert str(raised.value) == message
    assert type(raised.value.__cause__) is TypeError
    assert message == "argument 'data': " + str(raised.value.__cause__)


def test_nested_class_is_named_by_qualified_name():
    """A refused object's type is named by its qualified name."""
    class Local:
        pass

    with pytest.raises(TypeError, match=r"'test_nested_class_is_named_by_qualified_name\.<locals>\.Local' object"):
        decode_frame(Local())


@pytest.mark.parametrize("data", [[2, 256], [-1], [2] + [0] * 415 + [1000], (0, 2**40)])
def test_out_of_range_items_raise_overflow_error_unchanged(data):
    """Items outside 0..255 raise OverflowError with the fixed text and no argument prefix."""
    with pytest.raises(OverflowError) as raised:
        decode_frame(data)
    assert str(raised.value) == "out of range integral type conversion attempted"


def test_huge_integer_raises_the_interpreters_overflow_error():
    """An item too large for a C long raises the interpreter's own OverflowError."""
    with pytest.raises(OverflowError) as raised:
        decode_frame([2, 2**100])
    assert str(raised.value) != "out of range integral type conversion attempted"
    assert "too large" in str(raised.value)


def test_non_type_errors_while_iterating_pass_unchanged():
    """An exception other than TypeError raised by iteration reaches the caller as it is."""
    data = BrokenIter([2])
    data.error = KeyError("iteration broke")
    with pytest.raises(KeyError, match="iteration broke"):
        decode_frame(data)


def test_type_error_subclass_is_not_rewrapped():
    """Only exceptions of exactly the type TypeError get the argument prefix."""
    class CustomTypeError(TypeError):
        pass

    data = BrokenIter([2])
    data.error = CustomTypeError("custom")
    with pytest.raises(CustomTypeError, match="^custom$"):
        decode_frame(data)


def test_claimed_length_only_sizes_the_buffer():
    """A sequence whose __len__ is huge or fails is read by iteration alone."""
    frame = list(sample_frame(6))
    assert decode_frame(Items(frame, sys.maxsize)) == decode_frame(bytes(frame))
    assert decode_frame(Items(frame, 0)) == decode_frame(bytes(frame))

    class NoLength(Items):
        def __len__(self):
            raise RuntimeError("no length")

    assert decode_frame(NoLength(frame, 0)) == decode_frame(bytes(frame))


def test_index_objects_are_accepted_as_items():
    """Items with __index__ convert like ints."""
    class Byte:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            return self.value

    frame = sample_frame(6)
    assert decode_frame([Byte(b) for b in frame]) == decode_frame(frame)
