"""The ``quorl-sdk`` command line: one module per command, listed in :data:`COMMANDS`.

Each command module has ``add_parser(subcommands)``, which adds its
subcommand and sets ``handler``, a function of the parsed arguments that
returns the exit status: 0 on success and on a requested stop (Ctrl-C,
SIGTERM), 1 when the run fails, 2 on bad usage. Errors are one line on
stderr; ``--debug`` shows the traceback of an unexpected one.
"""

from __future__ import annotations

# Nothing else before program() runs: a Ctrl-C must find it ready to stop
# quietly before the commands' imports (signal's included) take their time.
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Callable, Sequence
    from types import FrameType
    from typing import NoReturn, TextIO

__all__ = ["COMMANDS", "build_parser", "main", "program"]

#: The commands, in the order ``--help`` lists them: each is the module
#: ``quorl_sdk.cli.<name>``.
COMMANDS: tuple[str, ...] = (
    "simulate",
    "stream",
    "record",
    "replay",
    "export",
    "lsl",
    "snapshot",
    "view",
)


def build_parser() -> argparse.ArgumentParser:
    """Returns the parser with every command of :data:`COMMANDS`."""
    import argparse
    import importlib

    from quorl_sdk import __version__

    parser = argparse.ArgumentParser(
        prog="quorl-sdk",
        description="Tools around a Quorl tracking server: a stand-in server, a live view of "
        "its stream, recordings, their replay and export, a bridge to LSL, and pictures of "
        "the latest pose.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument(
        "--debug", action="store_true", help="show the traceback of an unexpected error"
    )
    subcommands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name in COMMANDS:
        importlib.import_module(f"quorl_sdk.cli.{name}").add_parser(subcommands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line and returns the exit status."""
    import warnings

    args = build_parser().parse_args(argv)
    handler: Callable[[argparse.Namespace], int] = args.handler
    with warnings.catch_warnings():
        warnings.showwarning = _one_line_warning(args.command)
        try:
            return handler(args)
        except KeyboardInterrupt:
            # A stop signal outside the command's own handling: still a requested stop.
            return 0
        except Exception as error:
            from quorl_sdk.cli._run import report, status_of

            if args.debug and status_of(error) is None:
                raise
            return report(args.command, error)


def program() -> NoReturn:
    """Runs the command line as the program (``quorl-sdk``, ``python -m quorl_sdk``) and exits.

    SIGINT and SIGTERM stop a command by raising KeyboardInterrupt, from this
    function's first instruction on: a stop while the commands are still being
    imported is a requested stop too, exit status 0 without a traceback. Once
    the command has ended, both are ignored: a late one must not turn a clean
    end into a traceback or a kill.
    """
    code = 0
    try:
        import signal

        for signum in (signal.SIGINT, signal.SIGTERM):
            signal.signal(signum, _interrupt)
        code = main()
    except KeyboardInterrupt:
        code = 0
    finally:
        import signal

        for signum in (signal.SIGINT, signal.SIGTERM):
            signal.signal(signum, signal.SIG_IGN)
    sys.exit(code)


def _interrupt(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt


def _one_line_warning(command: str) -> Callable[..., None]:
    """Returns a ``warnings.showwarning`` that prints ``quorl-sdk COMMAND: warning: ...``."""

    def show(
        message: Warning | str,
        category: type[Warning],
        filename: str,
        lineno: int,
        file: TextIO | None = None,
        line: str | None = None,
    ) -> None:
        print(f"quorl-sdk {command}: warning: {message}", file=sys.stderr, flush=True)

    return show
