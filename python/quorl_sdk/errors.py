"""The package's exceptions, told apart by type; each also is the builtin raised before it.

::

    QuorlError
     ├── ServerNotFound        (ConnectionError)  no server answered, or the handshake failed
     ├── IncompatibleProtocol  (ConnectionError)  the server speaks another protocol version
     ├── StreamError           (ConnectionError)  the connection failed in a way that is no plain end
     ├── FrameError            (ValueError)       the server sent a frame the decoder refuses
     └── FrameTimeout          (TimeoutError)     no frame within the timeout

Messages are the native core's, unchanged.
"""

from __future__ import annotations

__all__ = [
    "FrameError",
    "FrameTimeout",
    "IncompatibleProtocol",
    "QuorlError",
    "ServerNotFound",
    "StreamError",
]


class QuorlError(Exception):
    """Base of every exception of the package."""


class ServerNotFound(QuorlError, ConnectionError):
    """No server answered: none on the ports tried, or the connection or its handshake failed."""


class IncompatibleProtocol(QuorlError, ConnectionError):
    """The server announced another protocol version; the stream ends."""


class StreamError(QuorlError, ConnectionError):
    """The connection failed in a way that is no plain disconnect."""


class FrameError(QuorlError, ValueError):
    """The server sent a frame the decoder refuses; the stream goes on.

    In latest mode only the newest error waits: ``replaced`` counts the
    errors it took the place of.
    """

    replaced: int = 0


class FrameTimeout(QuorlError, TimeoutError):
    """No frame came within the timeout."""
