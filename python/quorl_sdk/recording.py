"""Recordings of a frame stream: a small binary file format, its writer and its reader.

``quorl-sdk record FILE`` writes one; ``quorl-sdk replay FILE`` serves it again;
a program reads it offline::

    from quorl_sdk.recording import RecordingReader

    with RecordingReader("session.qrec") as recording:
        for frame in recording:              # Frame(kind, side, values)
            ...
        for record in recording.records():   # Record(time_ns, data, offset)
            ...

The format, version 1. Every number is little-endian.

Header, 20 bytes:

=======  =====  =============================================================
offset   size   field
=======  =====  =============================================================
0        8      magic: the ASCII bytes ``QUORLREC``
8        2      format version, unsigned: 1
10       2      reserved: 0
12       8      start of the recording: wall-clock time in nanoseconds since
                the Unix epoch, signed
=======  =====  =============================================================

then records back to back up to the end of the file, each:

=======  =====  =============================================================
offset   size   field
=======  =====  =============================================================
0        8      receive time: nanoseconds since the start of the recording,
                unsigned, from a monotonic clock
8        4      length n of the frame, unsigned
12       n      the frame: the bytes of one WebSocket binary message, exactly
                as the server sent it (type byte, side byte of hand frames,
                little-endian binary64 values)
=======  =====  =============================================================

Records are in receive order. The hello frame and the text and control
messages of the connection are not recorded. A file that ends inside a record
is truncated; nothing marks the end otherwise, so a recording can be read
while it is being written up to its last whole record.

Exceptions::

    OSError              the file cannot be opened, read or written
    ValueError
     └── RecordingError  not a recording, another version, truncated, or a
                         stored frame the decoder refuses; names the file and
                         the byte offset
"""

from __future__ import annotations

import os
import struct
import time
from collections.abc import Iterator
from types import TracebackType
from typing import BinaryIO, NamedTuple

from quorl_sdk import wire
from quorl_sdk.frames import Frame, decode_frame

__all__ = [
    "FORMAT_VERSION",
    "MAGIC",
    "Record",
    "RecordingError",
    "RecordingReader",
    "RecordingWriter",
    "read_frames",
]

#: The first eight bytes of every recording.
MAGIC = b"QUORLREC"
#: The version of the format this module writes and reads.
FORMAT_VERSION = 1

_HEADER = struct.Struct("<8sHHq")
_RECORD = struct.Struct("<QI")
#: Bytes of the header and of a record's fixed part.
HEADER_SIZE = _HEADER.size
RECORD_HEADER_SIZE = _RECORD.size

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


class Record(NamedTuple):
    """One stored frame with its receive time.

    Attributes:
        time_ns: nanoseconds from the start of the recording to the frame's arrival.
        data: the frame's bytes, exactly as the server sent them.
        offset: byte offset of the record in the file.
    """

    time_ns: int
    data: bytes
    offset: int

    @property
    def time(self) -> float:
        """Seconds from the start of the recording to the frame's arrival."""
        return self.time_ns / 1e9


class RecordingWriter:
    """Writes a recording: the header at once, then one record per :meth:`write`.

    Args:
        path: the file to create; an existing file is replaced.
        started_ns: the wall-clock start of the recording in nanoseconds since
            the Unix epoch; now when omitted.

    Raises:
        OSError: the file cannot be created or written.
    """

    def __init__(self, path: PathLike, *, started_ns: int | None = None) -> None:
        self.path = os.fspath(path)
        self.started_ns = time.time_ns() if started_ns is None else started_ns
        self._file: BinaryIO = open(path, "wb")  # noqa: SIM115  # closed by close()
        self._count = 0
        try:
            self._file.write(_HEADER.pack(MAGIC, FORMAT_VERSION, 0, self.started_ns))
        except BaseException:
            self._file.close()
            raise

    @property
    def count(self) -> int:
        """Records written so far."""
        return self._count

    def write(self, data: bytes, time_ns: int) -> None:
        """Appends the frame ``data`` received ``time_ns`` nanoseconds after the start.

        Raises:
            ValueError: ``time_ns`` is negative, the frame is longer than
                4 GiB, or the writer is closed.
            OSError: the file cannot be written.
        """
        if time_ns < 0:
            raise ValueError(f"receive time {time_ns} ns is before the start of the recording")
        if len(data) > 0xFFFFFFFF:
            raise ValueError(f"a frame of {len(data)} bytes does not fit in a record")
        self._file.write(_RECORD.pack(time_ns, len(data)) + data)
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

    def flush(self) -> None:
        """Hands what was written so far to the operating system.

        Raises:
            OSError: the file cannot be written.
        """
        self._file.flush()

    def close(self) -> None:
        """Flushes and closes the file; safe to call more than once.

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
    (decoded by the native decoder); :meth:`records` yields the raw records.
    Each iteration starts at the first record and keeps its own place.

    Args:
        path: the recording.

    Raises:
        OSError: the file cannot be opened or read.
        RecordingError: the file does not start with a recording header of
            version 1.
    """

    def __init__(self, path: PathLike) -> None:
        self.path = os.fspath(path)
        self._file: BinaryIO = open(path, "rb")  # noqa: SIM115  # closed by close()
        try:
            self._size = os.fstat(self._file.fileno()).st_size
            self.version, self.started_ns = self._read_header()
        except BaseException:
            self._file.close()
            raise

    def _read_header(self) -> tuple[int, int]:
        """Checks the header; returns the format version and the start time.

        Raises:
            RecordingError: no recording header of a version this module reads.
        """
        head = self._file.read(HEADER_SIZE)
        if not head:
            raise RecordingError(self.path, 0, "empty file, not a quorl-sdk recording")
        if not MAGIC.startswith(head[: len(MAGIC)]):
            found = head[: len(MAGIC)]
            raise RecordingError(
                self.path, 0, f"not a quorl-sdk recording (starts with {found!r}, not {MAGIC!r})"
            )
        if len(head) < HEADER_SIZE:
            raise RecordingError(
                self.path,
                len(head),
                f"truncated header: the file ends after {len(head)} of {HEADER_SIZE} bytes",
            )
        _, version, _, started_ns = _HEADER.unpack(head)
        if version != FORMAT_VERSION:
            raise RecordingError(
                self.path,
                len(MAGIC),
                f"unsupported recording version {version} (this SDK reads version "
                f"{FORMAT_VERSION})",
            )
        return version, started_ns

    def records(self) -> Iterator[Record]:
        """Yields every record in file order.

        Raises:
            RecordingError: the file ends inside a record.
            OSError: the file cannot be read.
        """
        offset = HEADER_SIZE
        while offset < self._size:
            # Each iteration keeps its own place, so that several may run at once.
            self._file.seek(offset)
            head = self._file.read(RECORD_HEADER_SIZE)
            if len(head) < RECORD_HEADER_SIZE:
                raise RecordingError(
                    self.path,
                    offset,
                    f"truncated record: the file ends {len(head)} bytes into a "
                    f"{RECORD_HEADER_SIZE}-byte record header",
                )
            time_ns, length = _RECORD.unpack(head)
            left = self._size - offset - RECORD_HEADER_SIZE
            if length > left:
                raise RecordingError(
                    self.path,
                    offset,
                    f"truncated record: it announces a frame of {length} bytes, "
                    f"the file has {left} left",
                )
            data = self._file.read(length)
            if len(data) < length:  # the file shrank while being read
                raise RecordingError(
                    self.path, offset, f"truncated record: the frame ends after {len(data)} bytes"
                )
            yield Record(time_ns, data, offset)
            offset += RECORD_HEADER_SIZE + length

    def timed_frames(self) -> Iterator[tuple[float, Frame]]:
        """Yields ``(seconds since the start, frame)`` for every record.

        Raises:
            RecordingError: the file ends inside a record, or a stored frame is
                not a valid data frame (the decoder's message follows "invalid
                frame: ").
            OSError: the file cannot be read.
        """
        for number, record in enumerate(self.records()):
            try:
                frame = decode_frame(record.data)
            except ValueError as error:
                raise RecordingError(
                    self.path,
                    record.offset + RECORD_HEADER_SIZE,
                    f"record {number}: invalid frame: {error}",
                ) from None
            yield record.time, frame

    def __iter__(self) -> Iterator[Frame]:
        """Yields every stored frame, decoded.

        Raises:
            RecordingError, OSError: as :meth:`timed_frames`.
        """
        for _, frame in self.timed_frames():
            yield frame

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
        RecordingError: the file is not a recording, is truncated or holds an
            invalid frame.
    """
    with RecordingReader(path) as recording:
        return list(recording)
