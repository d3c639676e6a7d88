"""Connects and closes 100,000 times against a local server; nothing may pile up.

    python bench/load_cycles.py [--cycles N]

Each cycle makes a RawClient with connect_url_raw, reads its port and closes
it; every tenth cycle drops the object without close() instead. Prints open
descriptors, threads and resident memory at ten checkpoints and the cycle
rate. Exits with status 1 when a connection fails, or when descriptors or
threads after the last cycle differ from before the first, or resident memory
grew past a small slack after the first checkpoint. The count is scaled by
QUORL_LOAD_SCALE.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _quorl_sdk  # noqa: E402
from load_common import (  # noqa: E402
    descriptors, fail, load_server, rss_kib, scaled, settled_counts, threads)

RSS_SLACK_KIB = 1024
CHECKPOINTS = 10


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=scaled(100_000))
    cycles = parser.parse_args().cycles

    with load_server() as port:
        url = f"ws://127.0.0.1:{port}"
        _quorl_sdk.connect_url_raw(url).close()
        before = (descriptors(), threads())
        step = max(1, cycles // CHECKPOINTS)
        first_rss = None
        start = time.perf_counter()
        for cycle in range(1, cycles + 1):
            client = _quorl_sdk.connect_url_raw(url)
            if client.port != port:
                fail(f"cycle {cycle}: port {client.port}")
            if cycle % 10:
                client.close()
            del client
            if cycle % step == 0 or cycle == cycles:
                rss = rss_kib()
                first_rss = rss if first_rss is None else first_rss
                print(f"cycles: {cycle:>8,}, descriptors {descriptors()}, threads {threads()}, "
                      f"resident {rss / 1024:6.1f} MiB", flush=True)
        elapsed = time.perf_counter() - start
        after = settled_counts(before)
    growth = rss_kib() - first_rss
    print(f"cycles: {cycles:,} connect/close cycles in {elapsed:.1f} s ({cycles / elapsed:,.0f}/s); "
          f"descriptors and threads {before} before, {after} after; resident memory grew "
          f"{growth} KiB after the first checkpoint")
    if after != before:
        fail(f"descriptors and threads went from {before} to {after}")
    if growth > RSS_SLACK_KIB:
        fail(f"resident memory grew by {growth} KiB")


if __name__ == "__main__":
    main()
