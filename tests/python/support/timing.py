"""Time limits that stretch on slow machines, and checks of the fixed ports.

Every wait in the Python suites goes through :func:`scaled`, so that setting
``QUORL_TEST_TIMEOUT_FACTOR=3`` gives a slow or loaded machine three times as
long everywhere at once.
"""

from __future__ import annotations

import os
import socket
from collections.abc import Iterable

import pytest

#: Multiplies every time limit of the suites; from QUORL_TEST_TIMEOUT_FACTOR (default 1).
TIMEOUT_FACTOR = float(os.environ.get("QUORL_TEST_TIMEOUT_FACTOR") or 1.0)

#: The ports a client searches when it is given none, both ends included.
FIXED_PORTS = range(5432, 5436)

#: Skips a test whose programs end while a thread waits in native code: the
#: interpreter ends that thread by a forced unwind, which AddressSanitizer's
#: thread bookkeeping fails a CHECK of its own on. The plain build runs them.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

skip_exit_under_asan = pytest.mark.skipif(
    UNDER_ASAN,
    reason="AddressSanitizer fails a CHECK of its own when the interpreter ends a thread at exit",
)

#: Skips a test that reads C3D files through ezc3d, whose arrays are made with
#: new[] and handed to numpy, which frees them with free(): AddressSanitizer
#: aborts on the mismatch, which is ezc3d's and not ours.
EZC3D_UNDER_ASAN = "ezc3d frees with free() the arrays it makes with new[]"
skip_ezc3d_under_asan = pytest.mark.skipif(UNDER_ASAN, reason=EZC3D_UNDER_ASAN)


def scaled(seconds: float) -> float:
    """Returns ``seconds`` multiplied by the suite's timeout factor."""
    return seconds * TIMEOUT_FACTOR


def port_is_free(port: int, host: str = "127.0.0.1") -> bool:
    """Tells whether a server could listen on ``host:port`` right now.

    Binds the way the servers of the suites do (with SO_REUSEADDR), so a port
    held only by connections in TIME_WAIT counts as free and one with a
    listener, on ``host`` or on every address, counts as taken.
    """
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind((host, port))
        except OSError:
            return False
    return True


def taken_ports(ports: Iterable[int] = FIXED_PORTS, host: str = "127.0.0.1") -> list[int]:
    """Returns those of ``ports`` that something else is using."""
    return [port for port in ports if not port_is_free(port, host)]


def require_fixed_ports() -> None:
    """Skips the running test, saying why, when any of the ports 5432-5435 is taken."""
    taken = taken_ports()
    if taken:
        listed = ", ".join(str(port) for port in taken)
        pytest.skip(f"needs the ports 5432-5435 free, but {listed} is in use on 127.0.0.1")
