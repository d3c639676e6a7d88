"""What both native modules share at the interpreter's boundary: one PanicException, one
reader of seconds, and descriptors that no child process inherits."""

from __future__ import annotations

import asyncio
import os
import shlex
import subprocess
import sys
import textwrap

import numpy
import pytest
from sdk_util import angles, silent, streaming
from support import UNDER_ASAN
from support import websockets_server

import _quorl_sdk
import quorl_sdk

NAN = float("nan")


def start_port(**seconds: object) -> object:
    """Starts an engine on port 1, where nothing listens, with the waits ``seconds``."""
    return quorl_sdk._engine.start_port(
        port=1, reconnect=False, base_delay_ms=0, max_delay_ms=0, max_retries=0, latest=False,
        max_queue=1, kinds=None, **seconds)


@pytest.mark.skipif(
    UNDER_ASAN,
    reason="with every descriptor taken, the sanitizers' runtime cannot read the memory map "
    "and reports the fault's own exception as an invalid object",
)
def test_the_engine_raises_the_panic_exception_of_quorl_sdk():
    """A fault of the engine's native code is the one PanicException, not a second class."""
    program = textwrap.dedent("""
        import os, quorl_sdk, _quorl_sdk
        connect = quorl_sdk.connect  # loaded while files can still be opened
        held = []
        try:
            while True:
                held.append(os.open(os.devnull, os.O_RDONLY))
        except OSError:
            pass
        try:
            connect(1)
        except BaseException as fault:
            for fd in held:
                os.close(fd)
            panics = [c for c in BaseException.__subclasses__() if c.__name__ == "PanicException"]
            print(panics == [type(fault)], type(fault).__module__)
    """)
    ran = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True,
                         timeout=60, check=True)
    assert ran.stdout.split() == ["True", "_quorl_sdk"]


@pytest.mark.parametrize("call, name", [
    (lambda stream: stream.recv(NAN), "timeout"),
    (lambda stream: stream.pull(NAN), "timeout"),
    (lambda stream: stream.close(NAN), "timeout"),
    (lambda stream: start_port(wait=NAN, timeout=None), "wait"),
    (lambda stream: start_port(wait=None, timeout=NAN), "timeout"),
])
def test_every_native_call_refuses_nan_seconds_alike(call, name):
    """NaN is neither "at once" nor "forever": each call that waits refuses it the same way."""
    with websockets_server(silent()) as server:
        with quorl_sdk.connect_url(server.url) as client:
            with pytest.raises(ValueError) as caught:
                call(client._stream)
    assert str(caught.value) == f"{name} must be at least 0 seconds, got nan"


@pytest.mark.parametrize("options, timeout", [
    ({"timeout": numpy.float32(5), "max_queue": numpy.int64(8)}, numpy.float32(5)),
    ({"timeout": 10**400, "close_timeout": sys.maxsize, "wait": numpy.float64(5)}, 10**400),
    ({"max_queue": numpy.uint16(4), "close_timeout": numpy.float32(0.5)}, numpy.int32(5)),
])
def test_numpy_scalars_and_huge_ints_do_wherever_a_number_does(options, timeout):
    """A numpy scalar is a number and a huge int a long wait: no TypeError, no OverflowError."""

    async def stream_async(url: str) -> None:
        async with quorl_sdk.connect_url_async(url, **options) as client:
            assert (await client.recv(timeout=timeout)).values[0] == 3.0
            assert (await anext(aiter(client))).values[0] == 3.0

    with websockets_server(streaming(angles(3))) as server:
        with quorl_sdk.connect_url(server.url, **options) as client:
            assert client.recv(timeout=timeout).values[0] == 3.0
            assert next(iter(client)).values[0] == 3.0
        asyncio.run(stream_async(server.url))


def descriptors_of_a_child(start: str, tmp_path) -> list[str]:
    """What a child started by ``start`` holds open, read by the child itself."""
    listing = tmp_path / f"{start}.txt"
    program = (
        "import os, sys\n"
        "fds = sorted(os.listdir('/proc/self/fd'), key=int)\n"
        "open(sys.argv[1], 'w').write('\\n'.join(os.readlink(f'/proc/self/fd/{fd}') for fd in fds"
        " if os.path.exists(f'/proc/self/fd/{fd}')))\n"
    )
    argv = [sys.executable, "-c", program, str(listing)]
    if start == "subprocess":
        subprocess.run(argv, close_fds=False, check=True)
    elif start == "os.system":
        assert os.system(shlex.join(argv)) == 0
    else:
        assert os.spawnv(os.P_WAIT, sys.executable, argv) == 0
    return [line for line in listing.read_text().splitlines() if "socket:" in line
            or "anon_inode:" in line]


@pytest.mark.parametrize("start", ["subprocess", "os.system", "os.spawnv"])
def test_a_child_process_inherits_no_descriptor_of_the_clients(start, tmp_path):
    """Neither client's socket nor the engine's wake-ups outlive the client in a child."""
    before = descriptors_of_a_child(start, tmp_path)
    with websockets_server(silent()) as server:
        raw = _quorl_sdk.connect_url_raw(server.url)
        with quorl_sdk.connect_url(server.url):
            assert descriptors_of_a_child(start, tmp_path) == before
        raw.close()
