"""How every command ends: the exit status and the one line of each way it fails, and the
run of a live command (stream, record, lsl): connect, hand every frame to an
:class:`Output`, stop at the end.

Exit status 0 on success and at a requested stop (Ctrl-C, SIGTERM, the end of
``--duration``, a server that ends the stream); 2 for bad usage (an option out
of range, an unusable URL, an unknown file suffix, a missing extra); 1 when the
run fails (no server answers, the connection is lost without ``--reconnect``,
the server speaks another protocol version, reconnection gives up, a file
cannot be read or written, a recording is damaged, a port is taken).
:func:`report` tells the failures apart by their type, in :data:`STATUSES`.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from collections.abc import Iterator
from contextlib import AbstractContextManager, contextmanager

from quorl_sdk.cli._live import (
    Session,
    Stopping,
    StreamEnded,
    StreamFailed,
    Target,
    fail,
    open_session,
    stopping_on_signals,
)
from quorl_sdk._extras import MissingExtraError
from quorl_sdk.client import Mode
from quorl_sdk.frames import Frame
from quorl_sdk.recording import RecordingError

__all__ = [
    "STATUSES",
    "CannotRead",
    "CannotWrite",
    "Output",
    "Usage",
    "reading",
    "report",
    "run_live",
    "status_of",
    "writing",
]


class _FileFault(Exception):
    """A file cannot be used as the command needs; the message says ``cannot VERB FILE: WHY``."""

    verb = "use"

    def __init__(self, path: str | os.PathLike[str], reason: str) -> None:
        super().__init__(f"cannot {self.verb} {os.fspath(path)}: {reason}")


class CannotRead(_FileFault):
    """A file the command reads cannot be opened or read."""

    verb = "read"


class CannotWrite(_FileFault):
    """A file the command writes cannot be created or written."""

    verb = "write"


class Usage(Exception):
    """The command was asked for something it cannot do; its message says what."""


#: The exit status of each kind of failure, the first type that matches; the
#: message is the exception's own. Anything else is an unexpected failure, 1.
STATUSES: tuple[tuple[type[BaseException], int], ...] = (
    (CannotRead, 1),
    (CannotWrite, 1),
    (RecordingError, 1),  # a ValueError, but the file's fault, not the user's
    (ConnectionError, 1),  # no server, another protocol version
    (StreamFailed, 1),  # another protocol version, seen once connected
    (Usage, 2),
    (MissingExtraError, 2),
    (ValueError, 2),  # an option the library refuses: a URL, a rate, a port
    (OSError, 1),  # a port that is taken, and other faults of the system
)


def status_of(error: BaseException) -> int | None:
    """Returns the exit status of ``error`` by :data:`STATUSES`; None for an unexpected error."""
    return next((code for kind, code in STATUSES if isinstance(error, kind)), None)


def report(command: str, error: BaseException) -> int:
    """Prints ``error`` as ``quorl-sdk COMMAND: error: ...`` and returns its exit status,
    1 for an unexpected error."""
    return fail(command, _message(error), status_of(error) or 1)


def _message(error: BaseException) -> str:
    """Returns the text of ``error``; of a system error, without its ``[Errno N]``."""
    if isinstance(error, OSError) and error.errno is not None:
        reason = _reason(error)
        return reason if error.filename is None else f"{error.filename}: {reason}"
    return str(error)


def reading(path: str | os.PathLike[str]) -> AbstractContextManager[None]:
    """Turns an OSError of the block into :class:`CannotRead` of ``path``."""
    return _failing_as(CannotRead, path)


def writing(path: str | os.PathLike[str]) -> AbstractContextManager[None]:
    """Turns an OSError of the block into :class:`CannotWrite` of ``path``.

    The libraries that write files (h5py, pyarrow) raise OSErrors in words of
    their own; the reason is that of the error number when there is one.
    """
    return _failing_as(CannotWrite, path)


@contextmanager
def _failing_as(fault: type[_FileFault], path: str | os.PathLike[str]) -> Iterator[None]:
    try:
        yield
    except OSError as error:
        raise fault(error.filename or path, _reason(error)) from error


def _reason(error: OSError) -> str:
    """Returns why ``error`` happened, in the system's words where it has an error number."""
    return os.strerror(error.errno) if error.errno is not None else str(error)


class Output:
    """What a live command does with the session: its start, each frame, idle moments, end."""

    #: Longest wait for a frame before :meth:`idle` runs.
    tick = 0.1
    #: How the session's client hands frames over.
    mode = Mode.LOSSLESS
    #: A recording the session writes from its first frame on, if any.
    record: str | None = None

    def take(self, session: Session, timeout: float) -> Frame | None:
        """Returns the next frame of ``session``, or None after ``timeout`` seconds."""
        return session.next(timeout)

    def start(self, session: Session) -> None:
        """Called once connected."""

    def frame(self, frame: Frame, time: float) -> None:
        """Called with each frame and its arrival time (monotonic seconds)."""

    def idle(self, now: float) -> None:
        """Called at least every :attr:`tick` seconds."""

    def event(self, text: str) -> None:
        """Called when something other than a frame happens."""

    def link(self, up: bool, time: float) -> None:
        """Called for each reconnection: with ``up`` False and the arrival of the last frame
        before the loss, then with ``up`` True and the moment the new connection was seen."""

    def finish(self, now: float, reason: str) -> None:
        """Called once at the end, why it ended in ``reason``."""


def run_live(
    command: str, args: argparse.Namespace, output: Output, *, reconnect: bool | None = None
) -> int:
    """Connects, hands every frame to ``output`` until the end; returns the exit status.

    ``reconnect`` overrides the ``--reconnect`` option when given.
    """
    session = Session(
        Target.from_args(args),
        reconnect=getattr(args, "reconnect", False) if reconnect is None else reconnect,
        on_event=output.event,
        on_link=output.link,
        mode=output.mode,
        record=output.record,
    )
    with stopping_on_signals() as stopping:
        try:
            if (code := open_session(command, session)) is not None:
                return code
            try:
                return _pump(command, session, output, stopping, args.duration)
            finally:
                session.close()
        except OSError as error:
            # The one file a session writes is its recording, whose faults name it.
            if error.filename is None or isinstance(error, ConnectionError):
                raise
            raise _unwritten(error) from error


def _pump(
    command: str, session: Session, output: Output, stopping: Stopping, duration: float | None
) -> int:
    """Hands frames to ``output`` until the duration, a stop signal or the end of the stream."""
    try:
        with stopping.deferred():
            output.start(session)
    except OSError as error:
        return report(command, _unwritten(error))
    except KeyboardInterrupt:
        return _finish(command, output, stopping, "stopped", 0)
    started = time.monotonic()
    end = math.inf if duration is None else started + duration
    code, reason = 0, "stopped"
    try:
        while (now := time.monotonic()) < end:
            frame = output.take(session, min(output.tick, end - now))
            if frame is not None:
                with stopping.deferred():
                    output.frame(frame, frame.time)
            output.idle(time.monotonic())
        reason = "duration over"
    except KeyboardInterrupt:
        reason = "stopped"
    except StreamEnded as ended:
        reason = str(ended)
        if ended.lost:
            code = fail(command, f"{ended} after {time.monotonic() - started:.1f} s")
    except StreamFailed as failed:
        code, reason = fail(command, failed), str(failed)
    except BrokenPipeError:
        # The reader of the output went away: stop quietly, with nothing more to write.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except OSError as error:
        code, reason = report(command, _unwritten(error)), "write failed"
    return _finish(command, output, stopping, reason, code)


def _finish(command: str, output: Output, stopping: Stopping, reason: str, code: int) -> int:
    """Ends ``output`` in one piece and returns the exit status, ``code`` unless it failed.

    A stop signal meanwhile has nothing left to stop; a write that fails now
    (the last of a file on a full disk) is reported once.
    """
    try:
        with stopping.deferred():
            output.finish(time.monotonic(), reason)
    except KeyboardInterrupt:
        pass
    except OSError as error:
        return report(command, _unwritten(error)) if code == 0 else code
    return code


def _unwritten(error: OSError) -> Exception:
    """Returns an OSError of the output as :class:`CannotWrite` of its file, if it names one."""
    return error if error.filename is None else CannotWrite(error.filename, _reason(error))
