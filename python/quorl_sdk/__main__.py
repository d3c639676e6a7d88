"""Command line: ``python -m quorl_sdk COMMAND`` (also installed as ``quorl-sdk``)."""

from quorl_sdk.cli import program

if __name__ == "__main__":
    program()
