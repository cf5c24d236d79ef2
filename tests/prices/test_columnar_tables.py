"""The bar fetchers keep uniform answers as typed columns and hand helpers
the columns instead of row records.  Whatever the answers hold, the table
must be the one `_to_dataframe` makes of the records: each case is fetched
twice, the second time with `_to_dataframe` replaced by a wrapper of the
very same function, which takes the fetch off its columnar way."""

from __future__ import annotations

import sys

import pandas as pd
import pytest

from private_core import daily_bars, helpers, tick_bars
from tests.support import FakeSession, bars_for
from varnix.exceptions import DataDecodingError


def bar(day: int, close=10.5, **extra) -> dict:
    return {"time": f"2024-01-{day:02d}", "open": 10.0, "high": 11.0, "low": 9.5, "close": close,
            "volume": 1000 + day, **extra}


UNIFORM = {"VNM": [bar(2), bar(3), bar(4)], "FPT": [bar(3), bar(2)], "HPG": [bar(5)]}

# (answers by symbol, whether the fetch can stay columnar throughout)
CASES = {
    "uniform": (UNIFORM, True),
    "ints and floats across answers": (
        {"VNM": [bar(2, close=23500), bar(3, close=23600)], "FPT": [bar(2, close=95.5)],
         "HPG": [bar(2, close=2 ** 62 + 1)]}, True),
    "entries carry their own symbol": (
        {"VNM": [bar(2, symbol="VNM.X"), bar(3, symbol="VNM.Y")], "FPT": [bar(2, symbol="FPT")]}, True),
    "empty answer between": ({"VNM": [bar(2)], "FPT": [], "HPG": [bar(3)]}, True),
    "short keys and epoch times": (
        {"VNM": [{"t": 1704153600, "o": 1, "h": 2.5, "l": 0.5, "c": 2, "v": 10}],
         "FPT": [{"t": 1704240000, "o": 1.5, "h": 2, "l": 1, "c": 1.5, "v": 12}]}, True),
    "not-a-number values": ({"VNM": [bar(2, close=float("nan")), bar(3)], "FPT": [bar(2)]}, True),
    "repeated and intraday times": (
        {"VNM": [bar(2, time="2024-01-02 09:15:00"), bar(2, time="2024-01-02 09:15:00", close=11.0),
                 bar(2, time="2024-01-02 10:00:00")], "FPT": [bar(2, time="2024-01-02 09:00:00")]}, True),
    "two layouts of time in one answer": (
        {"VNM": [bar(2, time="2024-01-02T09:00:00"), bar(2, time="2024-01-02")], "FPT": [bar(3)]}, True),
    "date-times with either separator under another key": (
        {"VNM": [{"timestamp": "2024-01-02 09:15:00", "close": 1.0}, {"timestamp": "2024-01-02T09:16:00", "close": 2.0}],
         "FPT": [{"timestamp": "2024-02-29 14:45:59", "close": 3.0}]}, True),
    "a date text that is not the time": ({"VNM": [bar(2, note="2024-01-05")], "FPT": [bar(3, note="2024-01-06")]}, True),
    "an impossible time": ({"VNM": [bar(2, time="2024-01-02 24:00:00")], "FPT": [bar(3)]}, True),
    "a day February does not have": ({"VNM": [bar(2, time="2023-02-29")]}, True),
    "texts beside numbers": ({"VNM": [bar(2, side="B"), bar(3, side="S")], "FPT": [bar(2, side="B")]}, True),
    "a null in a later answer": ({"VNM": [bar(2), bar(3)], "FPT": [bar(2, close=None)], "HPG": [bar(4)]}, False),
    "a bool": ({"VNM": [bar(2, flag=True)], "FPT": [bar(2, flag=False)]}, False),
    "an int past int64": ({"VNM": [bar(2)], "FPT": [bar(3, volume=2 ** 70)]}, False),
    "a nested value": ({"VNM": [bar(2, extra={"a": 1})]}, False),
    "keys in another order": ({"VNM": [bar(2)], "FPT": [dict(reversed(bar(3).items()))]}, False),
    "a key more in a later entry": ({"VNM": [bar(2), bar(3, note="x")], "FPT": [bar(2)]}, False),
    "own symbol in some entries only": ({"VNM": [bar(2), bar(3, symbol="VNM")]}, False),
    "a number where text was": ({"VNM": [bar(2, side="B")], "FPT": [bar(2, side=1)]}, False),
}

FETCHERS = [
    pytest.param(daily_bars, lambda s: daily_bars.fetch_ohlcv(s, ["vnm", "fpt", "hpg"], show_progress=False),
                 id="daily"),
    pytest.param(tick_bars, lambda s: tick_bars.fetch_ohlcv(s, ["vnm", "fpt", "hpg"], interval="1D",
                                                            show_progress=False), id="intraday"),
    pytest.param(tick_bars, lambda s: tick_bars.fetch_orderbook(s, ["vnm", "fpt", "hpg"], show_progress=False),
                 id="tapes"),
]


@pytest.fixture
def builds(monkeypatch):
    """Who called helpers' table typing, in order: "records" when it came
    through `_to_dataframe`, "columns" when the fetch called it itself."""
    callers: list[str] = []
    original = helpers._typed_table

    def spy(frame, **kwargs):
        callers.append("records" if sys._getframe(1).f_code.co_name == "_to_dataframe" else "columns")
        return original(frame, **kwargs)

    monkeypatch.setattr(helpers, "_typed_table", spy)
    return callers


def outcome(fetch, answers):
    try:
        return fetch(FakeSession(bars_for(answers)))
    except (DataDecodingError, ValueError) as exc:
        return exc


@pytest.mark.parametrize("module, fetch", FETCHERS)
@pytest.mark.parametrize("case", list(CASES))
def test_columns_give_the_records_table(module, fetch, case, builds, monkeypatch):
    answers, columnar = CASES[case]
    fast = outcome(fetch, answers)
    assert builds == ["columns" if columnar else "records"]

    records: list = []
    monkeypatch.setattr(module, "_to_dataframe", lambda rows: records.append(rows) or helpers._to_dataframe(rows))
    slow = outcome(fetch, answers)
    assert len(records) == 1
    if isinstance(slow, Exception):
        assert type(fast) is type(slow) and str(fast) == str(slow)
    else:
        pd.testing.assert_frame_equal(fast, slow, check_exact=True)


def test_non_dict_entry_in_a_later_answer(builds):
    answers = {"VNM": [bar(2)], "FPT": [bar(2), "not a row"]}
    session = FakeSession(lambda method, path, params: {"data": answers[params["symbol"]]})
    with pytest.raises(DataDecodingError, match="^Each OHLCV row must be a dictionary.$"):
        daily_bars.fetch_ohlcv(session, ["vnm", "fpt"], show_progress=False)


def test_helper_replaced_during_the_batch_gets_the_records(monkeypatch):
    """`_to_dataframe` is looked up when the table is built: a replacement
    made while the answers come in receives the row records, equal to the
    ones the fetch builds, in order."""
    seen = {}
    replacement = lambda rows: seen.setdefault("rows", rows) and "table"  # noqa: E731
    monkeypatch.setattr(daily_bars, "_to_dataframe", daily_bars._to_dataframe)  # restored afterwards
    monkeypatch.setattr(daily_bars, "start_progress", lambda total, label: None)
    monkeypatch.setattr(daily_bars, "finish_progress", lambda: None)
    monkeypatch.setattr(daily_bars, "update_progress",
                        lambda current: setattr(daily_bars, "_to_dataframe", replacement))
    monkeypatch.setattr(daily_bars, "resample_ohlcv_multi", lambda df, interval: df)
    answers = {"VNM": [bar(2, close=23500)], "FPT": [bar(2, close=1.5)]}
    session = FakeSession(bars_for(answers))
    assert daily_bars.fetch_ohlcv(session, ["vnm", "fpt"]) == "table"
    order = [params["symbol"] for _, _, params in session.calls]
    expected = [{"symbol": sym, **b} for sym in order for b in answers[sym]]
    assert seen["rows"] == expected
    assert [type(r["close"]) for r in seen["rows"]] == [type(r["close"]) for r in expected]


def test_helpers_building_with_another_pandas_get_the_records(builds, monkeypatch):
    """The columns are handed over only while helpers builds with the pandas
    the fetcher imported."""
    import types

    monkeypatch.setattr(helpers, "pd", types.SimpleNamespace(**vars(pd)))
    table = daily_bars.fetch_ohlcv(FakeSession(bars_for(UNIFORM)), ["vnm", "fpt"], show_progress=False)
    assert builds == ["records"] and list(table["symbol"]) == ["FPT", "FPT", "VNM", "VNM", "VNM"]


def test_plain_times_come_parsed_unless_the_parser_was_replaced(monkeypatch):
    """Plain ISO times reach helpers already parsed while helpers parses with
    its own _parse_time; a replaced one is handed the texts."""
    frames: list = []
    original = helpers._typed_table
    monkeypatch.setattr(helpers, "_typed_table", lambda frame, **kw: frames.append(frame) or original(frame, **kw))
    fetch = lambda: daily_bars.fetch_ohlcv(FakeSession(bars_for(UNIFORM)), ["vnm", "fpt"], show_progress=False)  # noqa: E731
    first = fetch()
    seen: list = []
    parse = helpers._parse_time
    monkeypatch.setattr(helpers, "_parse_time", lambda values: seen.append(values.dtype) or parse(values))
    second = fetch()
    assert frames[0]["time"].dtype.kind == "M" and frames[1]["time"].dtype == "str"
    assert seen == [frames[1]["time"].dtype]
    pd.testing.assert_frame_equal(first, second, check_exact=True)
