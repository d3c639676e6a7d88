"""Streams to 16 threads at once, each from its own client, and checks every frame.

    python bench/load_threads.py [--threads N] [--frames N]

Each thread connects its own RawClient to the load server (a process of its
own) and receives `--frames` frames whose values name the thread and the
frame's index; it must receive exactly its own frames, in order, none lost or
repeated, and then the end of the stream. Prints the frames per second of all
threads together. Exits with status 1 on any difference. The frame count is
scaled by QUORL_LOAD_SCALE.
"""

from __future__ import annotations

import argparse
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _quorl_sdk  # noqa: E402
from load_common import descriptors, fail, load_server, scaled, settled_counts, threads  # noqa: E402
from load_server import frame_values  # noqa: E402
from quorl_sdk import wire  # noqa: E402


def receive(port: int, client: int, count: int, problems: list[str]) -> None:
    """Receives the frames of ``client`` and notes the first difference."""
    try:
        raw = _quorl_sdk.connect_url_raw(f"ws://127.0.0.1:{port}/stream/{client}/{count}")
        index = 0
        for kind, side, values in raw:
            expected = (wire.MSG_HAND_ISB_ANGLES, index % 2, frame_values(client, index))
            if (kind, side, values) != expected:
                problems.append(f"client {client}: frame {index} is {(kind, side, values[:2])}")
                return
            index += 1
        if index != count:
            problems.append(f"client {client}: {index} frames of {count}")
    except Exception as error:  # noqa: BLE001 - reported with the client's number
        problems.append(f"client {client}: {error!r}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=16)
    parser.add_argument("--frames", type=int, default=scaled(20_000))
    args = parser.parse_args()

    problems: list[str] = []
    with load_server() as port:
        before = (descriptors(), threads())
        workers = [threading.Thread(target=receive, args=(port, client, args.frames, problems))
                   for client in range(args.threads)]
        start = time.perf_counter()
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        elapsed = time.perf_counter() - start
        after = settled_counts(before)
    total = args.threads * args.frames
    print(f"threads: {args.threads} clients x {args.frames:,} frames = {total:,} frames in "
          f"{elapsed:.1f} s ({total / elapsed:,.0f} frames/s); descriptors and threads "
          f"{before} before, {after} after")
    if problems:
        fail("; ".join(problems[:5]))
    if after != before:
        fail(f"descriptors and threads went from {before} to {after}")


if __name__ == "__main__":
    main()
