"""Many calls, good and bad, with a fake session: memory stays flat."""

from __future__ import annotations

import gc
import io

import pytest

from private_core import daily_bars, statement_desk, tick_bars
from tests.support import FakeResponse, FakeSession, replace_progress, resident_kib

BARS = [{"time": "2024-01-02", "open": 1.0, "high": 2.0, "low": 0.5, "close": 1.5, "volume": 10, "symbol": "X"}]


def answer(method, path, params):
    symbol = (params or {}).get("symbol")
    if symbol == "BAD":
        return FakeResponse(ValueError("not json"))
    if symbol == "ERR":
        return {"error": {"code": 1}}
    if symbol == "ROW":
        return {"data": [BARS[0], 3]}
    return {"error": None, "data": [dict(b) for b in BARS]}


def attempt(call):
    try:
        call()
    except Exception:
        pass


def round_of_calls(s, out):
    attempt(lambda: daily_bars.fetch_ohlcv(s, ["aaa", "AAA ", "bbb"], "2024-01-01"))
    attempt(lambda: daily_bars.fetch_ohlcv(s, ["aaa", "BAD"]))
    attempt(lambda: daily_bars.fetch_ohlcv(s, ["ERR"]))
    attempt(lambda: daily_bars.fetch_ohlcv(s, [1, "a"]))
    attempt(lambda: daily_bars.fetch_ohlcv(s, "a", start=1))
    attempt(lambda: tick_bars.fetch_ohlcv(s, "aaa", adjusted=True, interval="5m"))
    attempt(lambda: tick_bars.fetch_orderbook(s, ["ROW"]))
    attempt(lambda: tick_bars.fetch_orderbook(s, "a", None, None))
    attempt(lambda: statement_desk.validate_company_types(s, ["fpt", "vcb"]))
    attempt(lambda: statement_desk.fetch_statement_values(s, symbols=["BAD"], statement_id=1, start_year=2020,
                                                          end_year=2021, period="year"))
    attempt(lambda: statement_desk.fetch_statement_values(s, symbols=[""], statement_id=1, start_year=2020,
                                                          end_year=2021, period="year"))
    attempt(lambda: statement_desk._ensure_json_dict([], context="x"))
    attempt(lambda: daily_bars._render_progress(3, 7, "X"))
    attempt(lambda: tick_bars._render_progress(True, 7, "X"))
    out.seek(0)
    out.truncate()


@pytest.mark.slow
@pytest.mark.rss
def test_memory_stays_flat(monkeypatch):
    # The table helpers are pandas' cost, not ours: keep them cheap here.
    replace_progress(monkeypatch, daily_bars, tick_bars, keep=False)
    for module in (daily_bars, tick_bars):
        monkeypatch.setattr(module, "_to_dataframe", lambda rows: rows)
        monkeypatch.setattr(module, "resample_ohlcv_multi", lambda df, interval: df)
    out = io.StringIO()
    monkeypatch.setattr(daily_bars, "sys", type("S", (), {"stdout": out})())
    monkeypatch.setattr(tick_bars, "sys", type("S", (), {"stdout": out})())
    s = FakeSession(answer, record=False)

    for _ in range(1000):
        round_of_calls(s, out)
    gc.collect()
    objects, resident = len(gc.get_objects()), resident_kib()
    for _ in range(7200):  # 14 calls a round: about 100,000 calls
        round_of_calls(s, out)
    gc.collect()
    assert len(gc.get_objects()) - objects < 500
    assert resident_kib() - resident < 4096
