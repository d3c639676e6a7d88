"""``quorl-sdk view``: the latest body and hand landmarks live in a window (:mod:`quorl_sdk.view`)."""

from __future__ import annotations

import argparse
import math
import time
from collections.abc import Callable
from typing import Any

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
from quorl_sdk.view import Pose, PosePlot

# Frames per second of the live window.
_VIEW_FPS = 30.0


def add_parser(subcommands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
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
    add_skeleton_option(parser)
    parser.set_defaults(handler=with_skeleton("view", run))


def run(args: argparse.Namespace) -> int:
    """Runs ``quorl-sdk view``; returns the exit status."""
    from quorl_sdk.view import FIGURE_SIZE, matplotlib_module

    try:
        matplotlib = matplotlib_module()
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
        if (code := open_session("view", session)) is not None:
            return code
        try:
            figure = pyplot.figure(figsize=FIGURE_SIZE, layout="constrained")
            if figure.canvas.manager is not None:
                figure.canvas.manager.set_window_title(f"quorl-sdk view: {session.url}")
            plot = PosePlot(
                figure, lines=not args.no_lines, clock=wall_clock_text, skeleton=args.skeleton
            )
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
                changed = pose.update(frame, frame.time) or changed
        except StreamEnded:
            break
        except StreamFailed as failed:
            return fail("view", failed)
        if changed:
            refresh(plot.draw(pose))
        pause(period)
    return 0
