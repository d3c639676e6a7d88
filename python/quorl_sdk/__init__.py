"""Live body and hand tracking frames from a local tracking server, as Python values.

Blocking::

    import quorl_sdk

    with quorl_sdk.connect() as client:      # ports 5432-5435, or connect(port)
        for frame in client:                 # kind, side, values = frame
            print(frame.kind.name, frame.side, frame.values[:4], frame.time, frame.seq)

asyncio::

    async with quorl_sdk.connect_async() as client:
        async for frame in client:
            ...

A native engine thread per client reads the connection, stamps each frame
with its receive time (``frame.time``, on ``time.monotonic()``'s clock) and a
sequence number (``frame.seq``), and hands it over. ``mode="latest"`` keeps
only the newest frame of each kind and side for a consumer slower than the
stream; ``client.pull()`` takes everything waiting as numpy arrays;
``client.latest()`` shows the newest frame of each stream without consuming.
Errors are the classes of :mod:`quorl_sdk.errors`.
"""

from quorl_sdk._version import __version__

TYPE_CHECKING = False
if TYPE_CHECKING:
    from _quorl_sdk import WEBSOCKET_PORT_END, WEBSOCKET_PORT_START

    from quorl_sdk.aio import AsyncClient, Connecting, connect_async, connect_url_async
    from quorl_sdk.buffers import Buffers
    from quorl_sdk.client import Batch, Client, Mode, Recorder, connect, connect_url
    from quorl_sdk.errors import (
        FrameError,
        FrameTimeout,
        IncompatibleProtocol,
        QuorlError,
        ServerNotFound,
        StreamError,
    )
    from quorl_sdk.frames import Frame, FrameKind, decode_frame

__all__ = [
    "__version__",
    "AsyncClient",
    "Batch",
    "Buffers",
    "Client",
    "Connecting",
    "Frame",
    "FrameError",
    "FrameKind",
    "FrameTimeout",
    "IncompatibleProtocol",
    "Mode",
    "QuorlError",
    "Recorder",
    "ServerNotFound",
    "StreamError",
    "WEBSOCKET_PORT_END",
    "WEBSOCKET_PORT_START",
    "connect",
    "connect_async",
    "connect_url",
    "connect_url_async",
    "decode_frame",
]

# The module of each name above, loaded on first use. Loading them (the native
# module above all) takes tens of milliseconds, which a program must be able
# to spend after its own first instructions: the command line sets up its
# handling of Ctrl-C before.
_LAZY = {
    "_quorl_sdk": ("WEBSOCKET_PORT_END", "WEBSOCKET_PORT_START"),
    "quorl_sdk.aio": ("AsyncClient", "Connecting", "connect_async", "connect_url_async"),
    "quorl_sdk.buffers": ("Buffers",),
    "quorl_sdk.client": ("Batch", "Client", "Mode", "Recorder", "connect", "connect_url"),
    "quorl_sdk.errors": (
        "FrameError", "FrameTimeout", "IncompatibleProtocol", "QuorlError", "ServerNotFound",
        "StreamError",
    ),
    "quorl_sdk.frames": ("Frame", "FrameKind", "decode_frame"),
}  # fmt: skip
_HOMES = {name: module for module, names in _LAZY.items() for name in names}


def __getattr__(name: str) -> object:
    module = _HOMES.get(name)
    if module is None:
        raise AttributeError(f"module 'quorl_sdk' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_HOMES})
