"""Live body and hand tracking frames from a local tracking server, as Python values.

Blocking::

    import quorl_sdk

    with quorl_sdk.connect() as client:      # ports 5432-5435, or connect(port)
        for frame in client:                 # Frame(kind, side, values)
            print(frame.kind.name, frame.side, frame.values[:4])

asyncio::

    async with quorl_sdk.connect_async() as client:
        async for frame in client:
            ...

``mode="latest"`` keeps only the newest frame of each kind and side for a
consumer slower than the stream; ``timeout=`` bounds every wait for a frame.
The native core is the module ``_quorl_sdk``; its exceptions reach you with
their types and messages unchanged.
"""

import importlib

from _quorl_sdk import WEBSOCKET_PORT_END, WEBSOCKET_PORT_START

from quorl_sdk._version import __version__
from quorl_sdk.client import Client, Mode, connect, connect_url
from quorl_sdk.frames import Frame, FrameKind, decode_frame

# typing is left unimported too (type checkers treat this name as true).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from quorl_sdk.aio import AsyncClient, Connecting, connect_async, connect_url_async

# Names whose modules load on first use: asyncio alone takes several times
# longer to import than the rest of the package, and blocking programs never
# need it.
_LAZY = {name: "quorl_sdk.aio" for name in ("AsyncClient", "Connecting", "connect_async",
                                             "connect_url_async")}


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'quorl_sdk' has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))


__all__ = [
    "__version__",
    "AsyncClient",
    "Client",
    "Connecting",
    "Frame",
    "FrameKind",
    "Mode",
    "WEBSOCKET_PORT_END",
    "WEBSOCKET_PORT_START",
    "connect",
    "connect_async",
    "connect_url",
    "connect_url_async",
    "decode_frame",
]
