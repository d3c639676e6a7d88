"""Recording at the server's ceiling, side by side: frames written against frames sent,
and CPU time per recorded frame.

    python bench/recording.py [--frames N] [--baseline-python PYTHON]

The load server (``load_server.py``) sends ``--frames`` hand-landmark frames as
fast as the connection takes them, then closes. Each contender is a process
of its own that records them to a file; its CPU time (every thread, from
``wait4``) is divided by the frames the file holds:

- engine: ``quorl-sdk record`` of this tree; the engine thread writes, the
  program sleeps and looks at ``latest()`` now and then;
- Python, lossless: every frame through the program, re-encoded and written by
  ``RecordingWriter`` (what ``quorl-sdk record`` did before the engine wrote);
- Python, latest: the same loop on a latest-mode client, which sees only the
  newest frames of a stream faster than the program;
- baseline (with ``--baseline-python``): ``quorl-sdk record`` of the package
  installed for that interpreter, such as an older checkout's virtual environment.
"""

from __future__ import annotations

import argparse
import os
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from load_common import load_server

from quorl_sdk.recording import HEADER_SIZE

_PYTHON_LOOP = """
import sys, time, quorl_sdk
from quorl_sdk.recording import RecordingWriter
client = quorl_sdk.connect_url(sys.argv[1], mode=sys.argv[3])
start = time.monotonic_ns()
with RecordingWriter(sys.argv[2], started_ns=time.time_ns(), monotonic_ns=start) as writer:
    for frame in client:
        writer.write_frame(frame, max(round(frame.time * 1e9) - start, 0))
"""
_RECORD = struct.Struct("<QI")


def frames_in(path: Path) -> int:
    """Counts the frames of a recording (marks left out) with a walk over its records."""
    data = path.read_bytes()
    count, at = 0, HEADER_SIZE
    while at + _RECORD.size <= len(data):
        _, size = _RECORD.unpack_from(data, at)
        count += data[at + _RECORD.size] != 0
        at += _RECORD.size + size
    return count


def measure(command: list[str], path: Path) -> tuple[int, float, float]:
    """Runs ``command``; returns the frames it recorded, its CPU seconds and its wall seconds."""
    started = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.monotonic() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit(f"FAILED: {command} exited with {process.returncode}")
    return frames_in(path), usage.ru_utime + usage.ru_stime, wall


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=200_000)
    parser.add_argument("--baseline-python", metavar="PYTHON")
    args = parser.parse_args()
    contenders = {
        "engine (quorl-sdk record)": lambda url, out: [
            sys.executable, "-m", "quorl_sdk", "record", out, "--url", url],
        "Python, lossless": lambda url, out: [sys.executable, "-c", _PYTHON_LOOP, url, out,
                                              "lossless"],
        "Python, latest": lambda url, out: [sys.executable, "-c", _PYTHON_LOOP, url, out, "latest"],
    }  # fmt: skip
    if args.baseline_python:
        contenders["baseline (quorl-sdk record)"] = lambda url, out: [
            args.baseline_python, "-m", "quorl_sdk", "record", out, "--url", url]  # fmt: skip
    print(f"{args.frames} hand-landmark frames at the server's ceiling, one contender at a time")
    print(f"{'contender':<30}{'written':>10}{'of sent':>9}{'CPU µs/frame':>14}{'frames/s':>11}")
    with load_server() as port, tempfile.TemporaryDirectory() as folder:
        url = f"ws://127.0.0.1:{port}/frames/{args.frames}"
        for name, command in contenders.items():
            path = Path(folder) / "out.qrec"
            written, cpu, wall = measure(command(url, str(path)), path)
            per_frame = cpu / written * 1e6 if written else float("nan")
            print(f"{name:<30}{written:>10}{written / args.frames:>9.1%}{per_frame:>14.2f}"
                  f"{written / wall:>11.0f}")  # fmt: skip
            path.unlink()


if __name__ == "__main__":
    main()
