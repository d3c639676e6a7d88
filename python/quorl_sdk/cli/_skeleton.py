"""``--skeleton FILE``, for the commands that name or draw values (:mod:`quorl_sdk.skeleton`)."""

from __future__ import annotations

import argparse
from collections.abc import Callable

from quorl_sdk.cli._run import reading

__all__ = ["add_skeleton_option", "with_skeleton"]

Handler = Callable[[argparse.Namespace], int]


def add_skeleton_option(parser: argparse.ArgumentParser) -> None:
    """Adds ``--skeleton FILE``; a handler wrapped by :func:`with_skeleton` finds the
    loaded skeleton in ``args.skeleton``."""
    parser.add_argument(
        "--skeleton",
        metavar="FILE",
        help="a TOML file naming the landmarks, segments, angles, units and sides "
        "(default: the simulator's layout)",
    )


def with_skeleton(command: str, handler: Handler) -> Handler:
    """Returns ``handler`` run with ``args.skeleton`` loaded.

    Raises:
        quorl_sdk.skeleton.SkeletonError: the file does not fit the frames (a usage error).
        quorl_sdk.cli._run.CannotRead: the file cannot be read.
    """

    def run(args: argparse.Namespace) -> int:
        from quorl_sdk import skeleton

        path = args.skeleton
        if path is None:
            args.skeleton = skeleton.DEFAULT
        else:
            with reading(path):
                args.skeleton = skeleton.load(path)
        return handler(args)

    return run
