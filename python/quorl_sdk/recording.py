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
recording can be read while it is being written.

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

from quorl_sdk import wire
from quorl_sdk.frames import Frame, decode_frame

if TYPE_CHECKING:
    from quorl_sdk.export import StreamKey, Table

__all__ = [
    "FORMAT_VERSION",
    "MAGIC",
    "Mark",
    "MarkKind",
    "Record",
    "RecordingError",
    "RecordingReader",
    "RecordingWriter",
    "TruncatedRecordingWarning",
    "read_frames",
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
            self._size = os.fstat(self._file.fileno()).st_size
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

    def records(self) -> Iterator[Record]:
        """Yields every whole record, frames and marks, in file order.

        Warns:
            TruncatedRecordingWarning: the file ends inside a record; the
                records before it were yielded.

        Raises:
            OSError: the file cannot be read.
        """
        offset = self._first_record
        while offset < self._size:
            # Each iteration keeps its own place, so that several may run at once.
            self._file.seek(offset)
            head = self._file.read(RECORD_HEADER_SIZE)
            if len(head) < RECORD_HEADER_SIZE:
                self._truncated(
                    offset,
                    f"the file ends {len(head)} bytes into a "
                    f"{RECORD_HEADER_SIZE}-byte record header",
                )
                return
            time_ns, length = _RECORD.unpack(head)
            data = self._file.read(min(length, self._size - offset - RECORD_HEADER_SIZE))
            if len(data) < length:
                self._truncated(
                    offset, f"it announces {length} bytes, the file has {len(data)} left"
                )
                return
            yield Record(time_ns, data, offset)
            offset += RECORD_HEADER_SIZE + length

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
            OSError: the file cannot be read.
        """
        for record in self.records():
            if record.is_mark and len(record.data) >= 2:
                code = record.data[1]
                kind = MarkKind(code) if code in MarkKind._value2member_map_ else code
                yield Mark(kind, record.time_ns, record.offset)

    def frame_records(self) -> Iterator[tuple[Record, Frame]]:
        """Yields every stored frame's record with the frame decoded.

        Raises:
            RecordingError: a stored frame is not a valid data frame (the
                decoder's message follows "invalid frame: ").
            OSError: the file cannot be read.
        """
        for number, record in enumerate(self.records()):
            if record.is_mark:
                continue
            try:
                frame = decode_frame(record.data)
            except ValueError as error:
                raise RecordingError(
                    self.path,
                    record.offset + RECORD_HEADER_SIZE,
                    f"record {number}: invalid frame: {error}",
                ) from None
            yield record, frame

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
        """Returns one table of numpy arrays per (kind, side): times and values, bit for bit.

        See :func:`quorl_sdk.export.tables`. Needs numpy (``pip install
        'quorl-sdk[numpy]'``).

        Raises:
            RecordingError, OSError: as :meth:`timed_frames`.
            ImportError: numpy is not installed.
        """
        from quorl_sdk import export

        return export.tables(self)

    def to_pandas(self) -> dict[StreamKey, Any]:
        """Returns one ``pandas.DataFrame`` per (kind, side): a ``time`` column and one per value.

        See :func:`quorl_sdk.export.data_frames`. Needs pandas (``pip install
        'quorl-sdk[export]'``).

        Raises:
            RecordingError, OSError: as :meth:`timed_frames`.
            ImportError: pandas is not installed.
        """
        from quorl_sdk import export

        return export.data_frames(self)

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
