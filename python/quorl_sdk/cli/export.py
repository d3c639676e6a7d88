"""``quorl-sdk export REC OUT``: a recording as tables, C3D or OpenSim files.

See :mod:`quorl_sdk.export`.
"""

from __future__ import annotations

import argparse
import sys

from quorl_sdk.cli._live import fail
from quorl_sdk.cli._run import reading, writing
from quorl_sdk.cli._skeleton import add_skeleton_option, with_skeleton
from quorl_sdk.cli.lsl import _hertz

_COMMAND = "export"


def add_parser(subcommands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds ``quorl-sdk export`` to the command line."""
    parser = subcommands.add_parser(
        _COMMAND,
        help="convert a recording to CSV, Parquet, HDF5, C3D or OpenSim files",
        description="Writes the frames of a recording. The suffix of OUT picks the format: "
        ".csv and .parquet write one table per kind and side beside OUT "
        "(OUT-STEM_TABLE.csv), a time column (seconds from the start) and one column per "
        "value, .h5 or .hdf5 one file with every table (pip install 'quorl-sdk[export]'); "
        ".c3d the landmarks as points and the angles as analog channels (pip install "
        "'quorl-sdk[c3d]'), .trc the landmarks, .mot the angles and .sto the quaternions "
        "for OpenSim (pip install 'quorl-sdk[numpy]'), each on one uniform clock. Every "
        "format keeps both start times and the lost/reconnected marks.",
    )
    parser.add_argument("recording", metavar="REC", help="the recording to read")
    parser.add_argument(
        "out", metavar="OUT", help="the file to write: .csv, .parquet, .h5, .c3d, .trc, .mot, .sto"
    )
    parser.add_argument(
        "--rate",
        type=_hertz,
        metavar="HZ",
        help="the rate of the uniform clock of .c3d, .trc, .mot and .sto files "
        "(default: the recording's frame rate)",
    )
    add_skeleton_option(parser)
    parser.set_defaults(handler=with_skeleton(_COMMAND, run))


def run(args: argparse.Namespace) -> int:
    """Runs ``quorl-sdk export``; returns the exit status."""
    from quorl_sdk.export import NoFramesError, export
    from quorl_sdk.recording import RecordingReader

    # Opened once beforehand, so that what fails later is the output's fault.
    with reading(args.recording):
        RecordingReader(args.recording).close()
    try:
        with writing(args.out):
            written = export(args.recording, args.out, skeleton=args.skeleton, rate=args.rate)
    except NoFramesError as error:
        return fail(_COMMAND, error)
    files = ", ".join(str(path) for path in written)
    print(f"quorl-sdk {_COMMAND}: wrote {files}", file=sys.stderr)
    return 0
