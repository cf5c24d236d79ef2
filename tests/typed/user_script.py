"""A user's script written for strict type checkers: every call of the core a
client makes, typed end to end.  tests/test_typing.py checks it with mypy
--strict and pyright's strict mode, then runs it against the simulator."""

import sys
from typing import Any

import pandas as pd
from varnix.exceptions import HttpError
from varnix.types import ApiKeyValidationResponse

from private_core import daily_bars, statement_desk, tick_bars
from private_core.investor.flow_engine import InvestorFlowEngine
from private_core.investor.FlowEngineContract import FlowEngineContract
from private_core.key_gate import validate_api_key
from private_core.stash_layer import BaseStashLayer
from private_core.stash_rules import touches_latest_trading_day, ttl_eod_history, ttl_eod_latest
from private_core.wire_link import HttpSession


class Client(BaseStashLayer):
    """Daily bars and investor flows, each answer kept in the object's cache."""

    def __init__(self, session: HttpSession, flows: FlowEngineContract) -> None:
        super().__init__()
        self.session = session
        self.flows = flows

    def daily(self, symbols: list[str], start: str, end: str) -> pd.DataFrame:
        return self._fetch_with_cache(
            "eod",
            (tuple(symbols), start, end),
            live=touches_latest_trading_day(end),
            fetcher=lambda: daily_bars.fetch_ohlcv(self.session, symbols, start, end, "1W", show_progress=False),
            ttl_live=ttl_eod_latest(),
            ttl_history=ttl_eod_history(),
            params={"symbols": symbols, "start": start, "end": end},
        )

    def weekly_flows(self, ids: list[str], start: str, end: str) -> pd.DataFrame:
        params: dict[str, Any] = {"ids": ids, "group": "foreign", "start": start, "end": end, "interval": "1W"}
        return self.flows.fetch_df("stock", "flow", params)


def run(base_url: str, api_key: str) -> dict[str, int]:
    """Row counts of each answer."""
    sizes: dict[str, int] = {}
    with HttpSession(api_key, base_url=base_url, timeout=30) as session:
        answer: ApiKeyValidationResponse = validate_api_key(
            session, client_version="1.0", extra_context={"app": "typed"})
        sizes["messages"] = len(answer.messages) if answer.valid else -1

        engine: FlowEngineContract = InvestorFlowEngine(session)
        assert engine.session is session and session.base_url == base_url
        client = Client(session, engine)
        bars = client.daily(["VNM", "FPT"], "2025-06-02", "2025-06-27")
        assert client.daily(["VNM", "FPT"], "2025-06-02", "2025-06-27") is bars
        sizes["daily"] = len(bars)
        sizes["flows"] = len(client.weekly_flows(["VNM"], "2025-06-02", "2025-06-27"))

        minutes = tick_bars.fetch_ohlcv(session, "FPT", "2025-06-02", "2025-06-02", "15m", show_progress=False)
        sizes["intraday"] = len(minutes)
        sizes["orderbook"] = len(tick_bars.fetch_orderbook(session, ["VNM"], "2025-06-03", show_progress=False))

        types = statement_desk.validate_company_types(session, ["VCB", "FPT"])
        values = statement_desk.fetch_statement_values(
            session, symbols=["FPT"], statement_id=2, start_year=2023, end_year=2024, period="year")
        sizes["statements"] = len(types) + len(values)

        try:
            session.get("/no/such/endpoint")
        except HttpError as exc:
            sizes["error_status"] = exc.status_code or 0
        client.clear_cache("eod")
    return sizes


if __name__ == "__main__":
    print(run(sys.argv[1], sys.argv[2]))
