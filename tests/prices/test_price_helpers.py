"""The table helpers on realistic bars: several symbols arriving out of
order, a trading gap, a month boundary inside a week, a lunch break."""

from __future__ import annotations

import pandas as pd
import pytest

from private_core.helpers import _to_dataframe, resample_ohlcv_multi


def bar(symbol, time, o, h, l, c, v):
    return {"symbol": symbol, "time": time, "open": o, "high": h, "low": l, "close": c, "volume": v}


# Daily bars; nothing trades from 5 to 16 February (a holiday fortnight).
DAILY = [
    bar("VNM", "2024-02-19", 13, 16, 13, 15, 500),
    bar("FPT", "2024-01-31", "50", "52", "49", "51", "10"),
    bar("VNM", "2024-01-30", 10, 12, 9, 11, 100),
    bar("VNM", "2024-02-01", 12, 15, 11, 14, 300),
    bar("FPT", "2024-02-20", 59, 62, 57, 62, 30),
    bar("VNM", "2024-01-31", 11, 13, 10, 12, 200),
    bar("VNM", "2024-02-02", 14, 14, 12, 13, 400),
    bar("FPT", "2024-02-19", 60, 61, 58, 59, 20),
]


def table(df):
    return [[r.symbol, str(r.time.date()), r.open, r.high, r.low, r.close, r.volume] for r in df.itertuples()]


def test_to_dataframe_types_and_order():
    df = _to_dataframe(DAILY)
    assert list(df.columns) == ["symbol", "time", "open", "high", "low", "close", "volume"]
    assert pd.api.types.is_datetime64_any_dtype(df["time"])
    assert all(df[c].dtype == "float64" for c in ("open", "high", "low", "close"))
    assert df["volume"].dtype == "int64"
    assert list(df.index) == list(range(8))
    assert [(s, str(t.date())) for s, t in zip(df.symbol, df.time)] == [
        ("FPT", "2024-01-31"), ("FPT", "2024-02-19"), ("FPT", "2024-02-20"),
        ("VNM", "2024-01-30"), ("VNM", "2024-01-31"), ("VNM", "2024-02-01"), ("VNM", "2024-02-02"),
        ("VNM", "2024-02-19")]
    assert df.iloc[0].close == 51.0


@pytest.mark.parametrize("rows, times", [
    ([{"symbol": "A", "date": "2024-01-02", "close": 1}], ["2024-01-02 00:00:00"]),
    ([{"symbol": "A", "timestamp": 1704153600, "close": 1}], ["2024-01-02 00:00:00"]),
    ([{"symbol": "A", "t": 1704187800000, "c": 1}], ["2024-01-02 09:30:00"]),
    ([{"symbol": "A", "time": "2024-01-02T09:15:00", "close": 1}], ["2024-01-02 09:15:00"]),
])
def test_time_keys_and_forms(rows, times):
    df = _to_dataframe(rows)
    assert [str(t) for t in df["time"]] == times and df["close"].tolist() == [1.0]


def test_extra_keys_missing_values_and_tapes():
    df = _to_dataframe([
        {"symbol": "B", "time": "2024-01-02T09:15:00", "price": "10.5", "volume": None, "side": "B"},
        {"symbol": "A", "time": "2024-01-02T09:15:00", "price": 20, "volume": 2.5, "side": "S"},
        {"symbol": "A", "time": "2024-01-02T09:15:00", "price": 21, "volume": 3, "side": "B"},
    ])
    assert list(df.columns) == ["symbol", "time", "volume", "price", "side"]
    # Same timestamp: the service's order is kept.
    assert df[["symbol", "price", "side"]].values.tolist() == [["A", 20.0, "S"], ["A", 21.0, "B"], ["B", 10.5, "B"]]
    assert df["volume"].dtype == "float64" and df["volume"].isna().tolist() == [False, False, True]


@pytest.mark.parametrize("interval, expected", [
    # The first week straddles the month boundary; the empty fortnight has no row.
    ("1W", [["FPT", "2024-01-29", 50, 52, 49, 51, 10], ["FPT", "2024-02-19", 60, 62, 57, 62, 50],
            ["VNM", "2024-01-29", 10, 15, 9, 13, 1000], ["VNM", "2024-02-19", 13, 16, 13, 15, 500]]),
    ("1M", [["FPT", "2024-01-01", 50, 52, 49, 51, 10], ["FPT", "2024-02-01", 60, 62, 57, 62, 50],
            ["VNM", "2024-01-01", 10, 13, 9, 12, 300], ["VNM", "2024-02-01", 12, 16, 11, 15, 1200]]),
])
def test_resample_daily(interval, expected):
    out = resample_ohlcv_multi(_to_dataframe(DAILY), interval=interval)
    assert table(out) == expected
    assert list(out.index) == list(range(4)) and out["volume"].dtype == "int64"


@pytest.mark.parametrize("interval", ["1D", "1H", "1m"])
def test_native_interval_returns_the_table(interval):
    df = _to_dataframe(DAILY)
    assert resample_ohlcv_multi(df, interval=interval) is df


MINUTES = [
    bar("VNM", "2024-03-04T11:28:00", 70.0, 70.2, 69.9, 70.1, 100),
    bar("VNM", "2024-03-04T11:29:00", 70.1, 70.3, 70.0, 70.3, 200),
    bar("VNM", "2024-03-04T13:00:00", 70.4, 70.6, 70.2, 70.5, 300),
    bar("VNM", "2024-03-04T13:01:00", 70.5, 70.5, 70.1, 70.2, 400),
    bar("VNM", "2024-03-05T09:00:00", 71.0, 71.0, 70.8, 70.9, 500),
    bar("HPG", "2024-03-04T14:29:00", 27.0, 27.1, 26.9, 27.1, 50),
]


@pytest.mark.parametrize("interval, expected", [
    ("30m", [["HPG", "2024-03-04 14:00:00", 27.0, 27.1, 26.9, 27.1, 50],
             ["VNM", "2024-03-04 11:00:00", 70.0, 70.3, 69.9, 70.3, 300],
             ["VNM", "2024-03-04 13:00:00", 70.4, 70.6, 70.1, 70.2, 700],
             ["VNM", "2024-03-05 09:00:00", 71.0, 71.0, 70.8, 70.9, 500]]),
    ("1D", [["HPG", "2024-03-04 00:00:00", 27.0, 27.1, 26.9, 27.1, 50],
            ["VNM", "2024-03-04 00:00:00", 70.0, 70.6, 69.9, 70.2, 1000],
            ["VNM", "2024-03-05 00:00:00", 71.0, 71.0, 70.8, 70.9, 500]]),
])
def test_resample_intraday_across_lunch_and_days(interval, expected):
    out = resample_ohlcv_multi(_to_dataframe(MINUTES), interval=interval)
    got = [[r.symbol, str(r.time), r.open, r.high, r.low, r.close, r.volume] for r in out.itertuples()]
    assert got == expected


def test_resample_keeps_missing_volume_missing():
    rows = [bar("A", "2024-01-02T09:00:00", 1, 1, 1, 1, None), bar("A", "2024-01-02T09:01:00", 2, 2, 2, 2, None)]
    out = resample_ohlcv_multi(_to_dataframe(rows), interval="5m")
    assert out["volume"].isna().all() and out["close"].tolist() == [2.0]


@pytest.mark.parametrize("code", ["2H", "1d", "1Y", "", None, 5])
def test_unknown_interval(code):
    with pytest.raises(ValueError, match=f"Unsupported interval {code!r}"):
        resample_ohlcv_multi(_to_dataframe(DAILY), interval=code)


@pytest.mark.parametrize("volumes, interval, dtype, expected", [
    ([2 ** 63, 1], "1D", "float64", [float(2 ** 63), 1.0]),
    ([float(2 ** 63), 1.0], "1D", "float64", [float(2 ** 63), 1.0]),
    ([2 ** 64 - 1, 2 ** 70], "1D", "float64", [float(2 ** 64 - 1), float(2 ** 70)]),
    ([2 ** 63 - 1, -2 ** 63], "1D", "int64", [2 ** 63 - 1, -2 ** 63]),
    ([2 ** 53 + 1, 3], "1D", "int64", [2 ** 53 + 1, 3]),  # exact, not through a float
    ([2 ** 62, 2 ** 62, 2 ** 62], "1M", "float64", [3.0 * 2 ** 62]),  # a sum int64 cannot hold
    ([2 ** 61, 2 ** 61, 2 ** 61], "1M", "int64", [3 * 2 ** 61]),
])
def test_volumes_never_wrap(volumes, interval, dtype, expected):
    rows = [bar("A", f"2024-01-{i + 2:02d}", 1, 1, 1, 1, v) for i, v in enumerate(volumes)]
    out = resample_ohlcv_multi(_to_dataframe(rows), interval=interval)
    assert out["volume"].dtype == dtype and out["volume"].tolist() == expected
