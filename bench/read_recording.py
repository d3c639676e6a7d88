"""Times RecordingReader.to_numpy() against np.fromfile and a struct scan of the
same recording, in the same run, and prints the three with their ratios and the
memory to_numpy() takes against the arrays it returns.

    python bench/read_recording.py [--frames N] [--repeat N] [--strict]

The file holds N frames (default 200,000) of all nine streams in turn. The
targets: to_numpy() within 3x the time of np.fromfile, and at most twice the
output arrays' bytes of memory at its peak (tracemalloc, which sees numpy's
allocations and the reader's buffers).
"""

import argparse
import os
import struct
import sys
import tempfile
import time
import tracemalloc

import numpy as np

from quorl_sdk import wire
from quorl_sdk.recording import HEADER_SIZE, RECORD_HEADER_SIZE, RecordingReader, RecordingWriter

TIME_RATIO_TARGET = 3.0
MEMORY_RATIO_TARGET = 2.0


def nine_streams():
    """Returns one frame of each of the nine streams: body kinds, then each hand kind's sides."""
    frames = []
    for kind in wire.DATA_KINDS:
        for side in (0, 1) if wire.is_hand(kind) else (None,):
            values = [float(kind * 100 + k) for k in range(wire.value_count(kind))]
            frames.append(wire.encode(kind, side, values))
    return frames


def write_recording(path, count):
    """Writes `count` frames of the nine streams in turn, 1 ms apart."""
    frames = nine_streams()
    with RecordingWriter(path, started_ns=0, monotonic_ns=0) as writer:
        for number in range(count):
            writer.write(frames[number % len(frames)], number * 1_000_000)


def struct_scan(path):
    """The pure-Python walk a user would write: each record's header and values by struct."""
    record = struct.Struct("<QI")
    streams = {}
    with open(path, "rb") as file:
        data = file.read()
    offset = HEADER_SIZE
    while offset < len(data):
        time_ns, length = record.unpack_from(data, offset)
        start = offset + RECORD_HEADER_SIZE
        kind = data[start]
        hand = kind in wire.HAND_KINDS
        key = (kind, data[start + 1] if hand else None)
        count = wire.value_count(kind)
        values = struct.unpack_from(f"<{count}d", data, start + (2 if hand else 1))
        times, rows = streams.setdefault(key, ([], []))
        times.append(time_ns / 1e9)
        rows.append(values)
        offset = start + length
    return {key: (np.array(t), np.array(r)) for key, (t, r) in streams.items()}


def to_numpy(path):
    with RecordingReader(path) as recording:
        return recording.to_numpy()


def fromfile(path):
    return np.fromfile(path, dtype=np.uint8)


def best_seconds(function, path, repeat):
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        function(path)
        best = min(best, time.perf_counter() - started)
    return best


def output_bytes(tables):
    return sum(table.time.nbytes + table.values.nbytes for table in tables.values())


def peak_memory(path):
    """Returns (peak bytes traced during to_numpy(), bytes of the arrays it returned)."""
    tracemalloc.start()
    tables = to_numpy(path)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return peak, output_bytes(tables)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--strict", action="store_true", help="fail on a missed target")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "nine.qrec")
        write_recording(path, args.frames)
        size = os.path.getsize(path)
        fromfile(path)  # the file in the page cache for every contender alike
        seconds = {
            "np.fromfile": best_seconds(fromfile, path, args.repeat),
            "to_numpy()": best_seconds(to_numpy, path, args.repeat),
            "struct scan": best_seconds(struct_scan, path, max(1, args.repeat // 5)),
        }
        peak, output = peak_memory(path)
    print(f"{args.frames:,} frames of nine streams, {size / 1e6:.1f} MB")
    for name, value in seconds.items():
        ratio = value / seconds["np.fromfile"]
        rate = args.frames / value
        print(f"  {name:12} {value * 1e3:8.1f} ms  {rate / 1e6:6.2f} M frames/s  {ratio:5.1f}x")
    time_ratio = seconds["to_numpy()"] / seconds["np.fromfile"]
    memory_ratio = peak / output
    print(f"  to_numpy() memory: peak {peak / 1e6:.1f} MB for {output / 1e6:.1f} MB of arrays "
          f"({memory_ratio:.2f}x)")
    missed = []
    if time_ratio > TIME_RATIO_TARGET:
        missed.append(f"to_numpy() takes {time_ratio:.1f}x np.fromfile (target {TIME_RATIO_TARGET}x)")
    if memory_ratio > MEMORY_RATIO_TARGET:
        missed.append(f"memory {memory_ratio:.2f}x the output (target {MEMORY_RATIO_TARGET}x)")
    for line in missed:
        print(f"  missed: {line}")
    return 1 if missed and args.strict else 0


if __name__ == "__main__":
    sys.exit(main())
