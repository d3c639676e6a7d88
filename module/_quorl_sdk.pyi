"""Native core of quorl-sdk: the frame decoder and a blocking WebSocket client.

Most programs use the package ``quorl_sdk`` built on top of this module.
"""

from collections.abc import Iterator, Sequence
from typing import Final, final

__all__ = [
    "RawClient",
    "connect_raw",
    "connect_url_raw",
    "decode_frame",
    "WEBSOCKET_PORT_START",
    "WEBSOCKET_PORT_END",
    "MSG_BODY_ISB_ANGLES",
    "MSG_HAND_ISB_ANGLES",
]

_RawFrame = tuple[int, int | None, list[float]]

WEBSOCKET_PORT_START: Final[int]
WEBSOCKET_PORT_END: Final[int]
MSG_BODY_ISB_ANGLES: Final[int]
MSG_HAND_ISB_ANGLES: Final[int]

@final
class RawClient(Iterator[_RawFrame]):
    """A blocking handle to a Quorl connection.

    Created by [`connect_raw`]. Iterating it drives the async client to the next
    frame; `StopIteration` is raised when the stream ends for good.

    Each step waits without checking signals and cannot be interrupted. One
    thread at a time may use a client: a step, ``close`` or ``port`` from a
    second thread while one waits raises RuntimeError.
    """

    def __iter__(self) -> RawClient: ...
    def __next__(self) -> _RawFrame:
        """Waits for the next data frame and returns ``(kind, side, values)``.

        Raises:
            StopIteration: the stream has ended for good.
            ValueError: the server sent a frame the decoder rejects; the next
                step reads on.
            ConnectionError: the connection failed or the server speaks
                another protocol version.
            RuntimeError: "client is closed", or "Already borrowed" while
                another thread uses the client.
        """
    @property
    def port(self) -> int:
        """The TCP port this client is connected to.

        Raises:
            RuntimeError: "client is closed", or "Already mutably borrowed"
                while another thread is inside a step.
        """
    def close(self) -> None:
        """Drops the underlying connection. Further iteration raises `RuntimeError`.

        Raises:
            RuntimeError: "Already borrowed" while another thread is inside a step.
        """

def connect_raw(
    port: int | None = None,
    reconnect: bool = False,
    base_delay_ms: int = 250,
    max_delay_ms: int = 10000,
    max_retries: int = 10,
) -> RawClient:
    """Connects to a Quorl WebSocket server on `127.0.0.1`.

    With `port = None` the default range (5432-5435) is auto-discovered.

    Raises:
        ConnectionError: no server answered on the port or the range.
        TypeError, OverflowError: an argument has the wrong type or range.
    """

def connect_url_raw(
    url: str,
    reconnect: bool = False,
    base_delay_ms: int = 250,
    max_delay_ms: int = 10000,
    max_retries: int = 10,
) -> RawClient:
    """Connects to a Quorl WebSocket server at an explicit `ws://host:port` URL.

    Raises:
        ValueError: the URL is not a usable ``ws://host:port`` URL.
        ConnectionError: the connection attempt failed.
        TypeError, OverflowError: an argument has the wrong type or range.
        UnicodeEncodeError: ``url`` has no UTF-8 form.
    """

def decode_frame(data: bytes | bytearray | Sequence[int]) -> _RawFrame:
    """Decodes one raw binary frame into `(kind, side, values)`.

    Raises:
        ValueError: the bytes are not a valid data frame.
        TypeError: ``data`` is a str, not a sequence, or holds a non-integer.
        OverflowError: an item lies outside 0 to 255.
    """
