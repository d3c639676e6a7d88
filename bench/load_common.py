"""What the load scripts share: counts scaled by QUORL_LOAD_SCALE, process
figures read from /proc, and the load server in a process of its own."""

from __future__ import annotations

import os
import subprocess
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

#: Multiplies every count of the load scripts (QUORL_LOAD_SCALE, default 1).
SCALE = float(os.environ.get("QUORL_LOAD_SCALE") or 1.0)


def scaled(count: int) -> int:
    """Returns ``count`` times the load scale, at least 1."""
    return max(1, round(count * SCALE))


def rss_kib() -> int:
    """Returns this process's resident memory in KiB."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def descriptors() -> int:
    """Returns the number of open file descriptors of this process."""
    return len(os.listdir("/proc/self/fd"))


def threads() -> int:
    """Returns the number of threads of this process, native ones included."""
    return len(os.listdir("/proc/self/task"))


def settled_counts(expected: tuple[int, int]) -> tuple[int, int]:
    """Returns descriptors and threads, once they equal ``expected`` or a second has passed.

    A joined thread may take a moment to leave /proc/self/task.
    """
    for _ in range(100):
        counts = (descriptors(), threads())
        if counts == expected:
            break
        time.sleep(0.01)
    return counts


@contextmanager
def load_server() -> Iterator[int]:
    """Runs bench/load_server.py in a process of its own and yields its port."""
    script = Path(__file__).with_name("load_server.py")
    process = subprocess.Popen([sys.executable, str(script)], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    try:
        assert process.stdout is not None
        yield int(process.stdout.readline())
    finally:
        assert process.stdin is not None
        process.stdin.close()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def fail(message: str) -> None:
    """Prints ``message`` to standard error and exits with status 1."""
    print(f"FAILED: {message}", file=sys.stderr)
    sys.exit(1)
