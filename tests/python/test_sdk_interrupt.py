"""Ctrl-C reaches a program that waits on quorl_sdk, though the native waits check no signals."""

from __future__ import annotations

import signal
import subprocess
import sys
import textwrap
import time

import pytest
from sdk_util import silent
from support import ScriptedServer, scaled, websockets_server

PROGRAMS = {
    # Waits for a frame from a server that sends none.
    "recv": """
        client = quorl_sdk.connect_url(url)
        print("waiting", flush=True)
        client.recv()
    """,
    "iteration": """
        with quorl_sdk.connect_url(url) as client:
            print("waiting", flush=True)
            for frame in client:
                pass
    """,
    "asyncio": """
        import asyncio

        async def main():
            async with quorl_sdk.connect_url_async(url) as client:
                print("waiting", flush=True)
                async for frame in client:
                    pass

        asyncio.run(main())
    """,
    # Waits for the opening handshake, which the server never answers.
    "connect": """
        print("waiting", flush=True)
        quorl_sdk.connect_url(url)
    """,
}


def interrupt(program: str, url: str) -> tuple[float, subprocess.CompletedProcess[str]]:
    """Runs ``program`` in a child, sends SIGINT once it waits; returns the exit time and result."""
    code = "import sys, quorl_sdk\nurl = sys.argv[1]\n" + textwrap.dedent(program)
    child = subprocess.Popen(
        [sys.executable, "-c", code, url],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        assert child.stdout is not None
        assert child.stdout.readline() == "waiting\n"
        time.sleep(0.3)  # well inside the wait
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = child.communicate(timeout=scaled(5))
        elapsed = time.monotonic() - sent
    finally:
        child.kill()
        child.wait()
    return elapsed, subprocess.CompletedProcess(child.args, child.returncode, out, err)


@pytest.mark.parametrize("program", ["recv", "iteration", "asyncio"])
def test_ctrl_c_ends_a_wait_on_a_silent_server(program):
    """SIGINT during a wait for a frame ends the program within a second with KeyboardInterrupt."""
    with websockets_server(silent()) as server:
        elapsed, result = interrupt(PROGRAMS[program], server.url)
    assert "KeyboardInterrupt" in result.stderr, result.stderr
    assert result.returncode != 0
    assert elapsed < scaled(1.0)


def test_ctrl_c_ends_a_connection_attempt():
    """SIGINT during an unanswered opening handshake ends the program within a second."""
    with ScriptedServer() as server:
        elapsed, result = interrupt(PROGRAMS["connect"], server.url)
    assert "KeyboardInterrupt" in result.stderr, result.stderr
    assert elapsed < scaled(1.0)


LATENCY = """
    import os, signal, threading, time

    sent = []

    def press_ctrl_c():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    client = quorl_sdk.connect_url(url)
    threading.Timer(0.3, press_ctrl_c).start()
    try:
        client.recv()
    except KeyboardInterrupt:
        print(f"{time.monotonic() - sent[0]:.6f}")
    client.close()
"""


def test_ctrl_c_is_answered_within_a_fifth_of_a_second():
    """The wait raises KeyboardInterrupt less than 0.2 s after SIGINT arrives."""
    with websockets_server(silent()) as server:
        result = subprocess.run(
            [sys.executable, "-c", "import sys, quorl_sdk\nurl = sys.argv[1]\n"
             + textwrap.dedent(LATENCY), server.url],
            capture_output=True, text=True, timeout=scaled(30),
        )
    assert result.returncode == 0, result.stderr
    assert float(result.stdout) < scaled(0.2)
