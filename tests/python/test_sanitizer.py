"""Checks of the sanitized run itself (scripts/sanitize); skipped in ordinary runs."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(
    "detect_leaks=1" not in os.environ.get("ASAN_OPTIONS", ""),
    reason="only in the leak-checking run of scripts/sanitize",
)


def leak_reports(stderr: str) -> list[str]:
    """Splits LeakSanitizer's output into one text per leak record."""
    return re.split(r"\n(?=(?:Direct|Indirect) leak of )", stderr)[1:]


def test_a_leak_in_our_code_is_reported(probe):
    """With the run's suppressions, a C++ allocation and an int lost by our code are reported."""
    env = {**os.environ, "PYTHONPATH": str(Path(probe.__file__).parent)}
    result = subprocess.run(
        [sys.executable, "-c", "import _quorl_probe; _quorl_probe.leak()"],
        capture_output=True, text=True, env=env, timeout=120,
    )
    assert result.returncode != 0, result.stderr
    ours = [report for report in leak_reports(result.stderr) if "probe.cpp" in report]
    assert any("operator new" in report for report in ours), result.stderr
    assert any("PyLong_FromLongLong" in report for report in ours), result.stderr
