"""``quorl-sdk export REC OUT``: a recording as CSV, Parquet or HDF5 (:mod:`quorl_sdk.export`)."""

from __future__ import annotations

import argparse
import sys

from quorl_sdk.cli._live import fail

_COMMAND = "export"


def add_parser(subcommands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds ``quorl-sdk export`` to the command line."""
    parser = subcommands.add_parser(
        _COMMAND,
        help="convert a recording to CSV, Parquet or HDF5 tables",
        description="Writes the frames of a recording as one table per kind and side: a time "
        "column (seconds from the start) and one column per value. The suffix of OUT picks the "
        "format: .csv and .parquet write one file per table beside OUT (OUT-STEM_TABLE.csv), "
        ".h5 or .hdf5 one file with every table. Needs pip install 'quorl-sdk[export]'.",
    )
    parser.add_argument("recording", metavar="REC", help="the recording to read")
    parser.add_argument("out", metavar="OUT", help="the file to write: .csv, .parquet, .h5")
    parser.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    """Runs ``quorl-sdk export``; returns the exit status."""
    from quorl_sdk.export import UnknownFormatError, export
    from quorl_sdk.recording import RecordingError

    try:
        written = export(args.recording, args.out)
    except (UnknownFormatError, ImportError) as error:
        return fail(_COMMAND, error, 2)
    except RecordingError as error:
        return fail(_COMMAND, error)
    except OSError as error:
        where = f"{error.filename}: " if error.filename is not None else ""
        return fail(_COMMAND, f"{where}{error.strerror or error}")
    files = ", ".join(str(path) for path in written) or "nothing (the recording has no frames)"
    print(f"quorl-sdk {_COMMAND}: wrote {files}", file=sys.stderr)
    return 0
