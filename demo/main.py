"""The road of one request, end to end, against the local service simulator.

Starts the simulator on 127.0.0.1, validates a key, fetches daily bars for a
batch of symbols (with the progress bar when standard output is a terminal),
repeats the call to show the cache answering it, then intraday bars resampled
to five minutes, an order-book tape, company types and statement values, and
weekly investor flows.
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import Optional, Sequence

import pandas as pd

from private_core import daily_bars, statement_desk, tick_bars
from private_core.investor.flow_engine import InvestorFlowEngine
from private_core.key_gate import validate_api_key
from private_core.stash_layer import BaseStashLayer
from private_core.stash_rules import (
    touches_latest_trading_day,
    ttl_eod_history,
    ttl_eod_latest,
    ttl_intraday_history,
    ttl_intraday_live,
    ttl_orderbook_live,
)
from private_core.wire_link import HttpSession
from varnix_sim import Simulator

CLIENT_VERSION = "0.1.0"


class DemoClient(BaseStashLayer):
    """A small client: every data call goes through the object's own cache."""

    def __init__(self, session: HttpSession) -> None:
        super().__init__()
        self.session = session
        self.investor = InvestorFlowEngine(session)

    def daily(self, symbols: Sequence[str], start: str, end: Optional[str], interval: str = "1D") -> pd.DataFrame:
        return self._fetch_with_cache(
            "eod",
            (tuple(symbols), start, end, interval),
            live=touches_latest_trading_day(end),
            fetcher=lambda: daily_bars.fetch_ohlcv(self.session, list(symbols), start, end, interval),
            ttl_live=ttl_eod_latest(),
            ttl_history=ttl_eod_history(),
            params={"symbols": list(symbols), "start": start, "end": end, "interval": interval},
        )

    def intraday(self, symbol: str, start: str, end: str, interval: str) -> pd.DataFrame:
        return self._fetch_with_cache(
            "intraday",
            (symbol, start, end, interval),
            live=touches_latest_trading_day(end),
            fetcher=lambda: tick_bars.fetch_ohlcv(self.session, symbol, start, end, interval, show_progress=False),
            ttl_live=ttl_intraday_live(),
            ttl_history=ttl_intraday_history(),
        )

    def orderbook(self, symbol: str, day: str) -> pd.DataFrame:
        return self._fetch_with_cache(
            "orderbook",
            (symbol, day),
            live=touches_latest_trading_day(day),
            fetcher=lambda: tick_bars.fetch_orderbook(self.session, symbol, day, show_progress=False),
            ttl_live=ttl_orderbook_live(),
            ttl_history=None,
        )

    def investor_flows(self, ids: Sequence[str], start: str, end: str, interval: str = "1W") -> pd.DataFrame:
        params = {"ids": list(ids), "group": "foreign", "start": start, "end": end, "interval": interval}
        return self._fetch_with_cache(
            "investor",
            ("stock", "flow", tuple(ids), start, end, interval),
            live=touches_latest_trading_day(end),
            fetcher=lambda: self.investor.fetch_df("stock", "flow", params),
            ttl_live=ttl_eod_latest(),
            ttl_history=ttl_eod_history(),
        )


def show(title: str, df: pd.DataFrame, rows: int = 6) -> None:
    print(f"\n== {title}: {len(df)} rows x {len(df.columns)} columns")
    if len(df):
        with pd.option_context("display.width", 120, "display.max_columns", 12):
            print(df.head(rows).to_string())


def run(base_url: str, api_key: str) -> None:
    with HttpSession(api_key, base_url=base_url, version=CLIENT_VERSION) as session:
        answer = validate_api_key(session, client_version=CLIENT_VERSION, extra_context={"app": "demo"})
        print(f"key valid: {answer.valid}, plan: {answer.plan}")

        client = DemoClient(session)
        symbols = ["VNM", "FPT", "HPG", "VCB", "MWG", "SSI", "VIC", "GAS"]

        t0 = time.perf_counter()
        bars = client.daily(symbols, "2025-01-02", "2025-12-31")
        first = time.perf_counter() - t0
        show("daily bars, 8 symbols, 2025", bars)

        t0 = time.perf_counter()
        again = client.daily(symbols, "2025-01-02", "2025-12-31")
        second = time.perf_counter() - t0
        print(f"\nsame call again: answered by the cache: {again is bars} "
              f"({first * 1000:.1f} ms from the service, {second * 1e6:.1f} us from the cache)")

        show("intraday FPT, resampled to 5 minutes", client.intraday("FPT", "2025-06-02", "2025-06-03", "5m"))
        show("order book VNM, 2025-06-03", client.orderbook("VNM", "2025-06-03"))

        types = statement_desk.validate_company_types(session, ["vcb", "fpt"])
        print("\n== company types:", types)
        values = statement_desk.fetch_statement_values(
            session, symbols=["FPT"], statement_id=2, start_year=2023, end_year=2024, period="year")
        rows = values.get("data") or []
        print(f"\n== income statement FPT 2023-2024: {len(rows)} items")
        if rows:
            print(pd.DataFrame(rows).head(6).to_string())

        show("foreign investors' weekly flows, VNM and FPT",
             client.investor_flows(["VNM", "FPT"], "2025-03-03", "2025-04-30"))


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--api-key", default="demo-key")
    args = parser.parse_args(argv)
    with Simulator(today="2026-01-15") as sim:
        print("simulator:", sim.base_url)
        run(sim.base_url, args.api_key)
    return 0


if __name__ == "__main__":
    sys.exit(main())
