"""Constants and helpers shared by the end-to-end tests."""
from contextlib import contextmanager

import requests

from varnix_sim import Simulator

SIM_TODAY = "2026-01-15"  # a Thursday
API_KEY = "e2e-key"
TRANSPORT_FAILURE = "⛔️ Tải dữ liệu lỗi vui lòng tải lại!"

EOD = "/market-data/eod/ohlcv"
INTRADAY = "/market-data/intraday/ohlcv"
ORDERBOOK = "/market-data/intraday/orderbook"
COMPANY_TYPES = "/reporting/meta/company-types/validate"
STATEMENTS = "/reporting/statements/values"
STOCK_FLOW = "/market-data/investor/stock/flow"
VALIDATE = "/auth/validate"


@contextmanager
def running_simulator(**switches):
    with Simulator(today=SIM_TODAY, **switches) as sim:
        yield sim
        assert sim.faults == []


def headers_of(recorded):
    return {name.lower(): value for name, value in recorded.headers.items()}


def seen(sim):
    """(method, path) of every request the simulator received, in order."""
    return [(r.method, r.path) for r in sim.requests]


def raw_data(sim, path, **params):
    """The rows the simulator itself serves for a request, read past the client."""
    response = requests.get(sim.base_url + path, params=params,
                            headers={"Authorization": "Bearer " + API_KEY}, timeout=30)
    assert response.status_code == 200, response.text
    payload = response.json()
    assert payload["error"] is None
    return payload["data"]
