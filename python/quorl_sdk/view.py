"""Pictures of the latest body and hand landmarks: ``quorl-sdk view`` and ``quorl-sdk snapshot``.

``view`` opens a window that follows the stream live; ``snapshot OUT.png``
renders one picture without a screen, from a live server or from a
recording. Both need matplotlib: ``pip install 'quorl-sdk[view]'``.

The picture is a front view: a landmark's first value is drawn to the right,
its second upwards, its third (depth) is left out, and its fourth
(visibility) sets how opaque the point is. The body fills the left panel, its
hands drawn small at the wrists; the hands of side 0 and side 1 are drawn
enlarged on the right, around their wrist (landmark 0). The protocol
does not say which landmark is which, so the lines that join landmarks follow
the layout that the simulator uses: 19 body landmarks (nose, neck, right
shoulder, elbow, wrist, left shoulder, elbow, wrist, mid hip, right hip,
knee, ankle, left hip, knee, ankle, right and left eye, right and left ear)
and 21 hand landmarks (the wrist, then four points from the base to the tip
of the thumb and of each finger). ``--no-lines`` draws the points alone.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

from quorl_sdk import cli
from quorl_sdk._live import (
    Session,
    StreamEnded,
    StreamFailed,
    Target,
    add_connection_options,
    fail,
    seconds,
    stopping_on_signals,
)
from quorl_sdk.client import Mode
from quorl_sdk.frames import Frame, FrameKind
from quorl_sdk.recording import RecordingError, RecordingReader

if TYPE_CHECKING:
    from matplotlib.artist import Artist
    from matplotlib.axes import Axes
    from matplotlib.collections import LineCollection
    from matplotlib.figure import Figure

__all__ = ["Pose", "PosePlot", "render_png"]

#: Lines of the body: pairs of landmark indices.
BODY_LINES: tuple[tuple[int, int], ...] = (
    (0, 1), (1, 2), (2, 3), (3, 4), (1, 5), (5, 6), (6, 7), (1, 8),
    (8, 9), (9, 10), (10, 11), (8, 12), (12, 13), (13, 14),
    (0, 15), (15, 17), (0, 16), (16, 18),
)  # fmt: skip
#: Lines of a hand: the three segments of the thumb and each finger (bases 1, 5, 9, 13
#: and 17), the wrist to the thumb and to the index finger, and across the palm.
HAND_LINES: tuple[tuple[int, int], ...] = tuple(
    (joint, joint + 1) for base in range(1, 21, 4) for joint in range(base, base + 3)
) + ((0, 1), (0, 5), (5, 9), (9, 13), (13, 17), (0, 17))

#: Size of the picture in inches, and its resolution.
FIGURE_SIZE = (9.0, 6.0)
DPI = 100
# How long ``snapshot`` waits for the body and both hands by default.
_DEFAULT_WAIT = 5.0
# Frames per second of the live window.
_VIEW_FPS = 30.0

Point = tuple[float, float, float]


def _points(values: Sequence[float]) -> list[Point]:
    """Returns (right, up, visibility) of each landmark in ``values``."""
    return [(values[i], values[i + 1], values[i + 3]) for i in range(0, len(values), 4)]


class Pose:
    """The latest body landmarks and hand landmarks of each side."""

    def __init__(self) -> None:
        self.body: list[float] | None = None
        self.hands: dict[int, list[float]] = {}

    def update(self, frame: Frame) -> bool:
        """Keeps ``frame`` when it holds landmarks; tells whether it did."""
        if frame.kind is FrameKind.BODY_LANDMARKS:
            self.body = frame.values
        elif frame.kind is FrameKind.HAND_LANDMARKS and frame.side is not None:
            self.hands[frame.side] = frame.values
        else:
            return False
        return True

    @property
    def empty(self) -> bool:
        """True until a landmark frame has come."""
        return self.body is None and not self.hands

    @property
    def complete(self) -> bool:
        """True once the body and both hands have come."""
        return self.body is not None and set(self.hands) >= {0, 1}


class PosePlot:
    """Draws a :class:`Pose` on a matplotlib figure: the body left, the two hands right.

    The hands are drawn around their wrist (landmark 0), which stays at the
    origin of their panels. A panel's limits change only when a point would
    leave them or the drawing has become small in them, so that a live window
    redraws just the moving lines and points (see :attr:`artists`).

    Args:
        figure: the figure to draw on.
        lines: join the landmarks with lines (see the module's docstring).
    """

    def __init__(self, figure: Figure, *, lines: bool = True) -> None:
        grid = figure.add_gridspec(2, 2, width_ratios=(3, 2))
        self.figure = figure
        self.lines = lines
        self._body = _Panel(figure.add_subplot(grid[:, 0]), "body", BODY_LINES, lines)
        self._hands = {
            side: _Panel(
                figure.add_subplot(grid[side, 1]), f"hand, side {side}, around the wrist",
                HAND_LINES, lines,
            )
            for side in (0, 1)
        }  # fmt: skip

    @property
    def artists(self) -> list[Artist]:
        """The lines and points that change from one pose to the next."""
        panels = [self._body, *self._hands.values()]
        return [artist for panel in panels for artist in panel.artists]

    def draw(self, pose: Pose) -> bool:
        """Shows ``pose``; a part that has not come yet is marked as missing.

        Returns True when more than :attr:`artists` changed (limits, the
        missing marks), so that the whole figure needs drawing again.
        """
        changed = self._body.show(pose.body)
        self._body.show_beside([pose.hands[side] for side in sorted(pose.hands)], HAND_LINES)
        for side, panel in self._hands.items():
            changed = panel.show(pose.hands.get(side), around_first=True) or changed
        return changed


class _Panel:
    """One panel: the points of a landmark frame and the lines between them."""

    def __init__(
        self, axes: Axes, title: str, pairs: tuple[tuple[int, int], ...], lines: bool
    ) -> None:
        from matplotlib.collections import LineCollection

        self.axes = axes
        self.pairs = pairs if lines else ()
        axes.set_title(title)
        axes.set_aspect("equal", adjustable="box")
        axes.tick_params(labelsize=7)
        self.segments: LineCollection = LineCollection([], colors="tab:blue", linewidths=2.0)
        axes.add_collection(self.segments)
        self.dots = axes.scatter([], [], s=18, color="tab:red", zorder=3)
        # Other landmark frames drawn small in the same panel (the hands at the body's wrists).
        self.beside: LineCollection = LineCollection([], colors="tab:green", linewidths=0.8)
        axes.add_collection(self.beside)
        self.missing = axes.text(
            0.5, 0.5, "no frame yet", transform=axes.transAxes, ha="center", va="center"
        )
        self.artists: list[Artist] = [self.segments, self.dots, self.beside]
        self._limits: tuple[float, float, float] | None = None  # centre x, centre y, half

    def show(self, values: list[float] | None, *, around_first: bool = False) -> bool:
        """Draws the landmarks of ``values`` (None: the missing mark), moved so that the
        first is at the origin when ``around_first``; tells whether more than the
        artists changed.
        """
        changed = self.missing.get_visible() != (values is None)
        self.missing.set_visible(values is None)
        if values is None:
            return changed
        points = _points(values)
        if around_first:
            x0, y0 = points[0][0], points[0][1]
            points = [(x - x0, y - y0, visibility) for x, y, visibility in points]
        self.segments.set_segments(self._segments(points, self.pairs))
        self.dots.set_offsets([point[:2] for point in points])
        self.dots.set_alpha([_opacity(point[2]) for point in points])
        return self._fit([point[:2] for point in points]) or changed

    def show_beside(
        self, frames: list[list[float]], pairs: tuple[tuple[int, int], ...]
    ) -> None:
        """Draws the lines (or, without lines, nothing) of other landmark frames, thin."""
        segments = []
        for values in frames:
            segments += self._segments(_points(values), pairs if self.pairs else ())
        self.beside.set_segments(segments)

    @staticmethod
    def _segments(
        points: list[Point], pairs: tuple[tuple[int, int], ...]
    ) -> list[list[tuple[float, float]]]:
        count = len(points)
        return [[points[a][:2], points[b][:2]] for a, b in pairs if a < count and b < count]

    def _fit(self, xy: list[tuple[float, float]]) -> bool:
        """Sets square limits around the points unless the current ones still suit them;
        tells whether they changed. Values that are not finite are left out.
        """
        finite = [(x, y) for x, y in xy if math.isfinite(x) and math.isfinite(y)]
        if not finite:
            return False
        xs, ys = [x for x, _ in finite], [y for _, y in finite]
        span = max(max(xs) - min(xs), max(ys) - min(ys), 1e-3)
        if self._limits is not None:
            cx, cy, half = self._limits
            inside = cx - half <= min(xs) and max(xs) <= cx + half
            inside = inside and cy - half <= min(ys) and max(ys) <= cy + half
            if inside and span > 0.8 * half:
                return False
        cx, cy, half = (max(xs) + min(xs)) / 2, (max(ys) + min(ys)) / 2, span * 0.6
        self._limits = (cx, cy, half)
        self.axes.set_xlim(cx - half, cx + half)
        self.axes.set_ylim(cy - half, cy + half)
        return True


def _opacity(visibility: float) -> float:
    """Returns an opacity from 0.2 to 1 for ``visibility`` (taken as 0 to 1)."""
    if not math.isfinite(visibility):
        return 1.0
    return 0.2 + 0.8 * min(max(visibility, 0.0), 1.0)


def _matplotlib() -> Any:
    """Imports matplotlib, with a hint at the extra when it is missing.

    Raises:
        ImportError: matplotlib is not installed.
    """
    try:
        import matplotlib
    except ImportError as error:
        raise ImportError(
            "this command needs matplotlib: pip install 'quorl-sdk[view]'"
        ) from error
    return matplotlib


def render_png(pose: Pose, path: str | os.PathLike[str], *, lines: bool = True) -> None:
    """Renders ``pose`` into a PNG file at ``path``, without a screen.

    Raises:
        ImportError: matplotlib is not installed.
        OSError: the file cannot be written.
    """
    _matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=FIGURE_SIZE, dpi=DPI, layout="constrained")
    FigureCanvasAgg(figure)
    PosePlot(figure, lines=lines).draw(pose)
    figure.savefig(path, format="png")


# The commands.


@cli.subcommand
def _add_view_command(
    subcommands: argparse._SubParsersAction[argparse.ArgumentParser],
) -> None:
    """Adds ``quorl-sdk view`` to the command line."""
    parser = subcommands.add_parser(
        "view",
        help="draw the latest body and hand landmarks live in a window (needs matplotlib)",
        description="Connects to a Quorl server and draws the latest body and hand landmarks "
        "in a window until it is closed or Ctrl-C. Needs matplotlib with an interactive "
        "backend: pip install 'quorl-sdk[view]'.",
    )
    add_connection_options(parser)
    parser.add_argument("--duration", type=seconds, metavar="S", help="stop after S seconds")
    parser.add_argument("--no-lines", action="store_true", help="draw the landmarks alone")
    parser.set_defaults(handler=_view_command)


@cli.subcommand
def _add_snapshot_command(
    subcommands: argparse._SubParsersAction[argparse.ArgumentParser],
) -> None:
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
    parser.set_defaults(handler=_snapshot_command)


def _snapshot_command(args: argparse.Namespace) -> int:
    """Runs ``quorl-sdk snapshot``; returns the exit code."""
    try:
        _matplotlib()
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
    else:
        with stopping_on_signals():
            try:
                pose, source = _pose_from_server(Target.from_args(args), args.wait)
            except KeyboardInterrupt:
                return 0
            except ConnectionError as error:
                return fail("snapshot", error)
            except ValueError as error:  # an unusable --url
                return fail("snapshot", error, 2)
    if pose.empty:
        return fail("snapshot", f"no landmark frame from {source}")
    try:
        render_png(pose, args.out, lines=not args.no_lines)
    except OSError as error:
        return fail("snapshot", f"cannot write {args.out}: {error.strerror or error}", 2)
    missing = _missing(pose)
    note = f" ({missing} missing)" if missing else ""
    print(f"quorl-sdk snapshot: wrote {args.out} from {source}{note}", file=sys.stderr)
    return 0


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
            pose.update(frame)
    return pose


def _pose_from_server(target: Target, wait: float) -> tuple[Pose, str]:
    """Returns the landmarks once the body and both hands have come, or after ``wait`` seconds.

    Raises:
        ConnectionError: connecting failed.
        ValueError: the URL is not a usable Quorl URL.
    """
    session = Session(target, mode=Mode.LATEST)
    session.open()
    pose = Pose()
    deadline = time.monotonic() + wait
    try:
        while not pose.complete and (remaining := deadline - time.monotonic()) > 0:
            frame = session.next(remaining)
            if frame is not None:
                pose.update(frame)
    except (StreamEnded, StreamFailed):
        pass
    finally:
        session.close()
    return pose, session.url


def _view_command(args: argparse.Namespace) -> int:
    """Runs ``quorl-sdk view``; returns the exit code."""
    try:
        matplotlib = _matplotlib()
    except ImportError as error:
        return fail("view", error, 2)
    import matplotlib.pyplot as pyplot

    backend = str(matplotlib.get_backend()).lower()
    if backend in _NON_INTERACTIVE:
        return fail(
            "view",
            f"matplotlib has no window to draw in (backend {backend!r}; is there a display, "
            "and Tk or Qt for Python?); `quorl-sdk snapshot OUT.png` renders without one",
            2,
        )
    with stopping_on_signals() as stopping:
        session = Session(
            Target.from_args(args), reconnect=args.reconnect, mode=Mode.LATEST
        )
        try:
            session.open()
        except KeyboardInterrupt:
            return 0
        except ConnectionError as error:
            return fail("view", error)
        except ValueError as error:  # an unusable --url
            return fail("view", error, 2)
        try:
            figure = pyplot.figure(figsize=FIGURE_SIZE, layout="constrained")
            if figure.canvas.manager is not None:
                figure.canvas.manager.set_window_title(f"quorl-sdk view: {session.url}")
            plot = PosePlot(figure, lines=not args.no_lines)
            screen = _Screen(plot)
            # The toolkit's callbacks would swallow a KeyboardInterrupt: the loop polls instead.
            stopping.raising = False
            pyplot.show(block=False)
            return run_view(
                session,
                plot,
                alive=lambda: not stopping.requested and pyplot.fignum_exists(figure.number),
                refresh=screen.refresh,
                pause=figure.canvas.start_event_loop,
                duration=args.duration,
            )
        except KeyboardInterrupt:
            return 0
        finally:
            session.close()
            pyplot.close("all")


class _Screen:
    """Puts a :class:`PosePlot` on the window: the whole figure when more than its moving
    artists changed, else only those over the saved rest (matplotlib's blitting).
    """

    def __init__(self, plot: PosePlot) -> None:
        self.canvas = plot.figure.canvas
        self.figure = plot.figure
        self.artists = plot.artists
        self.blitting = bool(getattr(self.canvas, "supports_blit", False))
        self.background: Any = None
        if self.blitting:
            for artist in self.artists:
                artist.set_animated(True)
            self.canvas.mpl_connect("draw_event", self._drawn)

    def _drawn(self, event: object) -> None:
        """Keeps the freshly drawn figure (without the moving artists), then adds them."""
        # Agg-based canvases, the ones that support blitting, can copy and restore regions.
        canvas: Any = self.canvas
        self.background = canvas.copy_from_bbox(self.figure.bbox)
        for artist in self.artists:
            self.figure.draw_artist(artist)

    def refresh(self, whole: bool) -> None:
        """Shows the plot's current state; ``whole`` redraws everything."""
        if not self.blitting:
            self.canvas.draw_idle()
        elif whole or self.background is None:
            self.canvas.draw()  # the draw event saves the background and adds the artists
            self.canvas.blit(self.figure.bbox)
        else:
            canvas: Any = self.canvas
            canvas.restore_region(self.background)
            for artist in self.artists:
                self.figure.draw_artist(artist)
            self.canvas.blit(self.figure.bbox)
        self.canvas.flush_events()


_NON_INTERACTIVE = frozenset({"agg", "cairo", "pdf", "pgf", "ps", "svg", "template"})


def run_view(
    session: Session,
    plot: PosePlot,
    *,
    alive: Callable[[], bool],
    refresh: Callable[[bool], None],
    pause: Callable[[float], None],
    duration: float | None,
) -> int:
    """Draws the latest landmarks on ``plot`` until ``alive`` says no, the stream ends or
    ``duration`` passes; returns the exit code.

    After each change ``refresh`` shows it (True: the whole figure changed);
    ``pause`` lets the window's toolkit run between two looks at the stream.
    """
    pose = Pose()
    end = math.inf if duration is None else time.monotonic() + duration
    period = 1.0 / _VIEW_FPS
    while alive() and time.monotonic() < end:
        changed = False
        try:
            while (frame := session.next(0.0)) is not None:
                changed = pose.update(frame) or changed
        except StreamEnded:
            break
        except StreamFailed as failed:
            return fail("view", failed)
        if changed:
            refresh(plot.draw(pose))
        pause(period)
    return 0
