"""The module as the interpreter sees it: import, registration, constants, packaging."""

import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _quorl_sdk

EXPECTED_ALL = [
    "RawClient",
    "connect_raw",
    "connect_url_raw",
    "decode_frame",
    "WEBSOCKET_PORT_START",
    "WEBSOCKET_PORT_END",
    "MSG_BODY_ISB_ANGLES",
    "MSG_HAND_ISB_ANGLES",
]

DECODE_FRAME_DOC = (
    "Decodes one raw binary frame into `(kind, side, values)`.\n\n"
    "Exposed so the Python test suite can exercise the native decoder against the\n"
    "shared fixtures without opening a socket."
)


def run_python(code):
    """Runs `code` in a fresh interpreter with warnings as errors."""
    return subprocess.run([sys.executable, "-W", "error", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60)


def test_all_lists_contents_in_registration_order():
    """__all__ holds the registered names in order, with nothing else."""
    assert _quorl_sdk.__all__ == EXPECTED_ALL


def test_attributes_are_set_in_registration_order():
    """The module's namespace gains its contents in the order of __all__."""
    registered = [name for name in vars(_quorl_sdk) if not name.startswith("__")]
    assert registered == EXPECTED_ALL


@pytest.mark.parametrize("name, value", [
    ("WEBSOCKET_PORT_START", 5432),
    ("WEBSOCKET_PORT_END", 5435),
    ("MSG_BODY_ISB_ANGLES", 6),
    ("MSG_HAND_ISB_ANGLES", 7),
])
def test_constants(name, value):
    """Each constant is a plain int with its fixed value."""
    constant = getattr(_quorl_sdk, name)
    assert type(constant) is int and constant == value


def test_module_docstring_is_empty():
    """The module's docstring is the empty string, not None."""
    assert _quorl_sdk.__doc__ == ""


def test_decode_frame_docstring_and_signature():
    """decode_frame has its text signature and the docstring after the signature line."""
    assert _quorl_sdk.decode_frame.__text_signature__ == "(data)"
    assert _quorl_sdk.decode_frame.__doc__ == DECODE_FRAME_DOC


def test_decode_frame_is_bound_to_the_module():
    """decode_frame is a builtin bound to the module and names it as its module."""
    assert _quorl_sdk.decode_frame.__self__ is _quorl_sdk
    assert _quorl_sdk.decode_frame.__module__ == "_quorl_sdk"
    assert _quorl_sdk.decode_frame.__name__ == "decode_frame"


def test_reimport_gives_the_same_module():
    """Importing again after removing it from sys.modules returns the very same object."""
    _quorl_sdk.added_by_test = "kept"
    try:
        del sys.modules["_quorl_sdk"]
        import _quorl_sdk as again

        assert again is _quorl_sdk
        assert again.added_by_test == "kept"
        assert again.__all__ == EXPECTED_ALL
    finally:
        sys.modules["_quorl_sdk"] = _quorl_sdk
        del _quorl_sdk.added_by_test


def test_import_is_clean_with_warnings_as_errors():
    """A fresh import under -W error prints nothing and fails on nothing."""
    result = run_python("import _quorl_sdk")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")


def test_sub_interpreter_import_is_refused():
    """A sub-interpreter importing the module after the main one gets ImportError."""
    result = run_python("""
        import _quorl_sdk
        try:
            import _interpreters as interpreters
        except ImportError:
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                raise SystemExit(77)
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import _quorl_sdk")
        except Exception as e:
            print(e)
        else:
            print("imported")
    """)
    if result.returncode == 77:
        pytest.skip("this interpreter has no sub-interpreter module")
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stdout
    assert "sub-interpreters" in result.stdout


def test_installed_as_stable_abi_extension():
    """The module is the top-level file _quorl_sdk.abi3.so."""
    assert Path(_quorl_sdk.__file__).name == "_quorl_sdk.abi3.so"


def test_exports_only_the_init_function():
    """The shared object exports PyInit__quorl_sdk and no other symbol."""
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    result = subprocess.run([nm, "-D", "--defined-only", _quorl_sdk.__file__],
                            capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in result.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit__quorl_sdk"]

