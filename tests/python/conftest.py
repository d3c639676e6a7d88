"""Frame builders shared by the suites, and the on-demand build of the probe module."""

import importlib
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

# type byte -> (hand frame, number of values)
FRAME_TYPES = {2: (False, 52), 3: (False, 76), 4: (True, 64), 5: (True, 84), 6: (False, 21), 7: (True, 21)}


def make_frame(kind, values, side=None):
    """Returns the bytes of a frame: type byte, optional side byte, little-endian doubles."""
    head = bytes([kind]) if side is None else bytes([kind, side])
    return head + struct.pack(f"<{len(values)}d", *values)


def sample_frame(kind, side=1):
    """Returns a valid frame of type `kind` whose values are 0.5, 1.5, 2.5, ..."""
    hand, count = FRAME_TYPES[kind]
    return make_frame(kind, [k + 0.5 for k in range(count)], side if hand else None)


def _tool(name):
    beside_python = Path(sys.executable).with_name(name)
    return str(beside_python) if beside_python.exists() else shutil.which(name)


@pytest.fixture(scope="session")
def probe():
    """The test-only module _quorl_probe, built with CMake into build/probe on first use."""
    cmake = _tool("cmake")
    if cmake is None:
        pytest.skip("cmake is not available to build the probe module")
    build = ROOT / "build" / f"probe-py{sys.version_info.major}{sys.version_info.minor}"
    configure = [cmake, "-S", str(ROOT / "tests/python/probe"), "-B", str(build),
                 f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Debug"]
    ninja = _tool("ninja")
    if ninja is not None and not (build / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    for command in (configure, [cmake, "--build", str(build), "-j2"]):
        result = subprocess.run(command, capture_output=True, text=True, env=os.environ)
        assert result.returncode == 0, result.stdout + result.stderr
    sys.path.insert(0, str(build))
    try:
        return importlib.import_module("_quorl_probe")
    finally:
        sys.path.remove(str(build))
