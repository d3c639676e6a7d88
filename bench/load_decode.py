"""Calls decode_frame 10 million times and checks that resident memory stays flat.

    python bench/load_decode.py [--calls N]

Cycles through one frame of each data type (both sides of the hand types) and,
every tenth call, a frame the decoder refuses, so the ValueError path runs too.
Prints resident memory at ten checkpoints and the call rate. Exits with status
1 when memory after the last checkpoint exceeds that after the first by more
than a small slack (a reference or a buffer lost per call would show as
hundreds of MiB), or when a result differs from the first one of its frame.
The count is scaled by QUORL_LOAD_SCALE.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _quorl_sdk  # noqa: E402
from load_common import fail, rss_kib, scaled  # noqa: E402
from quorl_sdk import wire  # noqa: E402

RSS_SLACK_KIB = 1024
CHECKPOINTS = 10


def frames() -> list[bytes]:
    """Returns one frame per data type and side, plus one the decoder refuses."""
    result = []
    for kind in wire.DATA_KINDS:
        for side in (0, 1) if wire.is_hand(kind) else (None,):
            count = wire.value_count(kind)
            result.append(wire.encode(kind, side, [kind + k / 7 for k in range(count)]))
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=scaled(10_000_000))
    calls = parser.parse_args().calls

    good = frames()
    bad = b"\x04\x02" + bytes(512)
    expected = [_quorl_sdk.decode_frame(frame) for frame in good]
    decode = _quorl_sdk.decode_frame
    step = max(1, calls // CHECKPOINTS)
    first_rss = None
    done = 0
    start = time.perf_counter()
    while done < calls:
        for i in range(min(step, calls - done)):
            if i % 10 == 9:
                try:
                    decode(bad)
                except ValueError:
                    continue
                fail("a frame with side byte 2 was accepted")
            index = i % len(good)
            if decode(good[index]) != expected[index]:
                fail(f"frame {index} decoded differently")
        done += min(step, calls - done)
        rss = rss_kib()
        first_rss = rss if first_rss is None else first_rss
        print(f"decode_frame: {done:>10,} calls, resident {rss / 1024:7.1f} MiB", flush=True)
    elapsed = time.perf_counter() - start
    growth = rss_kib() - first_rss
    print(f"decode_frame: {calls:,} calls in {elapsed:.1f} s ({calls / elapsed:,.0f}/s); "
          f"resident memory grew {growth} KiB after the first checkpoint")
    if growth > RSS_SLACK_KIB:
        fail(f"resident memory grew by {growth} KiB")


if __name__ == "__main__":
    main()
