"""Daily-bar fetch: 200 symbols of 250 bars each from a local server.

Reports the time per symbol of
  - a bare ``requests`` loop doing the same GETs and ``json()`` (the baseline),
  - ``daily_bars.fetch_ohlcv`` through ``HttpSession`` (the core),
and what the core adds on top of the baseline, split into the resampling
(timed inside the core's run) and the rest: the fetch loop through the
session, the payload checks and the table.  Both are measured in the same
run, interleaved, median of the rounds.  The loopback's timing moves that
difference by a few hundredths of a millisecond from run to run, so the
core's own work is also measured off the wire: ``fetch_ohlcv`` through a
session that only decodes each answer, less the decoding itself, once as
it runs and once with every fast path off (the general code alone).

    .venv/bin/python bench/bench_prices.py [--rounds 7]
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import statistics
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlparse

import requests

from _offwire import DecodedResponse
from private_core import daily_bars
from private_core.wire_link import HttpSession

N_SYMBOLS = 200
N_BARS = 250
PATH = "/api/v1/varnix/market-data/eod/ohlcv"


def make_bodies() -> dict[str, bytes]:
    days, day = [], dt.date(2023, 1, 2)
    while len(days) < N_BARS:
        if day.weekday() < 5:
            days.append(day.isoformat())
        day += dt.timedelta(days=1)
    bodies = {}
    for k in range(N_SYMBOLS):
        symbol = f"S{k:03d}"
        price = 10.0 + k
        bars = []
        for i, d in enumerate(days):
            o = round(price + (i % 7) * 0.1, 2)
            bars.append({"time": d, "open": o, "high": round(o + 0.5, 2), "low": round(o - 0.4, 2),
                         "close": round(o + 0.2, 2), "volume": 1000 + 17 * i})
        bodies[symbol] = json.dumps({"error": None, "data": bars}).encode()
    return bodies


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, as a real service would
    disable_nagle_algorithm = True  # headers and body go out in two writes
    bodies: dict[str, bytes] = {}

    def do_GET(self) -> None:
        query = parse_qs(urlparse(self.path).query)
        body = self.bodies[query["symbol"][0]]
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args) -> None:
        pass


def baseline(url: str, symbols: list[str]) -> float:
    t0 = time.perf_counter()
    with requests.Session() as s:
        s.headers.update({"Authorization": "Bearer bench", "Accept": "application/json"})
        for sym in symbols:
            s.get(url + PATH, params={"symbol": sym, "interval": "1D"}, timeout=30).json()
    return time.perf_counter() - t0


class Timed:
    """Wraps a table helper, adding up the time spent inside it."""

    def __init__(self, fn) -> None:
        self.fn, self.total = fn, 0.0

    def __call__(self, *args, **kwargs):
        t0 = time.perf_counter()
        try:
            return self.fn(*args, **kwargs)
        finally:
            self.total += time.perf_counter() - t0


def core(url: str, symbols: list[str]) -> tuple[float, float]:
    """(whole fetch, time inside the resampling)

    The resampling is timed where the fetch calls it, the module's
    ``resample_ohlcv_multi``; helpers itself is left as it is (a replaced
    part of it takes the fetch off its fast paths).
    """
    timed = Timed(daily_bars.resample_ohlcv_multi)
    saved = daily_bars.resample_ohlcv_multi
    daily_bars.resample_ohlcv_multi = timed
    try:
        t0 = time.perf_counter()
        with HttpSession("bench", base_url=url + "/api/v1/varnix") as session:
            df = daily_bars.fetch_ohlcv(session, symbols, show_progress=False)
        elapsed = time.perf_counter() - t0
    finally:
        daily_bars.resample_ohlcv_multi = saved
    assert len(df) == len(symbols) * N_BARS
    return elapsed, timed.total


class Decoded:
    """A session without the wire: each answer's body is decoded at json(),
    as requests decodes it, so that what remains is the core's own work."""

    def __init__(self, bodies: dict[str, bytes]) -> None:
        self.bodies = bodies

    def get(self, path, *, params=None, headers=None, timeout=None):
        return DecodedResponse(self.bodies[params["symbol"]])


def off_the_wire(bodies: dict[str, bytes], symbols: list[str], fast: bool = True) -> tuple[float, float]:
    """(decoding the answers alone, fetch_ohlcv over the same decoding)"""
    session = Decoded(bodies)
    t0 = time.perf_counter()
    for sym in symbols:
        session.get(PATH, params={"symbol": sym}).json()
    t1 = time.perf_counter()
    daily_bars.__fast_paths__(fast)
    try:
        df = daily_bars.fetch_ohlcv(session, symbols, show_progress=False)
    finally:
        daily_bars.__fast_paths__(True)
    t2 = time.perf_counter()
    assert len(df) == len(symbols) * N_BARS
    return t1 - t0, t2 - t1


def measure(rounds: int = 7) -> dict:
    """Median milliseconds per symbol of each part."""
    Handler.bodies = make_bodies()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}"
    symbols = sorted(Handler.bodies)
    # No output from the progress calls: this measures the fetch, not a terminal.
    for name in ("start_progress", "update_progress", "finish_progress"):
        setattr(daily_bars, name, lambda *a: None)

    runs: dict[str, list[float]] = {"baseline": [], "core": [], "tables": [], "decode": [], "own": [], "general": []}
    baseline(url, symbols[:10]), core(url, symbols[:10])  # warm up
    for _ in range(rounds):
        runs["baseline"].append(baseline(url, symbols))
        whole, tables = core(url, symbols)
        runs["core"].append(whole)
        runs["tables"].append(tables)
        decode, fetch = off_the_wire(Handler.bodies, symbols)
        runs["decode"].append(decode)
        runs["own"].append(fetch - decode)
        decode, fetch = off_the_wire(Handler.bodies, symbols, fast=False)
        runs["general"].append(fetch - decode)
    server.shutdown()

    return {k: statistics.median(v) / N_SYMBOLS * 1e3 for k, v in runs.items()}


def figures(rounds: int = 7) -> list:
    from _table import Figure

    per = measure(rounds)
    base = "requests GET + json()"
    return [
        Figure("prices", "fetch_ohlcv, 200 x 250 bars, per symbol", per["core"], "ms/symbol", base, per["baseline"]),
        Figure("prices", "  added by the core", per["core"] - per["baseline"], "ms/symbol", "", None),
        Figure("prices", "  of which resampling", per["tables"], "ms/symbol", "", None),
        Figure("prices", "  the core's own work, off the wire", per["own"], "ms/symbol", base, per["baseline"]),
        Figure("prices", "  the same, fast paths off", per["general"], "ms/symbol", base, per["baseline"]),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    per = measure(args.rounds)
    print(f"{N_SYMBOLS} symbols x {N_BARS} daily bars, median of {args.rounds} rounds, ms per symbol")
    print(f"  baseline: requests GET + json()        {per['baseline']:8.3f}")
    print(f"  core: fetch_ohlcv, table included      {per['core']:8.3f}")
    print(f"  added by the core                      {per['core'] - per['baseline']:8.3f}")
    print(f"    resampling                           {per['tables']:8.3f}")
    print(f"    fetch loop and table                 {per['core'] - per['baseline'] - per['tables']:8.3f}")
    print(f"  the core's own work, off the wire      {per['own']:8.3f}  (fetch_ohlcv over decoded answers,")
    print(f"                                                   less decoding them: {per['decode']:.3f})")
    print(f"  the same with fast paths off           {per['general']:8.3f}")


if __name__ == "__main__":
    main()
