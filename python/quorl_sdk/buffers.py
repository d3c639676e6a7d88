"""Arrays of the caller's that :meth:`quorl_sdk.Client.pull_into` fills in place.

A high-rate program makes them once and pulls into them in its loop: no
array is made per call, and each frame is copied once, from the engine's
queue into its row::

    buffers = quorl_sdk.Buffers(1024, kinds=[FrameKind.HAND_LANDMARKS])
    while running:
        client.pull_into(buffers)
        for key in buffers.streams:
            n = buffers.count(key)
            landmarks = buffers.values[key][:n]
"""

from __future__ import annotations

from types import MappingProxyType

from quorl_sdk import _engine
from quorl_sdk.frames import FrameKind, numpy_module

TYPE_CHECKING = False  # typing stays unimported at run time

if TYPE_CHECKING:
    from collections.abc import Iterable, Mapping

    import numpy
    import numpy.typing

    from quorl_sdk.client import Batch, StreamKey

    Floats = numpy.typing.NDArray[numpy.float64]
    Ints = numpy.typing.NDArray[numpy.int64]

__all__ = ["Buffers"]

#: The (kind, side) of each stream, at the index the engine gives it.
_STREAMS = tuple((FrameKind(kind), side) for kind, side in _engine.STREAMS)


def _value_shape(kind: FrameKind) -> tuple[int, ...]:
    return (kind.value_count // 4, 4) if kind.is_grouped else (kind.value_count,)


def _address(array: numpy.ndarray, dtype: str, shape: tuple[int, ...], what: str) -> int:
    """Returns where ``array``'s data starts, once it has the layout the engine writes.

    Raises:
        TypeError: ``array`` is no numpy array of ``dtype``.
        ValueError: it has another shape, or is not C-contiguous and writeable.
    """
    numpy = numpy_module("Buffers")
    if not isinstance(array, numpy.ndarray) or array.dtype != numpy.dtype(dtype):
        raise TypeError(f"{what} must be a numpy array of {dtype}, got {array!r:.60}")
    if array.shape != shape:
        raise ValueError(f"{what} must have the shape {shape}, got {array.shape}")
    if not (array.flags.c_contiguous and array.flags.writeable):
        raise ValueError(f"{what} must be C-contiguous and writeable")
    return int(array.__array_interface__["data"][0])


class Buffers:
    """Per stream ``(kind, side)``, arrays of ``capacity`` frames that a pull fills from the front.

    Attributes:
        capacity: frames per stream that one pull writes at most.
        streams: the ``(kind, side)`` keys that have arrays.
        time: a read-only mapping from each key to float64 ``(capacity,)``: receive times on
            ``time.monotonic()``'s clock.
        seq: the same to int64 ``(capacity,)``: sequence numbers.
        values: the same to float64 ``(capacity, groups, 4)``, or
            ``(capacity, 21)`` for angles, bit for bit as the server sent them.

    After a pull, the first :meth:`count` rows of a stream's arrays hold its
    new frames; the rows after them keep what they held. The buffers hold the
    arrays for as long as they live; a pull only writes into them. Needs numpy.
    """

    __slots__ = ("capacity", "streams", "time", "seq", "values", "_arrays", "_counts", "_index",
                 "_sink")

    def __init__(self, capacity: int, kinds: Iterable[FrameKind] | None = None) -> None:
        """Makes zeroed arrays for every stream of ``kinds`` (None: of every kind).

        Raises:
            TypeError, ValueError: ``capacity`` is no int of at least 1, or
                ``kinds`` holds something other than FrameKind members.
            ImportError: numpy is missing.
        """
        if isinstance(capacity, bool) or not isinstance(capacity, int):
            raise TypeError(f"capacity must be an int, got {type(capacity).__name__}")
        if capacity < 1:
            raise ValueError(f"capacity must be at least 1, got {capacity}")
        wanted = set(FrameKind) if kinds is None else set(kinds)
        for kind in wanted:
            if not isinstance(kind, FrameKind):
                raise TypeError(f"kinds must hold FrameKind members, got {kind!r}")
        numpy = numpy_module("Buffers")
        self._adopt({
            (kind, side): (numpy.zeros(capacity), numpy.zeros(capacity, dtype=numpy.int64),
                           numpy.zeros((capacity, *_value_shape(kind))))
            for kind, side in _STREAMS if kind in wanted
        })

    @classmethod
    def of(cls, arrays: Mapping[StreamKey, tuple[Floats, Ints, Floats]]) -> Buffers:
        """Wraps arrays the caller made: per ``(kind, side)``, ``(time, seq, values)``.

        Every stream needs arrays of the same number of frames, with the
        dtypes and shapes of the attributes, C-contiguous and writeable.

        Raises:
            KeyError: a key is no stream.
            TypeError, ValueError: an array has another dtype, shape or layout.
        """
        buffers = cls.__new__(cls)
        buffers._adopt(dict(arrays))
        return buffers

    def _adopt(self, arrays: dict[StreamKey, tuple[Floats, Ints, Floats]]) -> None:
        if not arrays:
            raise ValueError("buffers need arrays for at least one stream")
        numpy = numpy_module("Buffers")
        index = {key: position for position, key in enumerate(_STREAMS)}
        capacity = len(next(iter(arrays.values()))[0])
        sink: list[tuple[int, int, int, int] | None] = [None] * len(_STREAMS)
        for key, (time, seq, values) in arrays.items():
            if key not in index:
                raise KeyError(key)
            kind = key[0]
            what = f"the arrays of {kind.name} side {key[1]}"
            sink[index[key]] = (
                _address(time, "float64", (capacity,), f"{what}: time"),
                _address(seq, "int64", (capacity,), f"{what}: seq"),
                _address(values, "float64", (capacity, *_value_shape(kind)), f"{what}: values"),
                kind.value_count,
            )
        # The engine writes where these arrays were when the sink was made:
        # they live as long as the buffers, and the mappings are read-only.
        self._arrays = arrays
        self.capacity = capacity
        self.streams = tuple(arrays)
        self.time = MappingProxyType({key: columns[0] for key, columns in arrays.items()})
        self.seq = MappingProxyType({key: columns[1] for key, columns in arrays.items()})
        self.values = MappingProxyType({key: columns[2] for key, columns in arrays.items()})
        self._counts = numpy.zeros(len(_STREAMS), dtype=numpy.int64)
        self._index = index
        self._sink = (_address(self._counts, "int64", (len(_STREAMS),), "counts"), capacity,
                      tuple(sink))

    def count(self, key: StreamKey) -> int:
        """Frames of stream ``key`` that the last pull wrote: its first rows.

        Raises:
            KeyError: ``key`` is no stream.
        """
        return int(self._counts[self._index[key]])

    def __getitem__(self, key: StreamKey) -> Batch:
        """The frames of stream ``key`` that the last pull wrote, as views of its arrays.

        Raises:
            KeyError: the buffers have no arrays for ``key``.
        """
        from quorl_sdk.client import Batch

        n = self.count(key)
        return Batch(key[0], key[1], self.time[key][:n], self.seq[key][:n], self.values[key][:n])

    def __repr__(self) -> str:
        return f"<quorl_sdk.Buffers capacity={self.capacity} streams={len(self.streams)}>"
