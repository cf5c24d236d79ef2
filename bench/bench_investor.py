"""Investor engine: the fetch end to end, table building and resampling, each
against what it replaces, measured in the same run (median of the rounds).

  - ``fetch_df``, 100 identifiers of 500 daily rows each, weekly, from a local
    server, against a bare ``requests`` loop doing the same POSTs and
    ``json()`` (HTTP and JSON decoding); and the request loop alone (session,
    payloads, row normalisation: table building and resampling replaced by
    no-ops) against the same baseline.  The loopback's timing moves these
    from run to run, so the engine's own work is also measured off the wire:
    ``fetch_df`` through a session that only decodes each answer, less the
    decoding itself.
  - ``_to_dataframe`` on the 50,000 rows of that fetch, against
    ``DataFrame.from_records`` with the same date parsing and sort in Python.
  - ``_resample_frame``, 500 identifiers x 500 trading days (one identifier in
    ten with a few NaN, a few days missing), weekly and monthly, against the
    per-identifier loop in Python (tests/investor/resample_reference.py).

Every round checks that each pair gives the same table.

    .venv/bin/python bench/bench_investor.py [--rounds 5]
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import pathlib
import statistics
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import numpy as np
import pandas as pd
import requests

from _offwire import DecodedResponse
from private_core.investor import flow_engine
from private_core.investor.flow_engine import InvestorFlowEngine
from private_core.wire_link import HttpSession

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "investor"))
from resample_reference import resample_reference  # noqa: E402

N_IDS = 100
N_ROWS = 500
ROOT = "/api/v1/varnix"
ENDPOINT = "/market-data/investor/stock/flow"
RESAMPLE_IDS = 500
RESAMPLE_DAYS = 500


def make_bodies() -> dict[str, bytes]:
    start = dt.date(2022, 1, 3)
    days = [(start + dt.timedelta(days=i)).isoformat() for i in range(N_ROWS)]
    bodies = {}
    for k in range(N_IDS):
        symbol = f"S{k:03d}"
        rows = [{"symbol": symbol, "date": d, "buy_value": 1000.0 + 3 * i + k, "sell_value": 900.0 + 2 * i,
                 "net_value": 100.0 + i - k, "buy_volume": 10 + i % 7, "sell_volume": 9 + i % 5, "group": "foreign"}
                for i, d in enumerate(days)]
        bodies[symbol] = json.dumps({"data": rows}).encode()
    return bodies


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, as a real service would
    bodies: dict[str, bytes] = {}

    def do_POST(self) -> None:
        sent = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        body = self.bodies[sent["ids"][0]]
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args) -> None:
        pass


class LoopOnly(InvestorFlowEngine):
    """The request loop alone: no table, no resampling."""

    def _to_dataframe(self, rows, namespace):
        return rows

    def _resample_frame(self, frame, namespace, interval):
        return frame


PARAMS = {"group": "foreign", "interval": "1W", "start": "2022-01-03", "end": "2023-05-17"}


def baseline(url: str, ids: list[str]) -> float:
    t0 = time.perf_counter()
    with requests.Session() as s:
        s.headers.update({"Authorization": "Bearer bench", "Accept": "application/json"})
        for symbol in ids:
            s.post(url + ROOT + ENDPOINT, json={**PARAMS, "ids": [symbol]}, timeout=30).json()
    return time.perf_counter() - t0


def fetch(url: str, ids: list[str], cls=InvestorFlowEngine):
    with HttpSession("bench", base_url=url + ROOT) as session:
        t0 = time.perf_counter()
        out = cls(session).fetch_df("stock", "flow", {**PARAMS, "ids": ids})
        return time.perf_counter() - t0, out


class Decoded:
    """A session without the wire: each answer's body is decoded at json(),
    as requests decodes it, so that what remains is the engine's own work."""

    def __init__(self, bodies: dict[str, bytes]) -> None:
        self.bodies = bodies

    def post(self, path, *, json_body=None, data=None, headers=None, timeout=None):
        return DecodedResponse(self.bodies[json_body["ids"][0]])


def off_the_wire(ids: list[str]) -> float:
    """fetch_df through a session that only decodes, less the decoding."""
    session = Decoded(Handler.bodies)
    t0 = time.perf_counter()
    for symbol in ids:
        session.post(ENDPOINT, json_body={"ids": [symbol]}).json()
    t1 = time.perf_counter()
    InvestorFlowEngine(session).fetch_df("stock", "flow", {**PARAMS, "ids": ids})
    t2 = time.perf_counter()
    return (t2 - t1) - (t1 - t0)


def records_table(rows: list[dict], namespace: str = "stock") -> pd.DataFrame:
    """The table built as before, in Python: records, date parsing, sort."""
    frame = pd.DataFrame.from_records(rows)
    frame["date"] = pd.to_datetime(frame["date"], errors="coerce")
    return frame.sort_values(["symbol", "date"]).reset_index(drop=True)


def daily_table(seed: int = 7) -> pd.DataFrame:
    """Sorted by symbol and date, as the engine builds it; one identifier in
    ten carries a few NaN, a few days are missing here and there."""
    rng = np.random.default_rng(seed)
    days = pd.bdate_range("2022-01-03", periods=RESAMPLE_DAYS).as_unit("us")
    n = RESAMPLE_IDS * RESAMPLE_DAYS
    keep = rng.random(n) > 0.02
    buy = rng.lognormal(20, 2, n)
    sell = rng.lognormal(20, 2, n)
    net = buy - sell
    net[(np.repeat(np.arange(RESAMPLE_IDS) % 10 == 0, RESAMPLE_DAYS)) & (rng.random(n) < 0.01)] = np.nan
    frame = pd.DataFrame({
        "symbol": np.repeat([f"S{k:03d}" for k in range(RESAMPLE_IDS)], RESAMPLE_DAYS),
        "date": np.tile(days, RESAMPLE_IDS),
        "buy_value": buy, "sell_value": sell, "net_value": net,
        "buy_volume": rng.integers(0, 10**7, n), "sell_volume": rng.integers(0, 10**7, n),
        "group": "foreign",
    })
    return frame[keep].reset_index(drop=True)


def timed(fn, *args):
    t0 = time.perf_counter()
    out = fn(*args)
    return time.perf_counter() - t0, out


def same(a: pd.DataFrame, b: pd.DataFrame) -> None:
    pd.testing.assert_frame_equal(a, b, check_exact=True)


def measure_fetch(rounds: int) -> dict[str, float]:
    """Median milliseconds per call: the fetch, its request loop, table building."""
    Handler.bodies = make_bodies()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}"
    ids = sorted(Handler.bodies)
    # No output from the progress calls: this measures the fetch, not a terminal.
    for name in ("start_progress", "update_progress", "finish_progress"):
        setattr(flow_engine, name, lambda *a: None)

    engine = InvestorFlowEngine(None)
    runs: dict[str, list[float]] = {k: [] for k in ("baseline", "core", "loop", "own", "table", "table_py")}
    baseline(url, ids[:5]), fetch(url, ids[:5])  # warm up
    for _ in range(rounds):
        runs["baseline"].append(baseline(url, ids))
        elapsed, out = fetch(url, ids)
        runs["core"].append(elapsed)
        elapsed, records = fetch(url, ids, LoopOnly)
        runs["loop"].append(elapsed)
        runs["own"].append(off_the_wire(ids))
        # Both ways on the same rows, in turns, so that neither always finds
        # the rows in the processor's caches after the other.
        built = {}
        for turn in range(4):
            for key in ("table", "table_py")[::1 if turn % 2 else -1]:
                elapsed, built[key] = timed(engine._to_dataframe if key == "table" else records_table, records, "stock")
                runs[key].append(elapsed)
        same(built["table"], built["table_py"])
        assert len(records) == N_IDS * N_ROWS and len(out) == N_IDS * 72
    server.shutdown()
    return {k: statistics.median(v) * 1e3 for k, v in runs.items()}


def measure_resample(rounds: int) -> dict[str, float]:
    """Median milliseconds per call of the engine and of the loop, per interval."""
    engine = InvestorFlowEngine(None)
    frame = daily_table()
    ms = {}
    for interval in ("1W", "1M"):
        engine._resample_frame(frame, "stock", interval)  # warm up
        ours, loop = [], []
        for _ in range(rounds):
            t, got = timed(engine._resample_frame, frame, "stock", interval)
            ours.append(t)
            t, expected = timed(resample_reference, frame, "symbol", interval)
            loop.append(t)
            same(got, expected)
        ms[interval] = statistics.median(ours) * 1e3
        ms[interval + " loop"] = statistics.median(loop) * 1e3
    return ms


def figures(rounds: int = 7) -> list:
    from _table import Figure

    ms = measure_fetch(rounds)
    rs = measure_resample(rounds)
    base = "requests POST + json()"
    size = f"{RESAMPLE_IDS} ids x {RESAMPLE_DAYS} days"
    return [
        Figure("investor", f"fetch_df, {N_IDS} ids x {N_ROWS} rows, weekly", ms["core"], "ms/fetch", base,
               ms["baseline"]),
        Figure("investor", "  request loop (session, payloads, rows)", ms["loop"], "ms/fetch", base, ms["baseline"]),
        Figure("investor", "  the engine's own work, off the wire", ms["own"], "ms/fetch", base, ms["baseline"]),
        Figure("investor", f"_to_dataframe, {N_IDS * N_ROWS:,} rows", ms["table"], "ms/call",
               "from_records + dates + sort (Python)", ms["table_py"]),
        Figure("investor", f"_resample_frame, {size}, 1W", rs["1W"], "ms/call", "per-identifier loop (Python)",
               rs["1W loop"]),
        Figure("investor", f"_resample_frame, {size}, 1M", rs["1M"], "ms/call", "per-identifier loop (Python)",
               rs["1M loop"]),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
    from _table import print_table

    print(f"median of {args.rounds} rounds")
    print_table(figures(args.rounds))


if __name__ == "__main__":
    main()
