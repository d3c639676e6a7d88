"""The package as a user installs it: its version, and a source build on a machine that lacks something."""

from __future__ import annotations

import importlib.metadata
import os
import shutil
import stat
import subprocess
import sys
from pathlib import Path

import pytest
from support import scaled

import quorl_sdk

ROOT = Path(__file__).resolve().parents[2]


def test_version_is_the_same_everywhere():
    """The package, its installed metadata and `quorl-sdk --version` agree on one version."""
    result = subprocess.run(
        [sys.executable, "-m", "quorl_sdk", "--version"],
        capture_output=True, text=True, timeout=scaled(60),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"quorl-sdk {quorl_sdk.__version__}"
    assert importlib.metadata.version("quorl-sdk") == quorl_sdk.__version__


def _cxx20_compiler(folder: Path) -> str:
    """Writes a compiler that takes the project's flags but compiles C++20; returns its path."""
    real = shutil.which("g++") or shutil.which("c++")
    if real is None:
        pytest.skip("no C++ compiler to wrap")
    wrapper = folder / "cxx20"
    wrapper.write_text(f'#!/bin/sh\nexec {real} "$@" -std=c++20\n')
    wrapper.chmod(wrapper.stat().st_mode | stat.S_IXUSR)
    return str(wrapper)


@pytest.mark.parametrize(
    ("missing", "expected"),
    [
        # Boost is hidden by ignoring the prefixes where the system keeps it.
        ("boost", "needs the Boost headers (Asio and Beast), version 1.81 or later"),
        ("cxx23", "needs a C++23 compiler and standard library with std::expected"),
    ],
)
def test_configure_names_what_to_install(tmp_path, missing, expected):
    """A machine without Boost 1.81 or a C++23 compiler stops CMake with one sentence saying what to install."""
    cmake = shutil.which("cmake", path=os.pathsep.join([str(Path(sys.executable).parent),
                                                        os.environ.get("PATH", "")]))
    if cmake is None:
        pytest.skip("cmake is not available")
    command = [cmake, "-S", str(ROOT), "-B", str(tmp_path / "build"), "-DQUORL_BUILD_MODULE=OFF"]
    # CMake runs without the sanitizer runtime that scripts/sanitize preloads.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    if missing == "boost":
        command.append("-DCMAKE_IGNORE_PREFIX_PATH=/usr;/;/usr/local")
    else:
        env["CXX"] = _cxx20_compiler(tmp_path)
    result = subprocess.run(command, capture_output=True, text=True, env=env, timeout=scaled(120))
    assert result.returncode != 0
    message = " ".join(result.stderr.split())
    assert f"quorl-sdk {expected}" in message
    sentence = message[message.index("quorl-sdk "):message.index("Call Stack")]
    assert ": install " in sentence and sentence.rstrip().endswith(".")
