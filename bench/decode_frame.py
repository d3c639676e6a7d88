"""Times decode_frame on one hand-landmark frame against the pure-Python way of
producing the same tuple, in the same run, and prints both and their ratio.

    python bench/decode_frame.py [--repeat N] [--number N]

The target is a ratio below 1.0: the native decoder beats struct.unpack_from.
"""

import argparse
import struct
import timeit

from _quorl_sdk import decode_frame

PURE_PYTHON = "(5, b[1], list(struct.unpack_from('<84d', b, 2)))"
NATIVE = "decode_frame(b)"


def hand_landmark_frame():
    """Returns a 674-byte hand-landmark frame (type 5, side 1) with distinct values."""
    return bytes([5, 1]) + struct.pack("<84d", *(k * 0.25 - 7.0 for k in range(84)))


def best_ns_per_call(statements, namespace, repeat, number):
    """Returns, per statement, the fastest of `repeat` runs of `number` calls in
    nanoseconds per call. The runs alternate between the statements, so that
    a busy moment of the machine weighs on both alike."""
    timers = [timeit.Timer(statement, globals=namespace) for statement in statements]
    best = [float("inf")] * len(timers)
    for _ in range(repeat):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number=number))
    return [seconds / number * 1e9 for seconds in best]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--number", type=int, default=50_000)
    args = parser.parse_args()

    b = hand_landmark_frame()
    namespace = {"b": b, "struct": struct, "decode_frame": decode_frame}
    assert len(b) == 674
    assert eval(NATIVE, namespace) == eval(PURE_PYTHON, namespace), "both must give the same tuple"

    native, pure = best_ns_per_call([NATIVE, PURE_PYTHON], namespace, args.repeat, args.number)
    print(f"frame: 674-byte hand landmarks (bytes); best of {args.repeat} x {args.number} calls")
    width = max(len(NATIVE), len(PURE_PYTHON))
    print(f"{NATIVE:<{width}}  {native:8.1f} ns/call")
    print(f"{PURE_PYTHON:<{width}}  {pure:8.1f} ns/call")
    print(f"{'ratio (decode_frame / pure Python)':<{width}}  {native / pure:8.3f}   target < 1.0")


if __name__ == "__main__":
    main()
