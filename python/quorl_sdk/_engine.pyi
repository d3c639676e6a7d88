# The private native engine of quorl_sdk; programs use quorl_sdk's clients.
from collections.abc import Iterator
from typing import Any, final

import numpy
import numpy.typing

from quorl_sdk.frames import FrameKind

Quad = tuple[float, float, float, float]
RawBatch = tuple[FrameKind, int | None, bytearray, bytearray, bytearray]
# (counts address, capacity, per stream None or (time, seq, values addresses, values per frame))
Sink = tuple[int, int, tuple[tuple[int, int, int, int] | None, ...]]

MAX_QUEUE: int
STREAMS: tuple[tuple[int, int | None], ...]

class Frame(tuple[FrameKind, int | None, list[float]]):
    """One decoded data frame: unpacks as (kind, side, values); time and seq are attributes."""

    _fields: tuple[str, str, str]
    n_fields: int
    n_sequence_fields: int
    def __new__(cls, sequence: tuple[Any, ...]) -> Frame: ...
    @property
    def kind(self) -> FrameKind: ...
    @property
    def side(self) -> int | None: ...
    @property
    def values(self) -> list[float]: ...
    @property
    def time(self) -> float: ...
    @property
    def seq(self) -> int: ...
    def groups(self) -> list[Quad]: ...
    def to_numpy(self) -> numpy.typing.NDArray[numpy.float64]: ...

@final
class Recording:
    frames: int
    stream_frames: dict[tuple[FrameKind, int | None], int]
    def stop(self) -> None: ...

@final
class Stream(Iterator[Frame]):
    port: int
    received: int
    dropped: int
    reconnections: int
    closed: bool
    finished: bool
    queued: int
    close_code: int | None
    close_reason: str | None
    def __next__(self) -> Frame: ...
    def recv(self, timeout: float | None, /) -> Frame: ...
    def poll(self) -> Frame | None: ...
    def pull(self, timeout: float | None, /) -> list[RawBatch]: ...
    def pull_into(self, sink: Sink, timeout: float | None, /) -> int: ...
    def latest(self) -> dict[tuple[FrameKind, int | None], Frame]: ...
    def wait_connected(self) -> int: ...
    def connect_result(self) -> int | None: ...
    def arm(self, connected_seen: bool, /) -> bool: ...
    def disarm(self) -> None: ...
    def fileno(self) -> int: ...
    def close(self, timeout: float | None, /) -> None: ...
    def record(self, path: bytes, /) -> Recording: ...

def start_port(
    port: object, reconnect: object, base_delay_ms: object, max_delay_ms: object,
    max_retries: object, latest: bool, max_queue: object, kinds: int | None, wait: object,
    timeout: object,
) -> Stream: ...
def start_url(
    url: object, reconnect: object, base_delay_ms: object, max_delay_ms: object,
    max_retries: object, latest: bool, max_queue: object, kinds: int | None, wait: object,
    timeout: object,
) -> Stream: ...
CLOSE_ABNORMAL: int

def configure(kinds: tuple[FrameKind | None, ...], errors: tuple[type[BaseException], ...], /) -> None: ...

# (type byte, has a side byte, values per frame) of each data frame type, in table order.
FRAME_TYPES: tuple[tuple[int, bool, int], ...]
PROTOCOL_VERSION: int
# The first and the last port of the discovery range.
DISCOVERY_PORTS: tuple[int, int]

# (kind, side, frames, times, values): float64 bytes, or None when only counted.
ScannedStream = tuple[FrameKind, int | None, int, bytearray | None, bytearray | None]

def scan_recording(
    path: str, descriptor: int, first_record: int, size: int, tables: bool, /
) -> tuple[int, tuple[int, str] | None, tuple[int, str] | None, list[ScannedStream]]: ...

def seconds(name: str, value: object, /) -> float | None: ...
