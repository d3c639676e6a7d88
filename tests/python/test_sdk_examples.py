"""The examples and the README's snippets run as written against a server."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest
from support import all_sample_frames, hello, scaled, sending, websockets_server

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ["stream.py", "latest.py", "stream_async.py", "arrays.py"]


def readme_snippets() -> list[str]:
    """The Python blocks of the README's part on streaming frames."""
    readme = (ROOT / "README.md").read_text()
    start = readme.index("## Streaming frames")
    part = readme[start : readme.index("\n## ", start)]
    return re.findall(r"```python\n(.*?)```", part, re.DOTALL)


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


@pytest.mark.fixed_ports
@pytest.mark.parametrize("snippet", readme_snippets(), ids=lambda code: code.splitlines()[-1].strip())
def test_readme_snippet_runs(snippet):
    """Every README snippet runs to its end against a server on the default ports."""
    with websockets_server(sending(hello(), *all_sample_frames()), port=5432):
        result = run(["-c", snippet])
    assert result.returncode == 0, result.stderr
    assert result.stdout
