"""Streams frames from a local server as fast as it can send them and prints the
frames per second that a program receives through the native RawClient and
through quorl_sdk's clients, in the same run, with their ratios.

    python bench/sdk_stream.py [--frames N] [--repeat N]

A frame counts when the client has read it from the connection; in latest
mode fewer are handed to the program (the rest are dropped, by design).
The server runs in a child process (the `websockets` library), so that it does
not compete with the reader for the interpreter lock. The hand-over of
quorl_sdk adds a thread switch per frame at most; the target is a ratio above
0.5 against the native iterator in lossless mode.
"""

import argparse
import asyncio
import struct
import subprocess
import sys
import textwrap
import time

import _quorl_sdk
import quorl_sdk

SERVER = textwrap.dedent("""
    import asyncio, struct, sys
    from websockets.asyncio.server import serve

    count = int(sys.argv[1])
    frame = bytes([5, 1]) + struct.pack("<84d", *range(84))

    async def handler(connection):
        await connection.send(b"\\x01\\x04\\x00")
        for _ in range(count):
            await connection.send(frame)

    async def main():
        async with serve(handler, "127.0.0.1", 0, compression=None, ping_interval=None) as server:
            print(server.sockets[0].getsockname()[1], flush=True)
            await asyncio.Future()

    asyncio.run(main())
""")


def read_raw(url: str) -> tuple[int, int]:
    """Reads one connection through the native iterator; returns (frames read, delivered)."""
    count = sum(1 for _ in _quorl_sdk.connect_url_raw(url))
    return count, count


def read_sdk(url: str, mode: str) -> tuple[int, int]:
    """Reads one connection through quorl_sdk.Client; returns (frames read, delivered)."""
    with quorl_sdk.connect_url(url, mode=mode) as client:
        delivered = sum(1 for _ in client)
        return client.received, delivered


def read_async(url: str) -> tuple[int, int]:
    """Reads one connection through quorl_sdk.AsyncClient; returns (frames read, delivered)."""

    async def main() -> tuple[int, int]:
        async with quorl_sdk.connect_url_async(url) as client:
            delivered = len([frame async for frame in client])
            return client.received, delivered

    return asyncio.run(main())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=50_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    assert struct.calcsize("<84d") == 672

    server = subprocess.Popen(
        [sys.executable, "-c", SERVER, str(args.frames)], stdout=subprocess.PIPE, text=True
    )
    try:
        assert server.stdout is not None
        url = f"ws://127.0.0.1:{int(server.stdout.readline())}"
        readers = {
            "RawClient (native iterator)": lambda: read_raw(url),
            "quorl_sdk.Client lossless": lambda: read_sdk(url, "lossless"),
            "quorl_sdk.Client latest": lambda: read_sdk(url, "latest"),
            "quorl_sdk.AsyncClient lossless": lambda: read_async(url),
        }
        best = {name: 0.0 for name in readers}
        delivered = {name: 0 for name in readers}
        for _ in range(args.repeat):  # alternate, so that a busy moment weighs on all alike
            for name, read in readers.items():
                started = time.perf_counter()
                count, handed = read()
                rate = count / (time.perf_counter() - started)
                if rate > best[name]:
                    best[name], delivered[name] = rate, handed
    finally:
        server.kill()
        server.wait()

    print(f"{args.frames} hand-landmark frames (674 bytes) per connection; best of {args.repeat}")
    native = best["RawClient (native iterator)"]
    width = max(map(len, readers))
    for name, rate in best.items():
        print(f"{name:<{width}}  {rate:10.0f} frames/s  ratio {rate / native:5.2f}"
              f"  ({delivered[name]} delivered)")
    print("target: lossless ratio above 0.5")


if __name__ == "__main__":
    main()
