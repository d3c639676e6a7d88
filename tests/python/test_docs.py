"""Every Python example of the documentation site and the README runs as printed.

A fenced ``python`` block is a complete program, run in a child process
against a simulator on the first free default port (where ``connect()``
looks), its URL also in ``QUORL_URL``, in a fresh folder, bounded in time.
A block right after ``<!-- pytest -->`` is a test module, run by pytest; one
after ``<!-- not-run -->`` is a fragment and is only compiled. An example that
loads liblsl runs only where the tests' liblsl configuration keeps it on
loopback (see ``support/lsl.py``).
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import NamedTuple

import pytest
from support import EZC3D_UNDER_ASAN, UNDER_ASAN, scaled
from support.lsl import USES_LSL, require_loopback_lsl

from quorl_sdk.cli import COMMANDS

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
_BLOCK = re.compile(r"(?:<!-- (?P<marker>[a-z-]+) -->\n+)?```python\n(?P<code>.*?)```", re.DOTALL)


class Example(NamedTuple):
    where: str  # page:line
    code: str
    marker: str | None


def examples() -> Iterator[Example]:
    """Every python block of every page, with the marker before it, if any."""
    for page in PAGES:
        text = page.read_text()
        for match in _BLOCK.finditer(text):
            line = text.count("\n", 0, match.start("code"))
            yield Example(f"{page.relative_to(ROOT)}:{line}", match["code"], match["marker"])


EXAMPLES = list(examples())


def test_markers_are_known():
    """A misspelt marker would silently turn a program into a fragment."""
    assert {example.marker for example in EXAMPLES} <= {None, "not-run", "pytest"}


def test_fragments_stay_few():
    """Fragments are the exception: most examples are programs that run."""
    fragments = [example.where for example in EXAMPLES if example.marker == "not-run"]
    assert len(fragments) <= len(EXAMPLES) // 4, fragments


def test_every_command_has_its_reference():
    """The command line page shows the help of every command."""
    page = (ROOT / "docs" / "reference" / "cli.md").read_text()
    missing = [name for name in COMMANDS if f"<!-- help: {name} -->" not in page]
    assert not missing


@pytest.fixture(scope="module")
def simulator_url(request) -> Iterator[str]:
    """A simulator on the first free port of 5432-5435, for the module's examples."""
    from support.timing import require_fixed_ports

    from quorl_sdk.simulator import Simulator

    require_fixed_ports()
    with Simulator(rate=120).running() as simulator:
        yield simulator.url


def _run(command: list[str], cwd: Path, url: str) -> subprocess.CompletedProcess[str]:
    env = {**os.environ, "QUORL_URL": url, "MPLBACKEND": "Agg"}
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=scaled(60))


@pytest.mark.parametrize("example", EXAMPLES, ids=[example.where for example in EXAMPLES])
def test_example_runs(example, simulator_url, tmp_path):
    """The example runs to its end without an error (a fragment at least compiles)."""
    if example.marker == "not-run":
        compile(example.code, example.where, "exec")
        return
    if USES_LSL.search(example.code):
        require_loopback_lsl()
    if UNDER_ASAN and "import ezc3d" in example.code:
        pytest.skip(EZC3D_UNDER_ASAN)
    program = tmp_path / ("test_example.py" if example.marker == "pytest" else "example.py")
    program.write_text(example.code)
    if example.marker == "pytest":
        command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", program.name]
    else:
        command = [sys.executable, program.name]
    result = _run(command, tmp_path, simulator_url)
    assert result.returncode == 0, result.stdout + result.stderr
