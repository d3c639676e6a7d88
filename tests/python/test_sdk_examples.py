"""The example programs of examples/ run as written against a server."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest
from support import all_sample_frames, hello, scaled, sending, websockets_server

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ["stream.py", "latest.py", "stream_async.py", "arrays.py"]


def run(arguments: list[str]) -> subprocess.CompletedProcess[str]:
    """Runs a Python program in a child process, bounded in time."""
    return subprocess.run(
        [sys.executable, *arguments], capture_output=True, text=True, timeout=scaled(60)
    )


@pytest.mark.parametrize("example", EXAMPLES)
def test_example_prints_the_frames_and_ends_with_the_stream(example):
    """Each example reads all nine sample frames from the given URL and exits cleanly."""
    with websockets_server(sending(hello(), *all_sample_frames())) as server:
        result = run([str(ROOT / "examples" / example), server.url])
    assert result.returncode == 0, result.stderr
    assert "HAND_LANDMARKS" in result.stdout
