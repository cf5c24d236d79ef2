"""A local simulator of the Varnix market-data service.

Serves every endpoint the core calls, under "/api/v1/varnix" on 127.0.0.1,
with deterministic synthetic data that follows the exchange's rules, and
switches that make it misbehave on purpose.  Use it in tests::

    with Simulator() as sim:
        sim.configure(unknown_symbols={"XYZ"}, investor_post_status=405)
        ...  # talk to sim.base_url
        sim.requests  # what it received

or on its own with ``python -m varnix_sim --port 8765``.
"""

from .endpoints import API_ROOT
from .server import RecordedRequest, Simulator, Switches

__all__ = ["API_ROOT", "RecordedRequest", "Simulator", "Switches"]
