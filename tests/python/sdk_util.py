"""Helpers of the quorl_sdk suites: server handlers, waiting, and counting threads and sockets."""

from __future__ import annotations

import asyncio
import os
import time
from collections.abc import Callable

from websockets.asyncio.server import ServerConnection

from support import MSG_BODY_ISB_ANGLES, encode, hello, scaled

ENGINE_THREAD = "quorl-engine"


def angles(number: float) -> bytes:
    """A body ISB-angle frame whose 21 values all equal ``number``."""
    return encode(MSG_BODY_ISB_ANGLES, None, [float(number)] * 21)


def streaming(*frames: bytes, interval: float = 0.002, limit: float = 30.0):
    """A handler that sends a hello, then ``frames`` round and round every ``interval`` s.

    It stops by itself after ``limit`` seconds or when the client leaves.
    """

    async def handler(connection: ServerConnection) -> None:
        await connection.send(hello())
        deadline = time.monotonic() + limit
        index = 0
        while time.monotonic() < deadline:
            try:
                await connection.send(frames[index % len(frames)])
            except Exception:
                return
            index += 1
            await asyncio.sleep(interval)

    return handler


def silent():
    """A handler that sends a hello and then nothing, until the client leaves."""

    async def handler(connection: ServerConnection) -> None:
        await connection.send(hello())
        try:
            await connection.wait_closed()
        except Exception:
            pass

    return handler


def wait_until(condition: Callable[[], bool], seconds: float = 5.0) -> bool:
    """Polls ``condition`` until it holds or ``seconds`` (scaled) pass; returns the last answer."""
    deadline = time.monotonic() + scaled(seconds)
    while not condition():
        if time.monotonic() > deadline:
            return condition()
        time.sleep(0.01)
    return True


def engine_threads() -> int:
    """How many native engine threads of quorl_sdk clients this process has."""
    count = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                count += comm.read().strip() == ENGINE_THREAD
        except OSError:
            pass  # the thread ended meanwhile
    return count


def settled_engine_threads() -> int:
    """How many engine threads remain once those of clients closed earlier have ended.

    ``close()`` returns once the engine has let the socket go; its thread ends
    a moment later, which takes longer under the sanitizers. A count taken
    before that moment would drop during the test that took it.
    """
    deadline = time.monotonic() + scaled(2.0)
    count = engine_threads()
    while time.monotonic() < deadline:
        time.sleep(0.05)
        now = engine_threads()
        if now == count:
            break
        count = now
    return count


def open_fds() -> int:
    """How many file descriptors this process has open."""
    return len(os.listdir("/proc/self/fd"))


def sockets_to(port: int) -> int:
    """How many sockets of this process are connected to 127.0.0.1:``port`` as the client."""
    inodes = set()
    for name in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    count = 0
    with open("/proc/net/tcp") as table:
        next(table)
        for line in table:
            fields = line.split()
            remote_port = int(fields[2].split(":")[1], 16)
            if remote_port == port and fields[9] in inodes:
                count += 1
    return count
