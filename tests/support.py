"""Helpers shared by the suite: the service's paths, a stand-in for the HTTP
session, the progress recorder, the simulator's plain client, the cache
layer's clock, and the measuring of memory over many calls.  Imported as
``tests.support`` (the project root is on the path through pytest's
``pythonpath``); fixtures stay in the conftest files."""

from __future__ import annotations

import gc
import importlib.util
import json
import os
import threading
import tracemalloc
from contextlib import contextmanager
from pathlib import Path

import pandas as pd
import requests
from werkzeug import Response

from private_core import stash_layer
from varnix_sim import Simulator

ROOT = Path(__file__).resolve().parents[1]

API_ROOT = "/api/v1/varnix"
EOD = "/market-data/eod/ohlcv"
INTRADAY = "/market-data/intraday/ohlcv"
ORDERBOOK = "/market-data/intraday/orderbook"
COMPANY_TYPES = "/reporting/meta/company-types/validate"
STATEMENTS = "/reporting/statements/values"
STOCK_FLOW = "/market-data/investor/stock/flow"
VALIDATE = "/auth/validate"
TRANSPORT_FAILURE = "⛔️ Tải dữ liệu lỗi vui lòng tải lại!"

# -- a session that answers without a server -----------------------------------

NO_BARS = {"error": None, "data": []}


class FakeResponse:
    def __init__(self, payload) -> None:
        self.payload = payload

    def json(self):
        if isinstance(self.payload, BaseException):
            raise self.payload
        return self.payload


class FakeSession:
    """Stands in for HttpSession.  `answer` is what every call gets, or a
    function answer(method, path, params_or_body) that says it: an exception
    is raised by the call itself, a FakeResponse is returned as it is, and
    anything else is the decoded body (a FakeResponse of an exception fails
    in json()).  Calls are recorded as (method, path, copy of what was sent)
    unless record=False (loops that must not grow)."""

    api_key = "test-key"  # the key check sends it, and masks it where an answer echoes it

    def __init__(self, answer=NO_BARS, *, record: bool = True) -> None:
        self.answer, self.record = answer, record
        self.calls: list[tuple[str, str, dict | None]] = []

    def _send(self, method, path, sent):
        if self.record:
            self.calls.append((method, path, None if sent is None else dict(sent)))
        result = self.answer(method, path, sent) if callable(self.answer) else self.answer
        if isinstance(result, BaseException):
            raise result
        return result if isinstance(result, FakeResponse) else FakeResponse(result)

    def get(self, path, *, params=None):
        return self._send("GET", path, params)

    def post(self, path, *, json_body=None):
        return self._send("POST", path, json_body)


def bars_for(table: dict[str, list[dict]]):
    """An answer serving `table[symbol]` (fresh copies) as the bars of each symbol."""
    return lambda method, path, params: {"error": None, "data": [dict(b) for b in table.get(params["symbol"], [])]}


def serve_bars(table: dict[str, list[dict]]):
    """The same for the local test server: a handler answering `table[symbol]`."""
    return lambda request: Response(json.dumps({"error": None, "data": table[request.args["symbol"]]}),
                                    content_type="application/json")


def daily_rows(ident: str, start: str, end: str, field: str = "symbol", **extra) -> list[dict]:
    """Investor rows, one per calendar day: buy=1, sell=2 (so a full week sums to 7 and 14)."""
    return [
        {field: ident, "date": day.strftime("%Y-%m-%d"), "buy": 1, "sell": 2, **extra}
        for day in pd.date_range(start, end)
    ]


def replace_progress(monkeypatch, *modules, keep: bool = True) -> list[tuple]:
    """Swaps the progress calls of `modules` for recorders and returns the
    list of ("start", total, label), ("update", current) and ("finish",)
    they make; with keep=False nothing is kept."""
    calls: list[tuple] = []
    record = calls.append if keep else (lambda call: None)
    for module in modules:
        monkeypatch.setattr(module, "start_progress", lambda total, label: record(("start", total, label)))
        monkeypatch.setattr(module, "update_progress", lambda current: record(("update", current)))
        monkeypatch.setattr(module, "finish_progress", lambda: record(("finish",)))
    return calls


# -- the simulator -------------------------------------------------------------

SIM_TODAY = "2026-01-15"  # a Thursday: the end-to-end tests' date
API_KEY = "e2e-key"


@contextmanager
def running_simulator(today: str = SIM_TODAY, **switches):
    """A fresh simulator; on the way out it must have recorded no fault of its own."""
    with Simulator(today=today, **switches) as sim:
        yield sim
        assert sim.faults == []


class ServiceClient:
    """Plain requests to the simulator, past the client under test."""

    def __init__(self, base_url: str, key: str = "test-key") -> None:
        self.base_url = base_url
        self.http = requests.Session()
        self.http.headers.update({"Authorization": "Bearer " + key, "User-Agent": "varnix/0.0.0"})

    def get(self, path, **params):
        return self.http.get(self.base_url + path, params=params, timeout=30)

    def post(self, path, body=None, **kwargs):
        return self.http.post(self.base_url + path, json=body, timeout=30, **kwargs)

    def data(self, path, **params):
        return self.rows(self.get(path, **params))

    @staticmethod
    def rows(response):
        """The rows of a successful answer."""
        assert response.status_code == 200, response.text
        payload = response.json()
        assert payload["error"] is None
        return payload["data"]

    def close(self) -> None:
        self.http.close()


def raw_data(sim, path, **params):
    """The rows the simulator itself serves for a request, read past the client."""
    api = ServiceClient(sim.base_url, API_KEY)
    try:
        return api.data(path, **params)
    finally:
        api.close()


def seen(sim):
    """(method, path) of every request the simulator received, in order."""
    return [(r.method, r.path) for r in sim.requests]


# -- the result cache ------------------------------------------------------------

class StashClient(stash_layer.BaseStashLayer):
    """A client class mixing in the cache layer."""


class FakeTime:
    """Stands in for the cache layer's `time`: sleeping advances the clock."""

    def __init__(self) -> None:
        self.now = 100.0
        self.sleeps: list[float] = []

    def monotonic(self) -> float:
        return self.now

    def sleep(self, seconds: float) -> None:
        self.sleeps.append(seconds)
        self.now += seconds
        threading.Event().wait(0.001)  # let other threads run


def wait_until(predicate, timeout: float = 10.0) -> bool:
    """Bounded wait for a condition another thread brings about."""
    pause = threading.Event()
    for _ in range(int(timeout / 0.002)):
        if predicate():
            return True
        pause.wait(0.002)
    return predicate()


def load_gen_stubs():
    """scripts/gen_stubs.py as a module: the list of extension modules and their stubs."""
    spec = importlib.util.spec_from_file_location("gen_stubs", ROOT / "scripts" / "gen_stubs.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# -- memory over many calls ---------------------------------------------------------

def repeat(times: int, *calls) -> None:
    for _ in range(times):
        for call in calls:
            call()


def raising(errors, call):
    """`call` wrapped for repeat(): it must raise one of `errors`, which is let go."""
    def run():
        try:
            call()
        except errors:
            return
        raise AssertionError(f"{call} raised nothing")
    return run


def traced_growth(run) -> int:
    """Bytes that the Python allocator still holds after run(), garbage
    collected before and after.  Warm caches first: only a leak should show."""
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


def resident_kib() -> int:
    """The process's resident size, which also counts what the tracer cannot see."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
