"""Shared setup of the Python suites.

Puts this folder on ``sys.path`` so that tests import the shared servers as
``from support import ...`` (see ``support/__init__.py``), and provides:

- the marker ``@pytest.mark.fixed_ports`` and the fixture ``fixed_ports``: the
  test is skipped, with the taken port named, when any of 5432-5435 is in use;
- the fixture ``timeout_factor``: QUORL_TEST_TIMEOUT_FACTOR as a float.
"""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from support.timing import FIXED_PORTS, TIMEOUT_FACTOR, require_fixed_ports  # noqa: E402


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "fixed_ports: needs the ports 5432-5435 free; skipped when one is taken"
    )


def pytest_runtest_setup(item: pytest.Item) -> None:
    if item.get_closest_marker("fixed_ports") is not None:
        require_fixed_ports()


@pytest.fixture
def fixed_ports() -> list[int]:
    """The ports 5432-5435, once checked free; skips the test otherwise."""
    require_fixed_ports()
    return list(FIXED_PORTS)


@pytest.fixture(scope="session")
def timeout_factor() -> float:
    """The factor every time limit of the suites is multiplied by."""
    return TIMEOUT_FACTOR
