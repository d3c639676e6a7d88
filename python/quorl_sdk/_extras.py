"""The optional extras: each imported on first use; a missing one names the extra to install."""

from __future__ import annotations

import importlib

TYPE_CHECKING = False  # typing stays unimported at run time: `import quorl_sdk` loads this
if TYPE_CHECKING:
    from typing import Any

__all__ = ["MissingExtraError", "require"]


class MissingExtraError(ImportError):
    """A feature needs an optional package that is not installed; the message names the extra."""


def require(module: str, extra: str, feature: str) -> Any:
    """Imports ``module`` for ``feature``, which the extra ``extra`` installs.

    Raises:
        MissingExtraError: ``module`` is not installed; the message says
            ``pip install 'quorl-sdk[EXTRA]'``.
    """
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise MissingExtraError(
            f"{feature} needs {module.split('.')[0]}: pip install 'quorl-sdk[{extra}]'"
        ) from error
