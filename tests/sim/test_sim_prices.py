from datetime import date, datetime, time

import pytest

from tests.support import EOD, INTRADAY, ORDERBOOK


def tick(price):
    return 10 if price < 10_000 else 50 if price < 50_000 else 100


def band(reference):
    ceiling = int(reference * 1.07) // tick(reference * 1.07) * tick(reference * 1.07)
    low = reference * 0.93
    floor = -int(-low // tick(low)) * tick(low)
    return floor, ceiling


@pytest.mark.parametrize("symbol", ["FPT", "VCB", "AAA", "HPG", "ITA"])
def test_daily_bars_follow_exchange_rules(api, symbol):
    bars = api.data(EOD, symbol=symbol.lower(), start="2019-01-01", end="2025-06-30")
    assert len(bars) > 1500
    days = [date.fromisoformat(b["time"]) for b in bars]
    assert days == sorted(set(days))
    for day in days:
        assert day.weekday() < 5
        assert (day.month, day.day) not in {(1, 1), (4, 30), (5, 1), (9, 2)}
    for prev, bar in zip(bars, bars[1:]):
        assert set(bar) == {"time", "open", "high", "low", "close", "volume"}
        floor, ceiling = band(prev["close"])
        assert floor <= bar["low"] <= min(bar["open"], bar["close"])
        assert max(bar["open"], bar["close"]) <= bar["high"] <= ceiling
        for field in ("open", "high", "low", "close"):
            assert bar[field] % tick(bar[field]) == 0, (field, bar)
        assert bar["volume"] > 0 and bar["volume"] % 100 == 0


def test_lunar_new_year_week_is_closed(api):
    days = {b["time"] for b in api.data(EOD, symbol="FPT", start="2024-02-05", end="2024-02-16")}
    assert days == {"2024-02-05", "2024-02-06", "2024-02-07", "2024-02-08", "2024-02-14", "2024-02-15", "2024-02-16"}


def test_daily_bars_are_deterministic_and_independent_of_range(api):
    wide = api.data(EOD, symbol="VNM", start="2024-01-01", end="2024-12-31")
    again = api.data(EOD, symbol="VNM", start="2024-01-01", end="2024-12-31")
    narrow = api.data(EOD, symbol="VNM", start="2024-06-03", end="2024-06-07")
    assert wide == again
    assert narrow == [b for b in wide if "2024-06-03" <= b["time"] <= "2024-06-07"]
    other = api.data(EOD, symbol="VIC", start="2024-06-03", end="2024-06-07")
    assert [b["close"] for b in other] != [b["close"] for b in narrow]


@pytest.mark.parametrize("interval, key", [("1W", lambda d: d.isocalendar()[:2]), ("1M", lambda d: (d.year, d.month))])
def test_rolled_up_bars_match_daily_bars(api, interval, key):
    daily = api.data(EOD, symbol="MWG", start="2025-01-01", end="2025-04-30")
    rolled = api.data(EOD, symbol="MWG", start="2025-01-01", end="2025-04-30", interval=interval)
    buckets = {}
    for bar in daily:
        buckets.setdefault(key(date.fromisoformat(bar["time"])), []).append(bar)
    assert len(rolled) == len(buckets)
    for bar, group in zip(rolled, buckets.values()):
        assert bar["time"] == group[0]["time"]
        assert bar["open"] == group[0]["open"] and bar["close"] == group[-1]["close"]
        assert bar["high"] == max(b["high"] for b in group) and bar["low"] == min(b["low"] for b in group)
        assert bar["volume"] == sum(b["volume"] for b in group)


def test_daily_defaults_end_at_simulated_today(api):
    bars = api.data(EOD, symbol="SSI")
    assert bars[-1]["time"] == "2025-06-30"
    assert bars[0]["time"] >= "2024-06-30"
    assert api.data(EOD, symbol="SSI", start="2025-06-30", end="2030-01-01")[-1]["time"] == "2025-06-30"


@pytest.mark.parametrize("params", [
    {"symbol": "FPT", "interval": "5m"},
    {"symbol": "FPT", "start": "2025-13-01"},
    {"symbol": "FPT", "start": "2025-06-10", "end": "2025-06-01"},
    {"symbol": "F P T"},
    {},
])
def test_daily_bad_parameters_answer_400(api, params):
    response = api.get(EOD, **params)
    assert response.status_code == 400
    assert response.json()["detail"]


def test_intraday_session_and_consistency_with_daily_bar(api):
    bars = api.data(INTRADAY, symbol="HPG", start="2025-06-24", end="2025-06-24", interval="1m")
    day = api.data(EOD, symbol="HPG", start="2025-06-24", end="2025-06-24")[0]
    moments = [datetime.strptime(b["time"], "%Y-%m-%d %H:%M:%S") for b in bars]
    assert moments == sorted(moments) and moments[0] == datetime(2025, 6, 24, 9, 15)
    for m in moments:
        clock = m.time()
        assert time(9, 15) <= clock < time(11, 30) or time(13, 0) <= clock < time(14, 45)
    assert bars[0]["open"] == day["open"] and bars[-1]["close"] == day["close"]
    assert max(b["high"] for b in bars) == day["high"] and min(b["low"] for b in bars) == day["low"]
    assert sum(b["volume"] for b in bars) == day["volume"]
    assert all(b["volume"] % 100 == 0 and b["low"] <= min(b["open"], b["close"]) for b in bars)
    assert all(b[f] % tick(b[f]) == 0 for b in bars for f in ("open", "high", "low", "close"))


def test_intraday_coarser_interval_and_range(api):
    minute = api.data(INTRADAY, symbol="FPT", start="2025-06-23", end="2025-06-27")
    five = api.data(INTRADAY, symbol="FPT", start="2025-06-23", end="2025-06-27", interval="5m", adjusted="true")
    assert {b["time"][:10] for b in minute} == {"2025-06-23", "2025-06-24", "2025-06-25", "2025-06-26", "2025-06-27"}
    assert all(int(b["time"][14:16]) % 5 == 0 for b in five)
    assert sum(b["volume"] for b in five) == sum(b["volume"] for b in minute)
    window = api.data(INTRADAY, symbol="FPT", start="2025-06-23 10:00:00", end="2025-06-23 10:09:00")
    assert [b["time"][11:16] for b in window] == [b["time"][11:16] for b in minute if "2025-06-23 10:00" <= b["time"] <= "2025-06-23 10:09:00"]
    assert api.data(INTRADAY, symbol="FPT", start="2025-06-28", end="2025-06-29") == []  # weekend


@pytest.mark.parametrize("params", [
    {"symbol": "FPT", "interval": "1D"},
    {"symbol": "FPT", "adjusted": "maybe"},
    {"symbol": "FPT", "start": "2025-01-01", "end": "2025-06-01"},
    {"symbol": "FPT", "start": "yesterday"},
])
def test_intraday_bad_parameters_answer_400(api, params):
    assert api.get(INTRADAY, **params).status_code == 400


def test_orderbook_tape(api):
    tape = api.data(ORDERBOOK, symbol="vnm", target_date="2025-06-24")
    day = api.data(EOD, symbol="VNM", start="2025-06-24", end="2025-06-24")[0]
    assert tape == api.data(ORDERBOOK, symbol="VNM", target_date="2025-06-24")
    assert {tuple(sorted(e)) for e in tape} == {("price", "side", "time", "volume")}
    assert {e["side"] for e in tape} == {"buy", "sell"}
    assert all(e["time"].startswith("2025-06-24 ") for e in tape)
    assert [e["time"] for e in tape] == sorted(e["time"] for e in tape)
    assert all(day["low"] <= e["price"] <= day["high"] and e["price"] % tick(e["price"]) == 0 for e in tape)
    assert all(e["volume"] > 0 and e["volume"] % 100 == 0 for e in tape)
    assert sum(e["volume"] for e in tape) == day["volume"]
    assert not any("11:30:00" <= e["time"][11:] < "13:00:00" for e in tape)


def test_orderbook_defaults_and_closed_days(api):
    payload = api.get(ORDERBOOK, symbol="VNM").json()
    assert payload["target_date"] == "2025-06-30" and payload["data"]
    assert api.data(ORDERBOOK, symbol="VNM", target_date="2025-06-29") == []
    assert api.data(ORDERBOOK, symbol="VNM", target_date="2025-07-01") == []
    assert api.get(ORDERBOOK, symbol="VNM", target_date="30/06/2025").status_code == 400
