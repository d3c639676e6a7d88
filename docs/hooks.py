"""mkdocs hook: a line ``<!-- help: COMMAND -->`` becomes the ``--help`` text of that command,
and a line ``<!-- skeleton: KIND -->`` the table of the default skeleton's names of that kind.

The command line's reference then comes from its own parser, so it cannot
drift from what ``quorl-sdk COMMAND --help`` prints. ``<!-- help: -->`` with
no command gives the top-level help. The same goes for the default skeleton's
names (``KIND`` as in ``body_landmarks``).
"""

from __future__ import annotations

import os
import re
from typing import Any

_MARKER = re.compile(r"^<!-- help:\s*(\S*)\s*-->$", re.MULTILINE)
_SKELETON = re.compile(r"^<!-- skeleton:\s*(\S+)\s*-->$", re.MULTILINE)


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


def _names(kind_name: str) -> str:
    """Returns the table of the default skeleton's names of the kind ``kind_name``."""
    from quorl_sdk.frames import FrameKind
    from quorl_sdk.skeleton import DEFAULT

    names = DEFAULT.layout(FrameKind[kind_name.upper()]).names
    rows = [f"| {index} | `{name}` |" for index, name in enumerate(names)]
    return "\n".join(["| index | name |", "|---|---|", *rows]) + "\n"


def on_page_markdown(markdown: str, **_: Any) -> str:
    markdown = _SKELETON.sub(lambda match: _names(match.group(1)), markdown)
    return _MARKER.sub(lambda match: f"```text\n{_help(match.group(1))}```", markdown)
