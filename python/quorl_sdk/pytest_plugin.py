"""pytest fixtures that run the Quorl simulator for your own tests.

Installed with the package and loaded by pytest on its own (entry point
``pytest11``); nothing to configure::

    from quorl_sdk import connect

    def test_my_pipeline(quorl_server):
        # quorl_server is the ws:// URL of a simulator on a free port
        ...

    def test_survives_restarts(quorl_server_factory):
        sim = quorl_server_factory(restart_after=1.0, restart_gap=0.5, chatter=True)
        ...  # sim.url, sim.port, sim.connection_count, sim.restarts

Each simulator listens on a port the system picks (never 5432-5435, so a
real server there is left alone) and stops when the test ends.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import ExitStack
from typing import TYPE_CHECKING, Any

import pytest

if TYPE_CHECKING:
    from quorl_sdk.simulator import Simulator

__all__ = ["quorl_server", "quorl_server_factory"]


@pytest.fixture
def quorl_server_factory() -> Iterator[Callable[..., Simulator]]:
    """Returns a function that starts a simulator with the given options and returns it.

    The options are those of :class:`quorl_sdk.simulator.Simulator`; ``port``
    defaults to 0 (a free port). Every simulator started stops after the test.
    """
    # pytest loads this plugin in every run of a project that has the package
    # installed; the simulator (asyncio, websockets) loads only when used.
    from quorl_sdk.simulator import Simulator

    with ExitStack() as running:

        def start(**options: Any) -> Simulator:
            options.setdefault("port", 0)
            return running.enter_context(Simulator(**options).running())

        yield start


@pytest.fixture
def quorl_server(quorl_server_factory: Callable[..., Simulator]) -> str:
    """Starts a simulator with the default options on a free port; returns its ws:// URL."""
    return quorl_server_factory().url
