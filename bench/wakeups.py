"""Measures what waking a Python program costs on this machine, with no client
involved: the floor under the latency figures of bench/clients.py.

    python bench/wakeups.py [--frames N]

A process of its own writes `time.monotonic()` into a pipe at 1 kHz; the
program takes it with a blocking `os.read`, and with an asyncio callback
(`loop.add_reader`), and prints the p50 and p90 of the delays in µs,
alternating the two twice.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import struct
import subprocess
import sys
import time
from collections.abc import Callable

STAMP = struct.Struct("d")
#: Delays at the start of a run left out: the writer may still be starting.
WARMUP = 100


def write_stamps(fd: int, count: int) -> None:
    """Writes `count` stamps into `fd`, one per millisecond."""
    start = time.monotonic()
    for index in range(count):
        delay = start + index / 1000 - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        os.write(fd, STAMP.pack(time.monotonic()))


def start_writer(count: int) -> tuple[int, subprocess.Popen[bytes]]:
    """Starts the writer process; returns the pipe's reading end and the process."""
    read_end, write_end = os.pipe()
    writer = subprocess.Popen([sys.executable, __file__, "--write", str(write_end),
                               "--frames", str(count)], pass_fds=(write_end,))
    os.close(write_end)
    return read_end, writer


def delay_since(data: bytes, now: float) -> float:
    return (now - STAMP.unpack(data)[0]) * 1e6


def blocking_read(count: int) -> list[float]:
    read_end, writer = start_writer(count)
    delays = []
    for _ in range(count):
        data = os.read(read_end, STAMP.size)
        delays.append(delay_since(data, time.monotonic()))
    writer.wait()
    os.close(read_end)
    return delays


def asyncio_callback(count: int) -> list[float]:
    read_end, writer = start_writer(count)
    delays: list[float] = []
    loop = asyncio.new_event_loop()
    done = loop.create_future()

    def on_readable() -> None:
        now = time.monotonic()
        delays.append(delay_since(os.read(read_end, STAMP.size), now))
        if len(delays) == count:
            done.set_result(None)

    loop.add_reader(read_end, on_readable)
    loop.run_until_complete(done)
    loop.close()
    writer.wait()
    os.close(read_end)
    return delays


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--write", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.write is not None:
        write_stamps(args.write, args.frames)
        return
    ways: list[Callable[[int], list[float]]] = [blocking_read, asyncio_callback] * 2
    for way in ways:
        delays = sorted(way(args.frames)[WARMUP:])
        p50, p90 = delays[len(delays) // 2], delays[len(delays) * 9 // 10]
        print(f"{way.__name__:<17} p50 {p50:6.1f} µs  p90 {p90:6.1f} µs")


if __name__ == "__main__":
    main()
