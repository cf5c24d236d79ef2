"""The bar fetchers build their tables from the records' typed columns when
they can.  Whatever the answers hold, the table (or the error) must be the
one the fetch makes with every fast path off, which hands the row records to
`_to_dataframe`: each case is fetched both ways."""

from __future__ import annotations

import pandas as pd
import pytest

from private_core import daily_bars, tick_bars
from tests.support import FakeSession, bars_for
from varnix.exceptions import DataDecodingError


def bar(day: int, close=10.5, **extra) -> dict:
    return {"time": f"2024-01-{day:02d}", "open": 10.0, "high": 11.0, "low": 9.5, "close": close,
            "volume": 1000 + day, **extra}


UNIFORM = {"VNM": [bar(2), bar(3), bar(4)], "FPT": [bar(3), bar(2)], "HPG": [bar(5)]}

# Answers by symbol.
CASES = {
    "uniform": UNIFORM,
    "ints and floats across answers": {"VNM": [bar(2, close=23500), bar(3, close=23600)], "FPT": [bar(2, close=95.5)],
                                       "HPG": [bar(2, close=2 ** 62 + 1)]},
    "entries carry their own symbol": {"VNM": [bar(2, symbol="VNM.X"), bar(3, symbol="VNM.Y")],
                                       "FPT": [bar(2, symbol="FPT")]},
    "own symbols that interleave": {"VNM": [bar(2, symbol="B"), bar(3, symbol="A"), bar(4, symbol="B")]},
    "empty answer between": {"VNM": [bar(2)], "FPT": [], "HPG": [bar(3)]},
    "short keys and epoch times": {"VNM": [{"t": 1704153600, "o": 1, "h": 2.5, "l": 0.5, "c": 2, "v": 10}],
                                   "FPT": [{"t": 1704240000, "o": 1.5, "h": 2, "l": 1, "c": 1.5, "v": 12}]},
    "not-a-number values": {"VNM": [bar(2, close=float("nan")), bar(3)], "FPT": [bar(2)]},
    "repeated and intraday times": {"VNM": [bar(2, time="2024-01-02 09:15:00"),
                                            bar(2, time="2024-01-02 09:15:00", close=11.0),
                                            bar(2, time="2024-01-02 10:00:00")],
                                    "FPT": [bar(2, time="2024-01-02 09:00:00")]},
    "times out of order": {"VNM": [bar(4), bar(2), bar(3)], "FPT": [bar(2)]},
    "two layouts of time in one answer": {"VNM": [bar(2, time="2024-01-02T09:00:00"), bar(2, time="2024-01-02")],
                                          "FPT": [bar(3)]},
    "date-times with either separator under another key": {
        "VNM": [{"timestamp": "2024-01-02 09:15:00", "close": 1.0}, {"timestamp": "2024-01-02T09:16:00", "close": 2.0}],
        "FPT": [{"timestamp": "2024-02-29 14:45:59", "close": 3.0}]},
    "a date text that is not the time": {"VNM": [bar(2, note="2024-01-05")], "FPT": [bar(3, note="2024-01-06")]},
    "an impossible time": {"VNM": [bar(2, time="2024-01-02 24:00:00")], "FPT": [bar(3)]},
    "a day February does not have": {"VNM": [bar(2, time="2023-02-29")]},
    "a date past what nanoseconds hold": {"VNM": [bar(2, time="2261-12-31"), bar(3, time="2262-06-01")]},
    "texts beside numbers": {"VNM": [bar(2, side="B"), bar(3, side="S")], "FPT": [bar(2, side="B")]},
    "a null in a later answer": {"VNM": [bar(2), bar(3)], "FPT": [bar(2, close=None)], "HPG": [bar(4)]},
    "a bool": {"VNM": [bar(2, flag=True)], "FPT": [bar(2, flag=False)]},
    "a nested value": {"VNM": [bar(2, extra={"a": 1})]},
    "keys in another order": {"VNM": [bar(2)], "FPT": [dict(reversed(bar(3).items()))]},
    "a key more in a later entry": {"VNM": [bar(2), bar(3, note="x")], "FPT": [bar(2)]},
    "own symbol in some entries only": {"VNM": [bar(2), bar(3, symbol="VNM")]},
    "a number where text was": {"VNM": [bar(2, side="B")], "FPT": [bar(2, side=1)]},
    # Numbers an int64 column cannot hold exactly, or at all: never wrapped.
    "volumes past int64": {"VNM": [bar(2, volume=2 ** 63), bar(3, volume=2 ** 64 - 1)], "FPT": [bar(3, volume=2 ** 70)]},
    "a whole float volume of 2**63": {"VNM": [bar(2, volume=float(2 ** 63)), bar(3, volume=1.0)]},
    "exact int volumes near the edges": {"VNM": [bar(2, volume=2 ** 63 - 1), bar(3, volume=-2 ** 63)],
                                         "FPT": [bar(2, volume=2 ** 53 + 1)]},
    "volumes whose sum passes int64": {"VNM": [bar(2, volume=2 ** 62), bar(3, volume=2 ** 62), bar(4, volume=2 ** 62)]},
    "epoch milliseconds": {"VNM": [{"t": 1704153600000, "c": 1.0}, {"t": 1704240000000, "c": 2.0}]},
}

SYMBOLS = ["vnm", "fpt", "hpg"]
FETCHERS = {
    "daily": lambda s: daily_bars.fetch_ohlcv(s, SYMBOLS, show_progress=False),
    "monthly": lambda s: daily_bars.fetch_ohlcv(s, SYMBOLS, interval="1M", show_progress=False),
    "intraday": lambda s: tick_bars.fetch_ohlcv(s, SYMBOLS, interval="1D", show_progress=False),
    "tapes": lambda s: tick_bars.fetch_orderbook(s, SYMBOLS, show_progress=False),
}


def counts() -> dict:
    return {**daily_bars.__fast_paths__(), **tick_bars.__fast_paths__()}


def outcome(fetch, answers):
    try:
        return fetch(FakeSession(bars_for(answers)))
    except (DataDecodingError, ValueError) as exc:
        return exc


@pytest.mark.parametrize("how", list(FETCHERS))
@pytest.mark.parametrize("case", list(CASES))
def test_columns_give_the_records_table(how, case):
    """Fetched as the package's switch stands, then with fast paths off (the
    switch is put back as found: a run may have them all off)."""
    before = counts()
    fast = outcome(FETCHERS[how], CASES[case])
    was_on = counts() != before
    daily_bars.__fast_paths__(False)
    try:
        slow = outcome(FETCHERS[how], CASES[case])
    finally:
        daily_bars.__fast_paths__(was_on)
    if isinstance(slow, Exception):
        assert type(fast) is type(slow) and str(fast) == str(slow)
    else:
        pd.testing.assert_frame_equal(fast, slow, check_exact=True)
