"""The blocking client: :func:`connect`, :func:`connect_url` and :class:`Client`.

Exceptions seen by a program, by origin (see :mod:`quorl_sdk.errors`)::

    connect / connect_url
     ├── TypeError, OverflowError      bad argument (the native module's own)
     ├── ValueError                    bad URL (native) or bad option of this layer
     ├── ServerNotFound                no server, or the connection attempt failed
     └── ConnectionError subclasses    ... as raised while streaming
    iterating / recv / pull
     ├── FrameTimeout                  no frame within the timeout (a TimeoutError)
     ├── FrameError                    the server sent a malformed frame (a ValueError); reading goes on
     ├── StreamError                   the connection failed (a ConnectionError)
     ├── IncompatibleProtocol          the server speaks another protocol version (a ConnectionError)
     ├── RuntimeError                  "client is closed"
     ├── OSError                       a recording stopped: its file could not be written
     └── StopIteration / EOFError      the stream has ended for good
"""

from __future__ import annotations

import os

from quorl_sdk._options import Mode, check_timeout, resolve, start
from quorl_sdk.frames import FrameKind, numpy_module

TYPE_CHECKING = False  # typing stays unimported at run time

if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from types import EllipsisType, TracebackType

    import numpy
    import numpy.typing
    from typing_extensions import Unpack

    from quorl_sdk import _engine
    from quorl_sdk._options import Options
    from quorl_sdk.buffers import Buffers
    from quorl_sdk.frames import Frame

    StreamKey = tuple[FrameKind, "int | None"]

__all__ = ["Batch", "Client", "Mode", "Recorder", "connect", "connect_url"]


class Batch:
    """The frames of one stream that :meth:`Client.pull` took, as numpy arrays.

    Attributes:
        kind, side: the stream.
        time: float64, shape ``(N,)``: each frame's receive time on
            ``time.monotonic()``'s clock.
        seq: int64, shape ``(N,)``: each frame's sequence number.
        values: float64, shape ``(N, groups, 4)``, or ``(N, 21)`` for angles,
            bit for bit as the server sent them.
    """

    __slots__ = ("kind", "side", "time", "seq", "values")

    def __init__(
        self, kind: FrameKind, side: int | None, time: numpy.typing.NDArray[numpy.float64],
        seq: numpy.typing.NDArray[numpy.int64], values: numpy.typing.NDArray[numpy.float64],
    ) -> None:
        self.kind = kind
        self.side = side
        self.time = time
        self.seq = seq
        self.values = values

    def __len__(self) -> int:
        return len(self.time)

    def __repr__(self) -> str:
        return f"<quorl_sdk.Batch {self.kind.name} side={self.side} frames={len(self)}>"


def batches(raw: list[tuple[FrameKind, int | None, bytearray, bytearray, bytearray]]) -> dict[
    StreamKey, Batch
]:
    """Wraps the engine's columns of each stream as numpy arrays, without copying."""
    numpy = numpy_module("pull()")
    result = {}
    for kind, side, times, seqs, values in raw:
        time = numpy.frombuffer(times, dtype=numpy.float64)
        shape = (len(time), kind.value_count // 4, 4) if kind.is_grouped else (len(time), 21)
        result[(kind, side)] = Batch(
            kind, side, time, numpy.frombuffer(seqs, dtype=numpy.int64),
            numpy.frombuffer(values, dtype=numpy.float64).reshape(shape),
        )
    return result


class Recorder:
    """A recording that the client's engine thread writes; made by :meth:`Client.record`.

    The file is in the format of :mod:`quorl_sdk.recording`. Recording goes on
    until :meth:`stop`, the end of a ``with`` block or the client's ``close()``,
    whether the program reads frames or not.

    Attributes:
        path: the file being written.
    """

    __slots__ = ("_recording", "path")

    def __init__(self, recording: _engine.Recording, path: str) -> None:
        self._recording = recording
        self.path = path

    @property
    def frames(self) -> int:
        """Frames written so far."""
        return self._recording.frames

    @property
    def stream_frames(self) -> dict[StreamKey, int]:
        """Frames written so far per ``(kind, side)``, for the streams seen."""
        return self._recording.stream_frames

    def stop(self) -> None:
        """Stops recording and closes the file; safe to call more than once.

        Raises:
            OSError: a write failed (a full disk, an I/O error), which ended
                the recording; raised by every call.
        """
        self._recording.stop()

    def __enter__(self) -> Recorder:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.stop()

    def __repr__(self) -> str:
        return f"<quorl_sdk.Recorder {self.path!r} frames={self.frames}>"


class Handle:
    """What the blocking and the asyncio client share: the engine and its settings."""

    __slots__ = ("_stream", "_mode", "_timeout", "_close_timeout")

    def __init__(self, stream: _engine.Stream, resolved: dict[str, object]) -> None:
        """Wraps a connected engine; programs call the connect functions instead."""
        self._stream = stream
        self._mode: Mode = resolved["mode"]  # type: ignore[assignment]
        self._timeout: float | None = resolved["timeout"]  # type: ignore[assignment]
        self._close_timeout: float | None = resolved["close_timeout"]  # type: ignore[assignment]

    @property
    def port(self) -> int:
        """The TCP port of the connection."""
        return self._stream.port

    @property
    def mode(self) -> Mode:
        """How frames are handed over: :attr:`Mode.LOSSLESS` or :attr:`Mode.LATEST`."""
        return self._mode

    @property
    def timeout(self) -> float | None:
        """Seconds that iterating waits for the next frame; None waits without limit."""
        return self._timeout

    @property
    def received(self) -> int:
        """Data frames read from the connection so far (errors not counted)."""
        return self._stream.received

    @property
    def dropped(self) -> int:
        """Frames replaced by a newer one of the same kind and side (latest mode only)."""
        return self._stream.dropped

    @property
    def reconnections(self) -> int:
        """How many times the connection was lost and made again."""
        return self._stream.reconnections

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has been called."""
        return self._stream.closed

    @property
    def close_code(self) -> int | None:
        """How the stream ended: None while it runs; the code of the server's close
        frame once it has ended (1005 for a close frame without one), or 1006 when
        the connection was lost without a close frame."""
        return self._stream.close_code

    @property
    def close_reason(self) -> str | None:
        """The reason of the server's close frame: None while the stream runs, ""
        when the close frame gave none or the connection was lost."""
        return self._stream.close_reason

    def record(self, path: str | os.PathLike[str]) -> Recorder:
        """Starts writing every frame received from now on to the recording ``path``.

        The engine thread writes each frame that passes ``kinds``, its bytes
        exactly as the server sent them, with its arrival time, and marks
        each reconnection: no Python code runs per frame. In latest mode the
        file gets every frame while the program sees the newest; in lossless
        mode the file waits with the program. Records reach the file whole,
        at least every 0.1 s and whenever the stream pauses, so a process
        killed mid-recording leaves a file that reads up to its last record.

        A write that fails ends the recording; the program's next read
        (``recv``, iteration, ``pull``, ``latest``) raises its OSError once,
        and :meth:`Recorder.stop` raises it too.

        Raises:
            OSError: the file cannot be created.
            RuntimeError: "client is closed", or the client records already.
        """
        name = os.fspath(path)
        return Recorder(self._stream.record(os.fsencode(name)), name)

    def latest(self) -> dict[StreamKey, Frame]:
        """Returns the newest frame received of each ``(kind, side)``, without waiting.

        Consumes nothing, in either mode: for render loops that draw the
        current state while another part of the program reads every frame.

        Raises:
            RuntimeError: "client is closed".
        """
        return self._stream.latest()

    def _wait(self, timeout: float | None | EllipsisType) -> float | None:
        """Returns the wait that ``timeout`` asks for, checked."""
        return check_timeout("timeout", self._timeout if timeout is ... else timeout)


class Client(Handle):
    """A live frame stream from a Quorl server; iterate it to receive :class:`Frame` values.

    Created by :func:`connect` or :func:`connect_url`. A native engine thread
    owns the connection, stamps each frame with its receive time and hands it
    over; waiting for one answers Ctrl-C within a fraction of a second and
    stops after ``timeout`` seconds.

    Use it as a context manager so that the connection is closed::

        with quorl_sdk.connect() as client:
            for frame in client:
                ...

    A ``FrameError`` (the server sent a malformed frame) ends a ``for`` loop
    but not the stream: iterating again goes on with the following frame.
    Iteration ends (``StopIteration``) when the stream ends for good: the
    server closed the connection and reconnection is off or gave up.

    ``close`` may be called from any thread.
    """

    __slots__ = ()

    def recv(self, timeout: float | None | EllipsisType = ...) -> Frame:
        """Waits for the next frame and returns it.

        Args:
            timeout: seconds to wait; None waits without limit, 0 only takes a
                frame that is already waiting; ``...`` (the default) uses the
                client's ``timeout``.

        Raises:
            FrameTimeout: no frame came within the timeout.
            EOFError: the stream has ended for good.
            FrameError: the server sent a frame the decoder rejects (message
                "failed to decode a stream frame: ..."); the next call reads on.
            StreamError, IncompatibleProtocol: the stream failed or the
                server speaks another protocol version.
            RuntimeError: "client is closed".
        """
        return self._stream.recv(self._wait(timeout))

    def pull(self, timeout: float | None | EllipsisType = ...) -> dict[StreamKey, Batch]:
        """Takes every frame waiting (at least one, waiting as :meth:`recv` does), per stream.

        Returns a dict from ``(kind, side)`` to a :class:`Batch` of numpy
        arrays, built without a Python object per frame: the way to read a
        high-rate stream. Frames that came before an error are returned; the
        next call raises the error. Needs numpy.

        Raises:
            As :meth:`recv`; ImportError without numpy.
        """
        return batches(self._stream.pull(self._wait(timeout)))

    def pull_into(self, buffers: Buffers, timeout: float | None | EllipsisType = ...) -> int:
        """Takes the frames waiting (at least one, waiting as :meth:`recv` does) into ``buffers``.

        As :meth:`pull`, but into the caller's arrays: no array is made,
        nothing is imported, and each frame is copied once, into the next
        free row of its stream. Takes frames in order until a stream's arrays
        are full (the rest wait for the next call) or an error comes (raised
        by the next call). ``buffers.count(key)`` then says how many rows of
        each stream are new. Returns how many frames it took in all.

        Raises:
            As :meth:`recv`;
            KeyError: the next frame is of a stream that ``buffers`` has no
                arrays for (``(kind, side)``); it stays waiting, for
                :meth:`recv` or other buffers.
        """
        return self._stream.pull_into(buffers._sink, self._wait(timeout))

    def __iter__(self) -> Iterator[Frame]:
        # The engine's own iterator: no Python call per frame.
        return self._stream

    def __next__(self) -> Frame:
        """Returns the next frame, waiting up to the client's ``timeout``.

        Raises:
            StopIteration: the stream has ended for good.
            FrameTimeout, FrameError, StreamError, RuntimeError: as :meth:`recv`.
        """
        return next(self._stream)

    def close(self) -> None:
        """Closes the connection at once, in any state; frames still waiting are discarded.

        Ends a wait on a silent server, a connection attempt, a wait between
        reconnection attempts alike, and releases every waiting consumer
        (they raise RuntimeError "client is closed"). Returns once the socket
        is closed, or after ``close_timeout`` seconds in any case. Safe to
        call more than once.

        Raises:
            KeyboardInterrupt: Ctrl-C during the short wait; nothing else is raised.
        """
        self._stream.close(self._close_timeout)

    def __enter__(self) -> Client:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<quorl_sdk.Client port={self.port} mode={self.mode.value} {state}>"


def open_stream(by_url: bool, target: object, options: dict[str, object]) -> tuple[
    _engine.Stream, dict[str, object]
]:
    """Checks the options and starts an engine on them; returns it with the options resolved."""
    resolved = resolve(options)
    return start(by_url, target, resolved), resolved


def _connect(
    by_url: bool, target: object, options: dict[str, object],
    prepare: Callable[[_engine.Stream], object] | None = None,
) -> Client:
    """Starts an engine and waits for its connection; ``prepare`` runs on the engine
    before it connects (a recording that must hold the first frame)."""
    stream, resolved = open_stream(by_url, target, options)
    try:
        if prepare is not None:
            prepare(stream)
        stream.wait_connected()
    except BaseException:
        stream.close(0.0)  # a Ctrl-C, or the connection failed
        del stream  # the traceback keeps this frame: let the engine's descriptors go now
        raise
    return Client(stream, resolved)


def connect(port: int | None = None, **options: Unpack[Options]) -> Client:
    """Connects to a Quorl server on ``127.0.0.1`` and returns a :class:`Client`.

    Args:
        port: the server's port; None tries 5432, 5433, 5434 and 5435 in turn.

    Options (the same for every connect function):
        reconnect: re-establish a lost connection behind the iterator's back
            (counted in ``client.reconnections``).
        base_delay_ms: wait before the first reconnection attempt (250);
            doubles after each failed attempt.
        max_delay_ms: longest wait between two attempts (10000).
        max_retries: attempts per lost connection before the stream ends (10).
        mode: ``"lossless"`` (every frame in order; the engine stops reading
            while ``max_queue`` items wait) or ``"latest"`` (only the newest
            frame of each kind and side, and the newest error, wait).
        max_queue: lossless mode's bound on waiting items, from 1 to
            10,000,000 (1024); the queue takes memory as items wait.
        timeout: seconds that iterating waits for the next frame before it
            raises FrameTimeout; None (the default) waits without limit.
        close_timeout: seconds that :meth:`Client.close` waits at most for the
            socket to close (0.25).
        kinds: the :class:`FrameKind` members to receive, any iterable (read
            once) of at least one; the engine drops every other kind before
            decoding it. None (the default): all.
        wait: seconds to keep trying the first connection while no server
            answers, for a program started before its server; None (the
            default) tries once.

    Seconds, here and in every call that waits, are any real number from 0
    (an int, a float, a numpy scalar) or None; a span longer than a clock can
    count, such as ``sys.maxsize`` or ``math.inf``, waits without end.

    The connection is made on the engine thread; this thread waits for it and
    answers Ctrl-C meanwhile (the attempt is then abandoned).

    Raises:
        ServerNotFound: no server on the given port ("failed to connect to
            Quorl at ws://127.0.0.1:PORT: ...") or on the default range ("no
            Quorl server found on ports 5432-5435; is Quorl running?").
        TypeError, OverflowError: ``port``, ``reconnect``, a delay or
            ``max_retries`` has the wrong type or range; exactly as
            ``_quorl_sdk.connect_raw`` raises them.
        ValueError, TypeError: an option of this layer is invalid.
    """
    return _connect(False, port, dict(options))


def connect_url(url: str, **options: Unpack[Options]) -> Client:
    """Connects to a Quorl server at ``url`` (``ws://host:port``) and returns a :class:`Client`.

    The options are those of :func:`connect`.

    Raises:
        ValueError: ``url`` is not a usable Quorl URL ("invalid Quorl URL
            `...`: ..."), or an option is invalid.
        ServerNotFound: the connection attempt failed.
        TypeError, OverflowError: an argument has the wrong type or range;
            exactly as ``_quorl_sdk.connect_url_raw`` raises them.
        UnicodeEncodeError: ``url`` has no UTF-8 form.
    """
    return _connect(True, url, dict(options))
