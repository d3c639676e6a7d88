"""Shared setup of the Python suites.

Puts this folder on ``sys.path`` so that tests import the shared servers as
``from support import ...`` (see ``support/__init__.py``), and provides:

- the marker ``@pytest.mark.fixed_ports`` and the fixture ``fixed_ports``: the
  test is skipped, with the taken port named, when any of 5432-5435 is in use;
- the fixture ``timeout_factor``: QUORL_TEST_TIMEOUT_FACTOR as a float;
- the fixture ``probe``: the test-only extension module ``_quorl_probe``.

It also points liblsl at ``../shared/lsl_api.cfg`` (``LSLAPICFG``) before
anything can load it, so that LSL discovery in the tests stays on 127.0.0.1;
child processes inherit it (tests that start one pass :data:`LSL_ENV` too).
"""

from __future__ import annotations

import importlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

#: The liblsl configuration of every test: resolve scope machine, IPv6 off, 127.0.0.1 only.
LSL_CONFIG = Path(__file__).resolve().parents[2].parent / "shared" / "lsl_api.cfg"
os.environ["LSLAPICFG"] = str(LSL_CONFIG)

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


def _tool(name: str) -> str | None:
    beside_python = Path(sys.executable).with_name(name)
    return str(beside_python) if beside_python.exists() else shutil.which(name)


@pytest.fixture(scope="session")
def probe():
    """The test-only module _quorl_probe (tests/python/probe), built with CMake on first use."""
    cmake = _tool("cmake")
    if cmake is None:
        pytest.skip("cmake is not available to build the probe module")
    root = Path(__file__).resolve().parents[2]
    # scripts/sanitize asks for an instrumented probe, built apart from the plain one.
    flags = os.environ.get("QUORL_PROBE_CXX_FLAGS", "")
    suffix = "-sanitize" if flags else ""
    build = root / "build" / f"probe-py{sys.version_info.major}{sys.version_info.minor}{suffix}"
    configure = [cmake, "-S", str(root / "tests/python/probe"), "-B", str(build),
                 f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Debug",
                 f"-DCMAKE_CXX_FLAGS={flags}"]
    ninja = _tool("ninja")
    if ninja is not None and not (build / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    # The build tools run without a sanitizer runtime that the test run preloads.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    for command in (configure, [cmake, "--build", str(build), "-j2"]):
        result = subprocess.run(command, capture_output=True, text=True, env=env)
        assert result.returncode == 0, result.stdout + result.stderr
    sys.path.insert(0, str(build))
    try:
        return importlib.import_module("_quorl_probe")
    finally:
        sys.path.remove(str(build))
