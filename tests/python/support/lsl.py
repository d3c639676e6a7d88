"""The one gate before a test loads liblsl: its configuration must keep discovery on loopback.

The conftest points ``LSLAPICFG`` at ``../shared/lsl_api.cfg`` (resolve scope
machine, IPv6 off, 127.0.0.1 the only peer). liblsl's INI reader takes only
``;`` comments, ``[section]`` lines and ``key = value`` lines; on any other
line it drops the whole file and falls back to its defaults, which send
discovery packets beyond the loopback address. A test that would load liblsl
under such a file skips instead.
"""

from __future__ import annotations

import os
import re
from pathlib import Path

import pytest

#: Whether an example program or a command line loads liblsl.
USES_LSL = re.compile(r"\bpylsl\b|\bquorl_sdk\.lsl\b|quorl-sdk lsl\b")


def liblsl_reads(config: Path) -> bool:
    """Tells whether liblsl's INI reader takes every line of ``config``."""
    lines = config.read_text().splitlines() if config.is_file() else ["missing"]
    return all(not line.strip() or line.startswith((";", "[")) or "=" in line for line in lines)


def require_loopback_lsl() -> Path:
    """Returns the tests' liblsl configuration, or skips when liblsl could not read it."""
    config = Path(os.environ["LSLAPICFG"])
    if not liblsl_reads(config):
        pytest.skip(f"liblsl cannot read {config} and would fall back to network discovery")
    return config
