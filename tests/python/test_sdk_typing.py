"""Types and documentation of quorl_sdk: mypy --strict, the shipped stubs, the docstrings."""

from __future__ import annotations

import inspect
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _quorl_sdk
import quorl_sdk

ROOT = Path(__file__).resolve().parents[2]

mypy = pytest.importorskip("mypy", reason="mypy is part of the test extra")

# Public callables whose docstring must say what they raise.
RAISING = [
    quorl_sdk.connect,
    quorl_sdk.connect_url,
    quorl_sdk.connect_async,
    quorl_sdk.connect_url_async,
    quorl_sdk.decode_frame,
    quorl_sdk.Client.recv,
    quorl_sdk.Client.__next__,
    quorl_sdk.Client.close,
    quorl_sdk.AsyncClient.recv,
    quorl_sdk.AsyncClient.__anext__,
    quorl_sdk.AsyncClient.close,
    quorl_sdk.Frame.groups,
    quorl_sdk.Frame.to_numpy,
]


def run_mypy(*arguments: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    """Runs mypy --strict in a child process."""
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *arguments],
        cwd=cwd, capture_output=True, text=True, timeout=600,
    )


def test_package_and_examples_pass_mypy_strict():
    """The package sources and every example type-check under --strict."""
    result = run_mypy("python/quorl_sdk", "examples", cwd=ROOT)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_installed_wheel_ships_types_for_both_modules(tmp_path):
    """A program outside the repository gets real types for quorl_sdk and _quorl_sdk."""
    program = tmp_path / "program.py"
    program.write_text(textwrap.dedent("""
        import _quorl_sdk
        import quorl_sdk

        reveal_type(_quorl_sdk.connect_raw)
        reveal_type(quorl_sdk.decode_frame(b"").values)
        port: str = quorl_sdk.connect().port
    """))
    result = run_mypy("program.py", cwd=tmp_path)
    assert "def (port: int | None =" in result.stdout, result.stdout
    assert re.search(r'Revealed type is "(builtins\.)?list\[(builtins\.)?float\]"', result.stdout)
    assert 'Incompatible types in assignment (expression has type "int"' in result.stdout
    assert "import-not-found" not in result.stdout and "import-untyped" not in result.stdout


def test_the_installed_stub_matches_the_module(tmp_path):
    """stubtest finds every name, signature and default of the stub in the running module."""
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_quorl_sdk"],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_stub_declares_what_the_module_registers():
    """The stub's __all__ is the module's own, in registration order."""
    stub = (ROOT / "module" / "_quorl_sdk.pyi").read_text()
    namespace: dict[str, object] = {}
    start = stub.index("__all__ = [")
    exec(stub[start : stub.index("]", start) + 1], namespace)
    assert namespace["__all__"] == _quorl_sdk.__all__


@pytest.mark.parametrize("function", RAISING, ids=lambda f: f.__qualname__)
def test_public_callables_document_what_they_raise(function):
    """Each public function and method has a docstring with a Raises section."""
    assert "Raises:" in (inspect.getdoc(function) or "")


def test_every_public_name_has_a_docstring():
    """Everything in quorl_sdk.__all__, and every public member of its classes, is documented."""
    for name in quorl_sdk.__all__:
        value = getattr(quorl_sdk, name)
        if isinstance(value, int):
            continue
        assert inspect.getdoc(value), name
        if inspect.isclass(value):
            for member, attribute in vars(value).items():
                if not member.startswith("_") and callable(attribute) or isinstance(attribute, property):
                    assert inspect.getdoc(attribute), f"{name}.{member}"
