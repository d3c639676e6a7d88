"""``quorl-sdk snapshot OUT.png``: one picture of the latest landmarks, without a screen."""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable

from quorl_sdk.cli._live import (
    Session,
    StreamEnded,
    StreamFailed,
    Target,
    add_connection_options,
    fail,
    open_session,
    seconds,
    stopping_on_signals,
    wall_clock_text,
)
from quorl_sdk.cli._skeleton import add_skeleton_option, with_skeleton
from quorl_sdk.client import Mode
from quorl_sdk.recording import RecordingError, RecordingReader
from quorl_sdk.view import Pose

# How long ``snapshot`` waits for the body and both hands by default.
_DEFAULT_WAIT = 5.0


def add_parser(subcommands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds ``quorl-sdk snapshot`` to the command line."""
    parser = subcommands.add_parser(
        "snapshot",
        help="render the latest body and hand landmarks into a PNG file (needs matplotlib)",
        description="Renders one picture of the latest body and hand landmarks into OUT.png, "
        "without a screen: from a live server (once the body and both hands have come, or "
        "after --wait seconds), or from a recording with --recording.",
    )
    parser.add_argument("out", metavar="OUT.png", help="the picture to write (replaced)")
    add_connection_options(parser, reconnect=False)
    parser.add_argument(
        "--wait",
        type=seconds,
        default=_DEFAULT_WAIT,
        metavar="S",
        help=f"longest wait for the body and both hands (default: {_DEFAULT_WAIT:g})",
    )
    parser.add_argument(
        "--recording", metavar="FILE", help="take the landmarks from a recording instead"
    )
    parser.add_argument(
        "--at",
        type=seconds,
        metavar="S",
        help="with --recording: the latest landmarks at S seconds in (default: the end)",
    )
    parser.add_argument("--no-lines", action="store_true", help="draw the landmarks alone")
    add_skeleton_option(parser)
    parser.set_defaults(handler=with_skeleton("snapshot", run))


def run(args: argparse.Namespace) -> int:
    """Runs ``quorl-sdk snapshot``; returns the exit status."""
    from quorl_sdk.view import matplotlib_module, render_png

    try:
        matplotlib_module()
    except ImportError as error:
        return fail("snapshot", error, 2)
    if args.recording is not None:
        try:
            pose = _pose_from_recording(args.recording, args.at)
        except OSError as error:
            reason = error.strerror or str(error)
            return fail("snapshot", f"cannot read recording {args.recording}: {reason}", 2)
        except RecordingError as error:
            return fail("snapshot", error, 2)
        source = args.recording
        clock: Callable[[float], str] = _recording_clock
    else:
        with stopping_on_signals():
            session = Session(Target.from_args(args), mode=Mode.LATEST)
            if (code := open_session("snapshot", session)) is not None:
                return code
            try:
                pose = _pose_from_session(session, args.wait)
            except KeyboardInterrupt:
                return 0
        source = session.url
        clock = wall_clock_text
    if pose.empty:
        return fail("snapshot", f"no landmark frame from {source}")
    try:
        render_png(
            pose, args.out, lines=not args.no_lines, clock=clock, skeleton=args.skeleton
        )
    except OSError as error:
        return fail("snapshot", f"cannot write {args.out}: {error.strerror or error}", 2)
    missing = _missing(pose)
    note = f" ({missing} missing)" if missing else ""
    print(f"quorl-sdk snapshot: wrote {args.out} from {source}{note}", file=sys.stderr)
    return 0


def _recording_clock(time_s: float) -> str:
    return f"{time_s:.3f} s into the recording"


def _missing(pose: Pose) -> str:
    """Names the parts of ``pose`` that have not come."""
    parts = [] if pose.body is not None else ["body"]
    parts += [f"hand side {side}" for side in (0, 1) if side not in pose.hands]
    return ", ".join(parts)


def _pose_from_recording(path: str, at: float | None) -> Pose:
    """Returns the latest landmarks of the recording at ``at`` seconds (None: the end).

    Raises:
        OSError, RecordingError: the recording cannot be read.
    """
    pose = Pose()
    with RecordingReader(path) as recording:
        first: float | None = None
        for time_s, frame in recording.timed_frames():
            first = time_s if first is None else first
            if at is not None and time_s - first > at:
                break
            pose.update(frame, time_s)
    return pose


def _pose_from_session(session: Session, wait: float) -> Pose:
    """Returns the landmarks once the body and both hands have come, or after ``wait`` seconds.

    Closes ``session``, an opened one.
    """
    pose = Pose()
    deadline = time.monotonic() + wait
    try:
        while not pose.complete and (remaining := deadline - time.monotonic()) > 0:
            frame = session.next(remaining)
            if frame is not None:
                pose.update(frame, frame.time)
    except (StreamEnded, StreamFailed):
        pass
    finally:
        session.close()
    return pose
