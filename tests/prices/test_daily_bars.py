"""End-of-day bars: the wire, symbol normalisation, payload and argument
checks, rows, progress calls and the asterisk bar.  All but the wire and the
rows are shared in behaviour with the intraday module, so both are checked
here."""

from __future__ import annotations

import pandas as pd
import pytest

from private_core import daily_bars, tick_bars
from tests.child import assert_clean_exit, run_child
from tests.support import API_ROOT, EOD, FakeResponse, FakeSession, bars_for, serve_bars
from varnix.exceptions import DataDecodingError

BARS = {
    "VNM": [{"time": "2024-01-30", "open": 70.1, "high": 71.0, "low": 69.8, "close": 70.5, "volume": 1200},
            {"time": "2024-01-31", "open": 70.5, "high": 72.0, "low": 70.0, "close": 71.8, "volume": 1500},
            {"time": "2024-02-01", "open": 71.8, "high": 72.2, "low": 71.0, "close": 71.1, "volume": 900}],
    "FPT": [{"time": "2024-01-31", "open": 95.0, "high": 96.5, "low": 94.2, "close": 96.0, "volume": 3000},
            {"time": "2024-02-01", "open": 96.0, "high": 97.0, "low": 95.1, "close": 95.5, "volume": 2800}],
    "HPG": [{"time": "2024-02-01", "open": 27.5, "high": 28.0, "low": 27.1, "close": 27.9, "volume": 9000}],
}


def test_batch_over_http(httpserver, session, progress):
    httpserver.expect_request(API_ROOT + EOD).respond_with_handler(serve_bars(BARS))
    df = daily_bars.fetch_ohlcv(session, ["vnm", " fpt", "HPG "], "2024-01-29", "", "1M")

    seen = [req for req, _ in httpserver.log]
    assert sorted(req.args["symbol"] for req in seen) == ["FPT", "HPG", "VNM"]
    for req in seen:
        assert req.method == "GET"
        assert list(req.args) == ["symbol", "interval", "start"]
        assert req.args["interval"] == "1M" and req.args["start"] == "2024-01-29"
        assert req.headers["Authorization"] == "Bearer test-key"

    # One row per symbol and month, sorted by symbol then time.
    assert df[["symbol", "time"]].astype(str).values.tolist() == [
        ["FPT", "2024-01-01"], ["FPT", "2024-02-01"], ["HPG", "2024-02-01"],
        ["VNM", "2024-01-01"], ["VNM", "2024-02-01"]]
    vnm_jan = df.iloc[3]
    assert (vnm_jan.open, vnm_jan.high, vnm_jan.low, vnm_jan.close, vnm_jan.volume) == (70.1, 72.0, 69.8, 71.8, 2700)
    assert progress == [("start", 3, "Batch EOD"), ("update", 1), ("update", 2), ("update", 3), ("finish",)]


# ---------------------------------------------------------------------------
@pytest.mark.parametrize("module", [daily_bars, tick_bars])
@pytest.mark.parametrize("given, expected", [
    (" vnm ", ["VNM"]),
    (["aaa", "aaa", " "], ["AAA"]),
    # Repeats that only show once normalised are requested once too.
    (["aaa", "AAA"], ["AAA"]),
    (["fpt", "FPT ", " Fpt"], ["FPT"]),
    (("hpg",), ["HPG"]),
])
def test_normalize_symbols(module, given, expected):
    assert module._normalize_symbols(given) == expected


@pytest.mark.parametrize("module", [daily_bars, tick_bars])
def test_normalize_keeps_the_sets_order(module):
    given = ["vnm", "fpt", "hpg", "mwg", "vcb", "ssi", "FPT"]
    expected = []
    for item in list(set(given)):
        if item.upper() not in expected:
            expected.append(item.upper())
    assert module._normalize_symbols(given) == expected


@pytest.mark.parametrize("module", [daily_bars, tick_bars])
@pytest.mark.parametrize("given, exc, message", [
    ("", ValueError, "symbol must not be empty."),
    ("   ", ValueError, "symbol must not be empty."),
    (5, TypeError, "symbol must be a string or a sequence of strings."),
    (None, TypeError, "symbol must be a string or a sequence of strings."),
    (b"VNM", TypeError, "symbol must be a string or a sequence of strings."),
    ({"VNM"}, TypeError, "symbol must be a string or a sequence of strings."),
    (["VNM", 3], TypeError, "All symbols in the sequence must be strings."),
    ([" ", ""], ValueError, "symbol sequence must contain at least one non-empty string."),
    ([], ValueError, "symbol sequence must contain at least one non-empty string."),
])
def test_normalize_rejects(module, given, exc, message):
    with pytest.raises(exc) as info:
        module._normalize_symbols(given)
    assert str(info.value) == message


def test_duplicates_fetched_once_and_volumes_not_doubled(progress):
    s = FakeSession(bars_for(BARS))
    df = daily_bars.fetch_ohlcv(s, ["vnm", "VNM", " vnm "], interval="1M")
    assert [params["symbol"] for _, _, params in s.calls] == ["VNM"]
    assert df["volume"].tolist() == [2700, 900]


# ---------------------------------------------------------------------------
@pytest.mark.parametrize("start, end, expected", [
    (None, None, {"symbol": "VNM", "interval": "1D"}),
    ("", "", {"symbol": "VNM", "interval": "1D"}),
    ("2024-01-01", None, {"symbol": "VNM", "interval": "1D", "start": "2024-01-01"}),
    ("not-a-date", "2024-02-01", {"symbol": "VNM", "interval": "1D", "start": "not-a-date", "end": "2024-02-01"}),
])
def test_query_parameters(progress, start, end, expected):
    s = FakeSession()
    daily_bars.fetch_ohlcv(s, "vnm", start=start, end=end)
    assert s.calls == [("GET", EOD, expected)]
    assert list(s.calls[0][2]) == list(expected)


def test_empty_result_skips_the_helpers(progress, monkeypatch):
    def boom(*a, **k):
        raise AssertionError("helper called")
    monkeypatch.setattr(daily_bars, "_to_dataframe", boom)
    monkeypatch.setattr(daily_bars, "resample_ohlcv_multi", boom)
    df = daily_bars.fetch_ohlcv(FakeSession(), ["aaa", "bbb"])
    assert isinstance(df, pd.DataFrame) and df.shape == (0, 0)


def test_rows_and_helper_calls(progress, monkeypatch):
    seen = {}
    monkeypatch.setattr(daily_bars, "_to_dataframe", lambda rows: seen.setdefault("rows", rows) and "frame")
    monkeypatch.setattr(daily_bars, "resample_ohlcv_multi",
                        lambda df, interval: seen.setdefault("resample", (df, interval)) and "result")
    bars = {"VNM": [{"time": "2024-01-02", "close": 1.0}, {"close": 2.0, "symbol": "VNM.X", "time": "2024-01-03"}]}
    assert daily_bars.fetch_ohlcv(FakeSession(bars_for(bars)), "vnm", interval="1W") == "result"
    assert seen["rows"] == [{"symbol": "VNM", "time": "2024-01-02", "close": 1.0},
                            {"symbol": "VNM.X", "close": 2.0, "time": "2024-01-03"}]
    assert [list(r) for r in seen["rows"]] == [["symbol", "time", "close"], ["symbol", "close", "time"]]
    assert seen["resample"] == ("frame", "1W")


def test_without_progress_only_start_and_finish(progress):
    daily_bars.fetch_ohlcv(FakeSession(), ["aaa", "bbb"], show_progress=False)
    assert progress == [("start", 2, "Batch EOD"), ("finish",)]


# ---------------------------------------------------------------------------
# Payload checks, in order; the same rules hold for the three fetchers with
# their own wording.
FETCHERS = [
    (daily_bars.fetch_ohlcv, "OHLCV"),
    (tick_bars.fetch_ohlcv, "OHLCV"),
    (tick_bars.fetch_orderbook, "orderbook"),
]


@pytest.mark.parametrize("fetch, word", FETCHERS)
@pytest.mark.parametrize("answer, message", [
    (["a list"], "Unexpected payload structure for {word} response."),
    ("text", "Unexpected payload structure for {word} response."),
    ({"error": "symbol not found"}, "Backend returned error for VNM: symbol not found"),
    ({"error": {"code": 7}, "data": []}, "Backend returned error for VNM: {{'code': 7}}"),
    ({"error": ""}, "Unexpected payload format for {word} series."),
    ({"error": None, "data": {"time": "x"}}, "Unexpected payload format for {word} series."),
    ({"data": [{"close": 1}, 5]}, "Each {word} row must be a dictionary."),
])
def test_payload_checks(progress, fetch, word, answer, message):
    with pytest.raises(DataDecodingError) as info:
        fetch(FakeSession(answer), " vnm")
    assert str(info.value) == message.format(word=word)
    assert info.value.__cause__ is None
    assert ("finish",) not in progress


@pytest.mark.parametrize("fetch, word", FETCHERS)
def test_undecodable_body(progress, fetch, word):
    bad = ValueError("Expecting value")
    with pytest.raises(DataDecodingError) as info:
        fetch(FakeSession(FakeResponse(bad)), "vnm")
    assert str(info.value) == f"Unable to decode {word} response as JSON"
    assert info.value.__cause__ is bad


@pytest.mark.parametrize("fetch, word", FETCHERS)
def test_first_failing_symbol_ends_the_batch(progress, fetch, word):
    s = FakeSession({"error": "down"})
    with pytest.raises(DataDecodingError):
        fetch(s, ["aaa", "bbb", "ccc"])
    assert len(s.calls) == 1
    assert progress[-1][0] == "start"


# ---------------------------------------------------------------------------
@pytest.mark.parametrize("call, message", [
    (lambda s: daily_bars.fetch_ohlcv(s), "fetch_ohlcv() takes at least 2 positional arguments (1 given)"),
    (lambda s: daily_bars.fetch_ohlcv(s, "a", None, None, "1D", True),
     "fetch_ohlcv() takes at most 5 positional arguments (6 given)"),
    (lambda s: daily_bars.fetch_ohlcv(s, "a", start=20240101),
     "Argument 'start' has incorrect type (expected str, got int)"),
    (lambda s: daily_bars.fetch_ohlcv(s, "a", progress=False),
     "fetch_ohlcv() got an unexpected keyword argument 'progress'"),
    (lambda s: daily_bars._render_progress(True, 4, "x"),
     "Argument 'current' has incorrect type (expected int, got bool)"),
    (lambda s: tick_bars.fetch_ohlcv(s, "a", None, None, "1m", None, True),
     "fetch_ohlcv() takes at most 6 positional arguments (7 given)"),
    (lambda s: tick_bars.fetch_orderbook(s, "a", None, True),
     "fetch_orderbook() takes at most 3 positional arguments (4 given)"),
    (lambda s: tick_bars.fetch_orderbook(s, "a", target_date=20240304),
     "Argument 'target_date' has incorrect type (expected str, got int)"),
])
def test_bad_arguments_before_any_request(progress, call, message):
    s = FakeSession()
    with pytest.raises(TypeError) as info:
        call(s)
    assert str(info.value) == message
    assert s.calls == [] and progress == []


# ---------------------------------------------------------------------------
@pytest.mark.parametrize("module", [daily_bars, tick_bars])
@pytest.mark.parametrize("current, total, stars, tail", [
    (1, 4, 12, " 25%  1 of 4 completed | AAA"),
    # Exact integers: through floats these read 28% and 0 cells.
    (29, 100, 14, " 29%  29 of 100 completed | AAA"),
    (1, 49, 1, "  2%  1 of 49 completed | AAA"),
    (0, 3, 0, "  0%  0 of 3 completed | AAA"),
])
def test_render_progress(module, capsys, current, total, stars, tail):
    module._render_progress(current, total, "AAA")
    assert capsys.readouterr().out == "\r[" + "*" * stars + " " * (49 - stars) + "] " + tail


@pytest.mark.parametrize("module", [daily_bars, tick_bars])
def test_render_progress_edges(module, capsys):
    module._render_progress(0, 0, "X")
    assert capsys.readouterr().out == ""
    module._render_progress(4, 4, "X")
    assert capsys.readouterr().out == "\r[" + "*" * 49 + "] 100%  4 of 4 completed | X\n"
    # Truncation is toward zero, not down: -1/3 is -33%, 16 cells "removed".
    module._render_progress(-1, 3, "X")
    assert capsys.readouterr().out == "\r[" + " " * (49 + 16) + "] -33%  -1 of 3 completed | X"
    module._render_progress(5, 4, "X")
    assert capsys.readouterr().out == "\r[" + "*" * 61 + "] 125%  5 of 4 completed | X"


@pytest.mark.parametrize("fetch, word", FETCHERS)
def test_rebound_error_class_that_makes_no_exception(progress, monkeypatch, fetch, word):
    monkeypatch.setattr(daily_bars, "DataDecodingError", lambda message: message)
    monkeypatch.setattr(tick_bars, "DataDecodingError", lambda message: message)
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        fetch(FakeSession(FakeResponse(ValueError("x"))), "vnm")


def test_helpers_with_only_the_documented_names():
    """The fetchers need of helpers only Interval, _to_dataframe and
    resample_ohlcv_multi; the rest of it is never required."""
    proc = run_child("""
import importlib.util, sys, types
spec = importlib.util.find_spec("private_core.helpers")
real = importlib.util.module_from_spec(spec)
spec.loader.exec_module(real)
mini = types.ModuleType("private_core.helpers")
mini.Interval, mini._to_dataframe, mini.resample_ohlcv_multi = real.Interval, real._to_dataframe, real.resample_ohlcv_multi
import private_core
sys.modules["private_core.helpers"] = mini
from private_core import daily_bars, tick_bars

class Answer:
    def __init__(self, symbol):
        self.symbol = symbol
    def json(self):
        return {"data": [{"time": f"2024-01-0{d}", "open": 1.0, "high": 2.0, "low": 0.5, "close": 1.5, "volume": d}
                         for d in (2, 3, 4)]}

class Session:
    def get(self, path, params=None):
        return Answer(params["symbol"])

for fetch in (daily_bars.fetch_ohlcv, tick_bars.fetch_ohlcv, tick_bars.fetch_orderbook):
    table = fetch(Session(), ["vnm", "fpt"], show_progress=False)
    print(len(table), list(table["symbol"].unique()))
print(tick_bars.IntervalIntraday is str)
""")
    assert_clean_exit(proc, "6 ['FPT', 'VNM']\n6 ['FPT', 'VNM']\n6 ['FPT', 'VNM']\nTrue")
