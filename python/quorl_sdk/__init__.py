"""Live body and hand tracking frames from a local tracking server, as Python values."""

__version__ = "0.1.0"
