"""``quorl-sdk snapshot OUT.png``: one picture of the latest landmarks, without a screen."""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable
from pathlib import Path

from quorl_sdk.cli._live import (
    Session,
    StreamEnded,
    Target,
    add_connection_options,
    fail,
    open_session,
    seconds,
    stopping_on_signals,
    wall_clock_text,
)
from quorl_sdk.cli._run import Usage, reading, writing
from quorl_sdk.cli._skeleton import add_skeleton_option, with_skeleton
from quorl_sdk.client import Mode
from quorl_sdk.recording import RecordingReader
from quorl_sdk.view import Pose

# How long ``snapshot`` waits for the body and both hands by default.
_DEFAULT_WAIT = 5.0


def add_parser(subcommands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds ``quorl-sdk snapshot`` to the command line."""
    parser = subcommands.add_parser(
        "snapshot",
        help="render the latest body and hand landmarks into a picture file (needs matplotlib)",
        description="Renders one picture of the latest body and hand landmarks into OUT, "
        "without a screen: from a live server (once the body and both hands have come, or "
        "after --wait seconds), or from a recording with --recording. The suffix of OUT picks "
        "the format: .png, .svg, .jpg, .pdf and the others matplotlib writes.",
    )
    parser.add_argument("out", metavar="OUT", help="the picture to write (replaced)")
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
    from quorl_sdk.view import render_png

    picture = _picture_format(args.out)
    if args.at is not None and args.recording is None:
        raise Usage("--at needs --recording: a live server has only its latest landmarks")
    if args.recording is not None:
        with reading(args.recording):
            pose = _pose_from_recording(args.recording, args.at)
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
    with writing(args.out):
        render_png(
            pose, args.out, lines=not args.no_lines, clock=clock, skeleton=args.skeleton,
            format=picture,
        )  # fmt: skip
    missing = _missing(pose)
    note = f" ({missing} missing)" if missing else ""
    print(f"quorl-sdk snapshot: wrote {args.out} from {source}{note}", file=sys.stderr)
    return 0


def _picture_format(out: str) -> str:
    """Returns the format matplotlib writes for the suffix of ``out``.

    Raises:
        MissingExtraError: matplotlib is not installed.
        Usage: matplotlib writes no format of that suffix.
    """
    from quorl_sdk.view import matplotlib_module

    matplotlib_module()
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    formats = FigureCanvasAgg.get_supported_filetypes()
    suffix = Path(out).suffix.lower().removeprefix(".")
    if suffix not in formats:
        known = ", ".join(f".{name}" for name in sorted(formats))
        raise Usage(f"cannot tell the picture format of {out}: its suffix is none of {known}")
    return suffix


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
        Usage: ``at`` is past the last frame.
    """
    pose = Pose()
    first: float | None = None
    last = 0.0
    with RecordingReader(path) as recording:
        for time_s, frame in recording.timed_frames():
            first = time_s if first is None else first
            last = time_s - first
            if at is not None and last > at:
                return pose
            pose.update(frame, time_s)
    if at is not None and at > last:
        raise Usage(f"--at {at:g} s is past the end of {path}: its frames span {last:.3f} s")
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
    except StreamEnded:
        pass
    finally:
        session.close()
    return pose
