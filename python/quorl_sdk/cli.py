"""The ``quorl-sdk`` command line: one subcommand per module that registers itself here."""

from __future__ import annotations

import argparse
import importlib
from collections.abc import Callable, Sequence

from quorl_sdk._version import __version__

# Each entry adds one subcommand to the parser and sets its ``handler``, which
# takes the parsed arguments and returns the exit code.
Registrar = Callable[["argparse._SubParsersAction[argparse.ArgumentParser]"], None]
_REGISTRARS: list[Registrar] = []

# Modules whose import registers subcommands.
_COMMAND_MODULES = (
    "quorl_sdk.simulator",
    "quorl_sdk.replay",
    "quorl_sdk.stream",
    "quorl_sdk.view",
)


def subcommand(register: Registrar) -> Registrar:
    """Registers ``register`` to add its subcommand to the parser; usable as a decorator."""
    _REGISTRARS.append(register)
    return register


def _load_commands() -> None:
    """Imports the modules that define subcommands, so that they register themselves."""
    for name in _COMMAND_MODULES:
        importlib.import_module(name)


def build_parser() -> argparse.ArgumentParser:
    """Returns the parser with every registered subcommand."""
    parser = argparse.ArgumentParser(
        prog="quorl-sdk",
        description="Tools around a Quorl tracking server: a stand-in server, a live view of "
        "its stream, recordings and their replay, and pictures of the latest pose.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    subcommands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _load_commands()
    for register in _REGISTRARS:
        register(subcommands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line and returns the exit code."""
    args = build_parser().parse_args(argv)
    handler: Callable[[argparse.Namespace], int] = args.handler
    return handler(args)
