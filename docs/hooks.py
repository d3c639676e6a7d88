"""mkdocs hook: a line ``<!-- help: COMMAND -->`` becomes the ``--help`` text of that command.

The command line's reference then comes from its own parser, so it cannot
drift from what ``quorl-sdk COMMAND --help`` prints. ``<!-- help: -->`` with
no command gives the top-level help.
"""

from __future__ import annotations

import os
import re
from typing import Any

_MARKER = re.compile(r"^<!-- help:\s*(\S*)\s*-->$", re.MULTILINE)


def _help(command: str) -> str:
    """Returns the help text of ``quorl-sdk COMMAND`` (or of ``quorl-sdk``), 80 columns wide."""
    import argparse

    from quorl_sdk.cli import build_parser

    os.environ["COLUMNS"] = "80"
    parser = build_parser()
    if command:
        subparsers = next(action for action in parser._actions
                          if isinstance(action, argparse._SubParsersAction))
        parser = subparsers.choices[command]
    return parser.format_help()


def on_page_markdown(markdown: str, **_: Any) -> str:
    return _MARKER.sub(lambda match: f"```text\n{_help(match.group(1))}```", markdown)
