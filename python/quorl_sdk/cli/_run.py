"""The run of a live command (stream, record, lsl): connect, hand every frame to an
:class:`Output`, stop at the end, and turn how it ended into the exit status.

Exit status 0 at Ctrl-C or SIGTERM, at the end of ``--duration`` and when the
server ends the stream; 1 when no server answers, the connection is lost
without ``--reconnect``, the server speaks another protocol version,
reconnection gives up or the output cannot be written; 2 for an unusable URL
or an output that cannot be opened.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time

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
from quorl_sdk.client import Mode
from quorl_sdk.frames import Frame

__all__ = ["Output", "run_live"]


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
        if (code := open_session(command, session)) is not None:
            return code
        try:
            return _pump(command, session, output, stopping, args.duration)
        finally:
            session.close()


def _pump(
    command: str, session: Session, output: Output, stopping: Stopping, duration: float | None
) -> int:
    """Hands frames to ``output`` until the duration, a stop signal or the end of the stream."""
    try:
        with stopping.deferred():
            output.start(session)
    except OSError as error:
        return fail(command, error, 2)
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
        code, reason = fail(command, _os_error(error)), "write failed"
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
        return fail(command, _os_error(error)) if code == 0 else code
    return code


def _os_error(error: OSError) -> str:
    """Returns ``error`` as a person reads it: what failed on which file, and why."""
    if error.filename is not None and error.strerror:
        return f"cannot write {error.filename}: {error.strerror}"
    return error.strerror or str(error)
