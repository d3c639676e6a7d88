"""Recordings of a frame stream: a small binary file format, its writer and its reader.

``quorl-sdk record FILE`` writes one; ``quorl-sdk replay FILE`` serves it again;
a program reads it offline::

    from quorl_sdk.recording import RecordingReader

    with RecordingReader("session.qrec") as recording:
        for frame in recording:              # Frame(kind, side, values)
            ...
        for record in recording.records():   # Record(time_ns, data, offset)
            ...
        tables = recording.to_pandas()       # one data frame per (kind, side)

The format, version 2. Every number is little-endian.

Header, 28 bytes:

=======  =====  =============================================================
offset   size   field
=======  =====  =============================================================
0        8      magic: the ASCII bytes ``QUORLREC``
8        2      format version, unsigned: 2
10       2      reserved: 0
12       8      start of the recording: wall-clock time in nanoseconds since
                the Unix epoch, signed
20       8      start of the recording on the monotonic clock (the clock of
                ``time.monotonic()``, CLOCK_MONOTONIC, which is also the
                clock of LSL's timestamps), nanoseconds, signed
=======  =====  =============================================================

then records back to back up to the end of the file, each:

=======  =====  =============================================================
offset   size   field
=======  =====  =============================================================
0        8      time: nanoseconds since the start of the recording, unsigned,
                on the monotonic clock; for a frame, the moment it arrived
                from the socket
8        4      length n of the payload, unsigned
12       n      the payload: a frame or a mark
=======  =====  =============================================================

A frame is the bytes of one WebSocket binary message, exactly as the server
sent it (type byte 2 to 7, side byte of hand frames, little-endian binary64
values). A mark starts with the byte 0, which no frame does, then one byte
says what it marks (later bytes, if any, are for later versions):

====  ============  ===========================================================
byte  mark          its time
====  ============  ===========================================================
1     lost          the arrival of the last frame before the connection was
                    lost; no frame follows until ``reconnected``
2     reconnected   the moment the new connection was seen (at the latest the
                    arrival of its first frame); the gap since ``lost`` ends
====  ============  ===========================================================

Records are in arrival order. The hello frame and the text and control
messages of the connection are not recorded, nor frames the decoder refused.
A file that ends inside a record was cut short (a crash, a lost power supply):
it reads up to its last whole record with a :class:`TruncatedRecordingWarning`
naming the byte offset of the cut. Nothing marks the end otherwise, so a
recording can be read while it is being written. A record that runs past the
end of the file while whole records follow it is damage, not a cut: that, and
a stored frame the decoder refuses, make the whole file unreadable with a
:class:`RecordingError` naming the offset, so that every reader of a file
(tables, ``export``, ``replay``) reads it the same way or not at all.

Version 1 is version 2 with a 20-byte header (no monotonic start) and no
marks; it still reads and replays.

Exceptions and warnings::

    OSError              the file cannot be opened, read or written
    ValueError
     └── RecordingError  not a recording, an unknown version, or a stored
                         frame the decoder refuses; names the file and the
                         byte offset
    UserWarning
     └── TruncatedRecordingWarning  the file ends inside a record

"""

from __future__ import annotations

import enum
import os
import struct
import time
import warnings
from collections.abc import Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any, BinaryIO, NamedTuple

from quorl_sdk import _engine, wire
from quorl_sdk._extras import require
from quorl_sdk.frames import Frame, FrameKind, decode_frame

if TYPE_CHECKING:
    import numpy
    import numpy.typing

    from quorl_sdk.skeleton import Skeleton

__all__ = [
    "FORMAT_VERSION",
    "MAGIC",
    "Mark",
    "MarkKind",
    "Record",
    "RecordingError",
    "RecordingReader",
    "RecordingWriter",
    "StreamKey",
    "Table",
    "TruncatedRecordingWarning",
    "read_frames",
    "table_attributes",
]

#: The first eight bytes of every recording.
MAGIC = b"QUORLREC"
#: The version of the format this module writes; it reads this one and every earlier one.
FORMAT_VERSION = 2

# The header of each version: magic, version, reserved, wall-clock start, then
# (from version 2) the monotonic start.
_HEADERS = {1: struct.Struct("<8sHHq"), 2: struct.Struct("<8sHHqq")}
_PREFIX = struct.Struct("<8sH")
_RECORD = struct.Struct("<QI")
#: Bytes of the header this module writes, and of a record's fixed part.
HEADER_SIZE = _HEADERS[FORMAT_VERSION].size
RECORD_HEADER_SIZE = _RECORD.size
# The first byte of a mark's payload; no frame type is 0.
_MARK = 0

PathLike = str | os.PathLike[str]
#: The key of a recording's tables: the kind of frame and the hand side (None for body frames).
StreamKey = tuple[FrameKind, "int | None"]


class RecordingError(ValueError):
    """A file is not a readable recording; the message names the file and the byte offset.

    Attributes:
        path: the file.
        offset: the byte offset in the file where the fault lies.
        reason: what is wrong there, without the file and offset.
    """

    def __init__(self, path: PathLike, offset: int, reason: str) -> None:
        super().__init__(f"{os.fspath(path)}: byte offset {offset}: {reason}")
        self.path = os.fspath(path)
        self.offset = offset
        self.reason = reason


class TruncatedRecordingWarning(UserWarning):
    """A recording ends inside a record: it was read up to its last whole record."""


class MarkKind(enum.IntEnum):
    """What a mark in a recording marks."""

    #: The connection was lost after the last frame, at whose arrival the mark stands.
    LOST = 1
    #: A new connection is up: the gap since ``LOST`` ends.
    RECONNECTED = 2


class Record(NamedTuple):
    """One stored record, a frame or a mark, with its time.

    Attributes:
        time_ns: nanoseconds from the start of the recording to the frame's
            arrival (or the moment marked).
        data: the frame's bytes exactly as the server sent them, or a mark's payload.
        offset: byte offset of the record in the file.
    """

    time_ns: int
    data: bytes
    offset: int

    @property
    def time(self) -> float:
        """Seconds from the start of the recording to the frame's arrival."""
        return self.time_ns / 1e9

    @property
    def is_mark(self) -> bool:
        """True for a mark, False for a frame."""
        return self.data[:1] == bytes([_MARK])


class Mark(NamedTuple):
    """A mark of a recording: what happened, when, and where it is in the file.

    Attributes:
        kind: a :class:`MarkKind`, or the plain number of a mark of a later version.
        time_ns: nanoseconds from the start of the recording.
        offset: byte offset of the record in the file.
    """

    kind: MarkKind | int
    time_ns: int
    offset: int

    @property
    def time(self) -> float:
        """Seconds from the start of the recording."""
        return self.time_ns / 1e9


class Table(NamedTuple):
    """The frames of one (kind, side) of a recording, as numpy arrays.

    Attributes:
        time: float64, shape ``(N,)``: seconds from the start of the recording
            to each frame's arrival.
        values: float64, shape ``(N, groups, 4)`` for quaternions and
            landmarks, ``(N, 21)`` for angles; bit for bit as recorded.
    """

    time: numpy.typing.NDArray[numpy.float64]
    values: numpy.typing.NDArray[numpy.float64]

    def columns(self) -> numpy.typing.NDArray[numpy.float64]:
        """Returns the table as one float64 array: the time, then every value, per row."""
        np = require("numpy", "numpy", "reading a recording as tables")
        rows = len(self.time)
        flat = self.values.reshape(rows, -1)
        return np.column_stack([self.time, flat])  # type: ignore[no-any-return]


class _Scan(NamedTuple):
    """What the native scan of a recording found: see :meth:`RecordingReader._scan`."""

    end: int
    cut: tuple[int, str] | None
    # (kind, side, frames, times, values); times and values are float64 bytes or None.
    streams: list[tuple[FrameKind, int | None, int, bytearray | None, bytearray | None]]


def table_attributes(key: StreamKey, started_ns: int) -> dict[str, Any]:
    """Returns the attributes a table of ``key`` carries in a file: kind, side (-1: none), start."""
    kind, side = key
    return {"kind": kind.name, "side": -1 if side is None else side, "started_ns": started_ns}


class RecordingWriter:
    """Writes a recording: the header at once, then one record per :meth:`write`.

    Args:
        path: the file to create; an existing file is replaced.
        started_ns: the wall-clock start of the recording in nanoseconds since
            the Unix epoch; now when omitted.
        monotonic_ns: the start on the monotonic clock (``time.monotonic_ns()``);
            now when omitted. Record times count from it.

    Raises:
        OSError: the file cannot be created or written.
    """

    def __init__(
        self,
        path: PathLike,
        *,
        started_ns: int | None = None,
        monotonic_ns: int | None = None,
    ) -> None:
        self.path = os.fspath(path)
        self.started_ns = time.time_ns() if started_ns is None else started_ns
        self.monotonic_ns = time.monotonic_ns() if monotonic_ns is None else monotonic_ns
        self._file: BinaryIO = open(path, "wb")  # noqa: SIM115  # closed by close()
        self._count = 0
        header = _HEADERS[FORMAT_VERSION].pack(
            MAGIC, FORMAT_VERSION, 0, self.started_ns, self.monotonic_ns
        )
        try:
            self._file.write(header)
        except BaseException:
            self._file.close()
            raise

    @property
    def count(self) -> int:
        """Frames written so far (marks not counted)."""
        return self._count

    def write(self, data: bytes, time_ns: int) -> None:
        """Appends the frame ``data`` received ``time_ns`` nanoseconds after the start.

        Raises:
            ValueError: ``data`` is empty or starts like a mark, ``time_ns`` is
                negative, the frame is longer than 4 GiB, or the writer is closed.
            OSError: the file cannot be written.
        """
        if data[:1] in (b"", bytes([_MARK])):
            raise ValueError("a recorded frame must start with its type byte")
        self._append(data, time_ns)
        self._count += 1

    def write_frame(self, frame: Frame, time_ns: int) -> None:
        """Appends a decoded ``frame``, encoded back to the exact bytes it was decoded from.

        Decoding keeps every value as the same binary64 bit for bit and every
        frame type has one fixed layout, so encoding gives back the server's
        bytes exactly (NaN payloads, infinities and negative zero included).

        Raises:
            ValueError, OSError: as :meth:`write`.
        """
        self.write(wire.encode(frame.kind, frame.side, frame.values), time_ns)

    def write_mark(self, kind: MarkKind, time_ns: int) -> None:
        """Appends a mark of ``kind`` at ``time_ns`` nanoseconds after the start.

        Raises:
            ValueError, OSError: as :meth:`write`.
        """
        self._append(bytes([_MARK, kind]), time_ns)

    def _append(self, payload: bytes, time_ns: int) -> None:
        if time_ns < 0:
            raise ValueError(f"time {time_ns} ns is before the start of the recording")
        if len(payload) > 0xFFFFFFFF:
            raise ValueError(f"a frame of {len(payload)} bytes does not fit in a record")
        self._file.write(_RECORD.pack(time_ns, len(payload)) + payload)

    def flush(self) -> None:
        """Hands what was written so far to the operating system.

        Raises:
            OSError: the file cannot be written.
        """
        self._file.flush()

    def close(self) -> None:
        """Flushes and closes the file; safe to call more than once.

        The file is closed even when the last writes fail.

        Raises:
            OSError: the last writes cannot be completed.
        """
        self._file.close()

    def __enter__(self) -> RecordingWriter:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()


class RecordingReader:
    """Reads a recording: its header on opening, its records and frames on demand.

    Iterating the reader yields the stored frames as :class:`Frame` values
    (decoded by the native decoder); :meth:`records` yields the raw records,
    :meth:`marks` the marks; :meth:`to_numpy` and :meth:`to_pandas` give one
    table per (kind, side). Each iteration starts at the first record and
    keeps its own place. A file cut short inside a record is read up to its
    last whole record, with a :class:`TruncatedRecordingWarning`.

    Args:
        path: the recording.

    Raises:
        OSError: the file cannot be opened or read.
        RecordingError: the file does not start with a recording header of a
            version this module reads.
    """

    def __init__(self, path: PathLike) -> None:
        self.path = os.fspath(path)
        self._file: BinaryIO = open(path, "rb")  # noqa: SIM115  # closed by close()
        #: The start on the monotonic clock in nanoseconds; None in version 1 files.
        self.monotonic_ns: int | None = None
        try:
            self._read_header()
        except BaseException:
            self._file.close()
            raise

    def _read_header(self) -> None:
        """Checks the header and keeps its fields.

        Raises:
            RecordingError: no recording header of a version this module reads.
        """
        head = self._file.read(_HEADERS[FORMAT_VERSION].size)
        if not head:
            raise RecordingError(self.path, 0, "empty file, not a quorl-sdk recording")
        if not MAGIC.startswith(head[: len(MAGIC)]):
            found = head[: len(MAGIC)]
            raise RecordingError(
                self.path, 0, f"not a quorl-sdk recording (starts with {found!r}, not {MAGIC!r})"
            )
        if len(head) >= _PREFIX.size:
            self.version = _PREFIX.unpack_from(head)[1]
            if self.version not in _HEADERS:
                raise RecordingError(
                    self.path,
                    len(MAGIC),
                    f"unsupported recording version {self.version} (this SDK reads versions "
                    f"1 to {FORMAT_VERSION})",
                )
        layout = _HEADERS[self.version] if len(head) >= _PREFIX.size else _HEADERS[1]
        if len(head) < layout.size:
            raise RecordingError(
                self.path,
                len(head),
                f"truncated header: the file ends after {len(head)} of {layout.size} bytes",
            )
        fields = layout.unpack_from(head)
        self.started_ns: int = fields[3]
        if self.version >= 2:
            self.monotonic_ns = fields[4]
        self._first_record = layout.size

    def _scan(self, *, tables: bool) -> _Scan:
        """Checks every record natively and, with ``tables``, copies out each stream's columns.

        This is the one reading of a file's records that every reader of it
        shares: where the whole records end, whether the file was cut short
        there, and whether damage or an invalid frame makes it unreadable.

        Raises:
            RecordingError: a damaged record with whole records after it, or
                a stored frame the decoder refuses.
            OSError: the file cannot be read.
        """
        size = os.fstat(self._file.fileno()).st_size
        end, cut, damage, streams = _engine.scan_recording(
            self.path, self._file.fileno(), self._first_record, size, tables
        )
        if damage is not None:
            raise RecordingError(self.path, *damage)
        return _Scan(end, cut, streams)

    def records(self) -> Iterator[Record]:
        """Yields every whole record, frames and marks, in file order.

        The whole file is checked before the first record is yielded.

        Warns:
            TruncatedRecordingWarning: the file ends inside a record; the
                records before it were yielded.

        Raises:
            RecordingError: the file is damaged or holds an invalid frame.
            OSError: the file cannot be read.
        """
        scan = self._scan(tables=False)
        offset = self._first_record
        while offset < scan.end:
            # Each iteration keeps its own place, so that several may run at once.
            self._file.seek(offset)
            time_ns, length = _RECORD.unpack(self._file.read(RECORD_HEADER_SIZE))
            yield Record(time_ns, self._file.read(length), offset)
            offset += RECORD_HEADER_SIZE + length
        if scan.cut is not None:
            self._truncated(*scan.cut)

    def _truncated(self, offset: int, reason: str) -> None:
        warnings.warn(
            f"{self.path}: byte offset {offset}: truncated record: {reason}; "
            "read up to the last whole record",
            TruncatedRecordingWarning,
            stacklevel=3,
        )

    def marks(self) -> Iterator[Mark]:
        """Yields the marks (lost connections, reconnections) in file order.

        Raises:
            RecordingError: the file is damaged or holds an invalid frame.
            OSError: the file cannot be read.
        """
        for record in self.records():
            if record.is_mark and len(record.data) >= 2:
                code = record.data[1]
                kind = MarkKind(code) if code in MarkKind._value2member_map_ else code
                yield Mark(kind, record.time_ns, record.offset)

    def frame_count(self) -> int:
        """Returns how many frames the file holds, checking it as :meth:`records` does.

        Raises:
            RecordingError: the file is damaged or holds an invalid frame.
            OSError: the file cannot be read.
        """
        return sum(count for _, _, count, _, _ in self._scan(tables=False).streams)

    def metadata(self) -> dict[str, Any]:
        """Returns what the recording says beside its frames.

        ``started_ns``: the wall-clock start, nanoseconds since the Unix epoch;
        ``monotonic_ns``: the start on the monotonic clock (the clock of
        ``time.monotonic_ns()`` and of LSL time stamps), None for recordings
        older than it; ``marks``: ``[name, time_ns]`` for each mark in order,
        ``name`` being ``"lost"`` or ``"reconnected"``, ``time_ns`` from the start.

        Raises:
            RecordingError, OSError: as :meth:`marks`.
        """
        marks = [
            [mark.kind.name.lower() if isinstance(mark.kind, MarkKind) else str(mark.kind),
             mark.time_ns]
            for mark in self.marks()
        ]  # fmt: skip
        return {"started_ns": self.started_ns, "monotonic_ns": self.monotonic_ns, "marks": marks}

    def frame_records(self) -> Iterator[tuple[Record, Frame]]:
        """Yields every stored frame's record with the frame decoded.

        Raises:
            RecordingError: the file is damaged or a stored frame is not a
                valid data frame (the decoder's message follows "invalid frame: ").
            OSError: the file cannot be read.
        """
        for record in self.records():
            if not record.is_mark:
                yield record, decode_frame(record.data)

    def timed_frames(self) -> Iterator[tuple[float, Frame]]:
        """Yields ``(seconds since the start, frame)`` for every stored frame.

        Raises:
            RecordingError, OSError: as :meth:`frame_records`.
        """
        for record, frame in self.frame_records():
            yield record.time, frame

    def __iter__(self) -> Iterator[Frame]:
        """Yields every stored frame, decoded.

        Raises:
            RecordingError, OSError: as :meth:`timed_frames`.
        """
        for _, frame in self.timed_frames():
            yield frame

    def to_numpy(self) -> dict[StreamKey, Table]:
        """Returns one :class:`Table` per (kind, side), in order of first arrival: bit for bit.

        The file is read in bulk, natively, with no Python value per frame.
        Needs numpy (``pip install 'quorl-sdk[numpy]'``).

        Warns:
            TruncatedRecordingWarning: as :meth:`records`.

        Raises:
            RecordingError, OSError: as :meth:`records`.
            MissingExtraError: numpy is not installed.
        """
        np = require("numpy", "numpy", "reading a recording as tables")
        scan = self._scan(tables=True)
        if scan.cut is not None:
            self._truncated(*scan.cut)
        result = {}
        for kind, side, count, times, values in scan.streams:
            shape = (count, -1, 4) if kind.is_grouped else (count, kind.value_count)
            result[(kind, side)] = Table(
                np.frombuffer(times, dtype=np.float64),
                np.frombuffer(values, dtype=np.float64).reshape(shape),
            )
        return result

    def to_pandas(self, skeleton: Skeleton | None = None) -> dict[StreamKey, Any]:
        """Returns one ``pandas.DataFrame`` per (kind, side): ``time``, then one column per value.

        Column names come from ``skeleton`` (by default
        :data:`quorl_sdk.skeleton.DEFAULT`): ``nose_x``, ``trunk_flexion``. Each
        frame's ``attrs`` hold ``kind``, ``side`` (-1 for body frames) and the
        recording's :meth:`metadata`: ``started_ns`` (the wall-clock start in
        nanoseconds since the Unix epoch), ``monotonic_ns`` and ``marks``.
        Needs pandas (``pip install 'quorl-sdk[export]'``).

        Warns:
            TruncatedRecordingWarning: as :meth:`records`.

        Raises:
            RecordingError, OSError: as :meth:`records`.
            MissingExtraError: pandas is not installed.
        """
        pd = require("pandas", "export", "reading a recording as data frames")
        from quorl_sdk.skeleton import DEFAULT

        names = skeleton or DEFAULT
        result = {}
        found = self.metadata()
        for key, table in self.to_numpy().items():
            columns = ["time", *names.columns(key[0])]
            frame = pd.DataFrame(table.columns(), columns=columns, copy=False)
            frame.attrs.update(table_attributes(key, self.started_ns), **found)
            result[key] = frame
        return result

    def close(self) -> None:
        """Closes the file; safe to call more than once."""
        self._file.close()

    def __enter__(self) -> RecordingReader:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()


def read_frames(path: PathLike) -> list[Frame]:
    """Returns every frame of the recording at ``path``.

    Raises:
        OSError: the file cannot be opened or read.
        RecordingError: the file is not a recording or holds an invalid frame.
    """
    with RecordingReader(path) as recording:
        return list(recording)
