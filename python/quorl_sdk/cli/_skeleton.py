"""``--skeleton FILE``, for the commands that name or draw values (:mod:`quorl_sdk.skeleton`)."""

from __future__ import annotations

import argparse
from collections.abc import Callable

from quorl_sdk.cli._live import fail

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
    """Returns ``handler`` run with ``args.skeleton`` loaded; a skeleton file that cannot be
    read or does not fit the frames is a usage error (exit status 2)."""

    def run(args: argparse.Namespace) -> int:
        from quorl_sdk import skeleton

        path = args.skeleton
        try:
            args.skeleton = skeleton.DEFAULT if path is None else skeleton.load(path)
        except skeleton.SkeletonError as error:
            return fail(command, error, 2)
        except OSError as error:
            return fail(command, f"cannot read skeleton {path}: {error.strerror or error}", 2)
        return handler(args)

    return run
