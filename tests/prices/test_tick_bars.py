"""Intraday bars and order-book tapes: the wire, their query rules, labels
and what reaches the table helpers."""

from __future__ import annotations

import pandas as pd
import pytest

from private_core import tick_bars
from tests.support import API_ROOT, INTRADAY, ORDERBOOK, FakeSession, bars_for, serve_bars


def minute_bars(day: str, closes: list[float], start_minute: int = 0) -> list[dict]:
    return [{"time": f"{day}T09:{start_minute + i:02d}:00", "open": c - 0.1, "high": c + 0.2, "low": c - 0.3,
             "close": c, "volume": 100 * (i + 1)} for i, c in enumerate(closes)]


MINUTES = {
    "VNM": minute_bars("2024-03-04", [70.0, 70.1, 70.2, 70.3, 70.4, 70.5, 70.6]),
    "FPT": minute_bars("2024-03-04", [95.0, 95.5], start_minute=4),
    "SSI": [],
}
TAPES = {
    "VNM": [{"time": "2024-03-04T09:15:01", "price": 70.1, "volume": 500, "side": "B"},
            {"time": "2024-03-04T09:15:01", "price": 70.0, "volume": 200, "side": "S"}],
    "FPT": [{"time": "2024-03-04T09:15:03", "price": 95.5, "volume": 1000, "side": "B"}],
    "SSI": [{"time": "2024-03-04T09:15:00", "price": 33.2, "volume": 10, "side": "S", "symbol": "SSI.HM"}],
}


def test_intraday_batch_over_http(httpserver, session, progress):
    httpserver.expect_request(API_ROOT + INTRADAY).respond_with_handler(serve_bars(MINUTES))
    df = tick_bars.fetch_ohlcv(session, ["vnm", "fpt", "ssi"], "2024-03-04", None, "5m", True)

    seen = [req for req, _ in httpserver.log]
    assert sorted(r.args["symbol"] for r in seen) == ["FPT", "SSI", "VNM"]
    # The service is asked for minutes whatever the caller's interval.
    assert {tuple(r.args.items()) for r in seen} >= {
        (("symbol", "VNM"), ("interval", "1m"), ("start", "2024-03-04"), ("adjusted", "true"))}
    assert all(list(r.args) == ["symbol", "interval", "start", "adjusted"] for r in seen)

    assert df[["symbol", "time"]].astype(str).values.tolist() == [
        ["FPT", "2024-03-04 09:00:00"], ["FPT", "2024-03-04 09:05:00"],
        ["VNM", "2024-03-04 09:00:00"], ["VNM", "2024-03-04 09:05:00"]]
    vnm = df[df.symbol == "VNM"]
    assert vnm["open"].round(2).tolist() == [69.9, 70.4]
    assert vnm["close"].tolist() == [70.4, 70.6]
    assert vnm["volume"].tolist() == [1500, 1300]
    assert progress == [("start", 3, "Batch intraday"), ("update", 1), ("update", 2), ("update", 3), ("finish",)]


def test_orderbook_batch_over_http(httpserver, session, progress):
    httpserver.expect_request(API_ROOT + ORDERBOOK).respond_with_handler(serve_bars(TAPES))
    df = tick_bars.fetch_orderbook(session, ["VNM", " fpt", "ssi"], "2024-03-04")

    seen = [req for req, _ in httpserver.log]
    assert sorted(r.args["symbol"] for r in seen) == ["FPT", "SSI", "VNM"]
    assert all(list(r.args.items())[1:] == [("target_date", "2024-03-04")] for r in seen)
    # Tapes keep every entry (two at the same second included) and their own symbol.
    assert df[["symbol", "price", "side"]].values.tolist() == [
        ["FPT", 95.5, "B"], ["SSI.HM", 33.2, "S"], ["VNM", 70.1, "B"], ["VNM", 70.0, "S"]]
    assert progress[0] == ("start", 3, "Orderbook intraday") and progress[-1] == ("finish",)


@pytest.mark.parametrize("adjusted, sent", [
    (None, None), (True, "true"), (False, "false"), (0, "false"), ("no", "true"), ([], "false")])
def test_adjusted_flag(progress, adjusted, sent):
    s = FakeSession()
    tick_bars.fetch_ohlcv(s, "vnm", "", "", "1H", adjusted)
    params = s.calls[0][2]
    assert list(params)[:2] == ["symbol", "interval"] and params["interval"] == "1m" and "start" not in params
    assert params.get("adjusted") == sent and ("adjusted" in params) == (sent is not None)


@pytest.mark.parametrize("target_date, params", [
    (None, {"symbol": "VNM"}), ("", {"symbol": "VNM"}), ("04/03/2024", {"symbol": "VNM", "target_date": "04/03/2024"})])
def test_orderbook_target_date(progress, target_date, params):
    s = FakeSession()
    tick_bars.fetch_orderbook(s, " vnm", target_date)
    assert s.calls == [("GET", ORDERBOOK, params)]


def test_interval_only_reaches_the_resampler(progress, monkeypatch):
    got = {}
    monkeypatch.setattr(tick_bars, "resample_ohlcv_multi", lambda df, interval: got.setdefault("i", interval) and df)
    tick_bars.fetch_ohlcv(FakeSession(bars_for(MINUTES)), "vnm", interval="15m")
    assert got == {"i": "15m"}


@pytest.mark.parametrize("fetch", [tick_bars.fetch_ohlcv, tick_bars.fetch_orderbook])
def test_empty_and_quiet(progress, monkeypatch, fetch):
    monkeypatch.setattr(tick_bars, "_to_dataframe", None)  # would fail if called
    df = fetch(FakeSession(), ["aaa", "bbb"], show_progress=False)
    assert df.shape == (0, 0) and isinstance(df, pd.DataFrame)
    assert [c[0] for c in progress] == ["start", "finish"]
