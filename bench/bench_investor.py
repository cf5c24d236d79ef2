"""Investor fetch: 100 identifiers of 500 daily rows each, weekly, from a local server.

Reports, median of the rounds, all measured in the same run:
  - a bare ``requests`` loop doing the same POSTs and ``json()`` (the baseline:
    HTTP and JSON decoding),
  - ``InvestorFlowEngine.fetch_df`` end to end (batch mode, weekly),
  - the same fetch with table building and resampling replaced by no-ops (the
    request loop: session, payloads, row normalisation),
  - ``_to_dataframe`` on the rows of one fetch (table building),
  - ``_resample_frame`` on that table (weekly resampling).

    PYTHONPATH=build/dev .venv/bin/python bench/bench_investor.py [--rounds 5]
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import statistics
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import requests

from private_core.investor import flow_engine
from private_core.investor.flow_engine import InvestorFlowEngine
from private_core.wire_link import HttpSession

N_IDS = 100
N_ROWS = 500
ROOT = "/api/v1/varnix"
ENDPOINT = "/market-data/investor/stock/flow"


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


def measure(rounds: int = 5) -> dict:
    """Median milliseconds per fetch of each part."""
    Handler.bodies = make_bodies()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}"
    ids = sorted(Handler.bodies)
    # No output from the progress calls: this measures the fetch, not a terminal.
    for name in ("start_progress", "update_progress", "finish_progress"):
        setattr(flow_engine, name, lambda *a: None)

    engine = InvestorFlowEngine(None)
    runs: dict[str, list[float]] = {"baseline": [], "core": [], "loop": [], "table": [], "resample": []}
    baseline(url, ids[:5]), fetch(url, ids[:5])  # warm up
    for _ in range(rounds):
        runs["baseline"].append(baseline(url, ids))
        elapsed, out = fetch(url, ids)
        runs["core"].append(elapsed)
        elapsed, records = fetch(url, ids, LoopOnly)
        runs["loop"].append(elapsed)
        t0 = time.perf_counter()
        frame = engine._to_dataframe(records, "stock")
        runs["table"].append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        weekly = engine._resample_frame(frame, "stock", "1W")
        runs["resample"].append(time.perf_counter() - t0)
        assert len(records) == N_IDS * N_ROWS and len(weekly) == len(out) == N_IDS * 72
    server.shutdown()

    return {k: statistics.median(v) * 1e3 for k, v in runs.items()}


def figures(rounds: int = 3) -> list:
    from _table import Figure

    ms = measure(rounds)
    base = "requests POST + json()"
    return [
        Figure("investor", "fetch_df, 100 ids x 500 rows, weekly", ms["core"], "ms/fetch", base, ms["baseline"]),
        Figure("investor", "  request loop (session, payloads, rows)", ms["loop"], "ms/fetch", base, ms["baseline"]),
        Figure("investor", "  table building", ms["table"], "ms/fetch", "", None),
        Figure("investor", "  resampling", ms["resample"], "ms/fetch", "", None),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    ms = measure(args.rounds)
    print(f"{N_IDS} identifiers x {N_ROWS} daily rows, weekly, median of {args.rounds} rounds, ms per fetch")
    print(f"  baseline: requests POST + json()           {ms['baseline']:9.1f}")
    print(f"  core: fetch_df end to end                  {ms['core']:9.1f}")
    print(f"    request loop (session, payloads, rows)   {ms['loop']:9.1f}   ({ms['loop'] - ms['baseline']:+.1f} over baseline)")
    print(f"    table building (_to_dataframe)           {ms['table']:9.1f}")
    print(f"    resampling (_resample_frame)             {ms['resample']:9.1f}")


if __name__ == "__main__":
    main()
