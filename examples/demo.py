"""Decodes one sample frame of each type with the native decoder and prints the
tuples (kind, side, values) that a Python program receives."""

import struct

import _quorl_sdk

# type byte -> (name, hand frame, number of values)
FRAME_TYPES = {
    2: ("body quaternions", False, 52),
    3: ("body landmarks", False, 76),
    4: ("hand quaternions", True, 64),
    5: ("hand landmarks", True, 84),
    6: ("body ISB angles", False, 21),
    7: ("hand ISB angles", True, 21),
}


def sample_frame(kind: int, hand: bool, count: int) -> bytes:
    """Builds the bytes of a frame as the tracking server sends it."""
    head = bytes([kind, 1]) if hand else bytes([kind])
    return head + struct.pack(f"<{count}d", *(round(0.1 * k, 1) for k in range(count)))


def main() -> None:
    for kind, (name, hand, count) in FRAME_TYPES.items():
        frame = sample_frame(kind, hand, count)
        print(f"{name}, {len(frame)} bytes:")
        print(_quorl_sdk.decode_frame(frame))

    try:
        _quorl_sdk.decode_frame(b"\x01\x04\x00")
    except ValueError as error:
        print(f"a hello frame is no data frame: ValueError: {error}")


if __name__ == "__main__":
    main()
