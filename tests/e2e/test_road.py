"""The whole road once, as the demo walks it: validate the key, daily bars for a
batch, the same call again, intraday bars, an order book, company types and
statement values, weekly investor flows.  The road runs once per module; the
tests below look at what came back and at what the simulator received."""
from dataclasses import dataclass, field
from typing import Any, Dict, List

import pandas as pd
import pytest
from pandas.api import types as ptypes

from demo.main import CLIENT_VERSION, DemoClient
from private_core import statement_desk
from private_core.investor.flow_engine import InvestorFlowEngine
from private_core.key_gate import validate_api_key
from private_core.wire_link import HttpSession
from tests.support import (API_KEY, COMPANY_TYPES, EOD, INTRADAY, ORDERBOOK, STATEMENTS, STOCK_FLOW, VALIDATE,
                           raw_data, running_simulator)

SYMBOLS = ["VNM", "FPT", "HPG", "VCB", "MWG", "SSI", "VIC", "GAS"]
YEAR = ("2025-01-02", "2025-12-31")
INTRADAY_DAYS = ("2025-06-02", "2025-06-03")
BOOK_DAY = "2025-06-03"
FLOW_RANGE = ("2025-03-03", "2025-04-30")
OHLCV = ["symbol", "time", "open", "high", "low", "close", "volume"]
FLOW_NUMBERS = ["buy_volume", "sell_volume", "net_volume", "buy_value", "sell_value", "net_value"]


@dataclass
class Road:
    sim: Any
    session: HttpSession
    results: Dict[str, Any] = field(default_factory=dict)
    requests: Dict[str, List[Any]] = field(default_factory=dict)

    def step(self, name, call):
        before = len(self.sim.requests)
        self.results[name] = call()
        self.requests[name] = self.sim.requests[before:]


@pytest.fixture(scope="module")
def road():
    with running_simulator() as sim, HttpSession(API_KEY, base_url=sim.base_url, version=CLIENT_VERSION) as session:
        r = Road(sim, session)
        r.step("validate", lambda: validate_api_key(session, client_version=CLIENT_VERSION,
                                                    extra_context={"app": "demo"}))
        client = DemoClient(session)
        r.step("daily", lambda: client.daily(SYMBOLS, *YEAR))
        r.step("daily again", lambda: client.daily(SYMBOLS, *YEAR))
        r.step("intraday", lambda: client.intraday("FPT", *INTRADAY_DAYS, "5m"))
        r.step("orderbook", lambda: client.orderbook("VNM", BOOK_DAY))
        r.step("types", lambda: statement_desk.validate_company_types(session, ["vcb", "fpt"]))
        r.step("statements", lambda: statement_desk.fetch_statement_values(
            session, symbols=["FPT"], statement_id=2, start_year=2023, end_year=2024, period="year"))
        r.step("investor", lambda: client.investor_flows(["VNM", "FPT"], *FLOW_RANGE))
        yield r


def all_requests(road):
    return [req for reqs in road.requests.values() for req in reqs]


# -- what the user gets ------------------------------------------------------

def test_key_validation_answer(road):
    answer = road.results["validate"]
    assert answer.valid is True
    assert answer.plan == "pro"
    assert answer.expires_at == "2027-12-31T23:59:59Z"
    assert answer.messages == ["Xin chào! Khóa API hợp lệ cho gói pro.", "Client version 0.1.0 is supported."]


@pytest.mark.parametrize("name, columns, time_column", [
    ("daily", OHLCV, "time"),
    ("intraday", OHLCV, "time"),
    ("orderbook", ["symbol", "time", "volume", "price", "side"], "time"),
    ("investor", ["date"] + FLOW_NUMBERS + ["symbol", "group"], "date"),
])
def test_table_shape(road, name, columns, time_column):
    df = road.results[name]
    assert list(df.columns) == columns
    assert len(df) > 0
    assert isinstance(df.index, pd.RangeIndex) and df.index.start == 0 and df.index.step == 1
    assert ptypes.is_datetime64_dtype(df[time_column])
    assert ptypes.is_string_dtype(df["symbol"])
    for column in ("open", "high", "low", "close", "price"):
        if column in df:
            assert df[column].dtype == "float64", column
    for column in ["volume"] + FLOW_NUMBERS:
        if column in df:
            assert df[column].dtype == "int64", column
    assert not df.isna().any().any()
    keys = df[["symbol", time_column]]
    assert keys.equals(keys.sort_values(["symbol", time_column], kind="mergesort"))


def test_daily_bars_are_what_the_service_serves(road):
    df = road.results["daily"]
    assert sorted(df["symbol"].unique()) == sorted(SYMBOLS)
    assert not df.duplicated(["symbol", "time"]).any()
    assert (df["time"] >= YEAR[0]).all() and (df["time"] <= YEAR[1]).all()
    assert (df["time"].dt.day_of_week < 5).all()
    assert ((df["low"] <= df[["open", "close"]].min(axis=1)) & (df[["open", "close"]].max(axis=1) <= df["high"])).all()
    for symbol in SYMBOLS:
        rows = raw_data(road.sim, EOD, symbol=symbol, interval="1D", start=YEAR[0], end=YEAR[1])
        expected = pd.DataFrame(rows)
        got = df[df["symbol"] == symbol].reset_index(drop=True)
        assert got["time"].dt.strftime("%Y-%m-%d").tolist() == expected["time"].tolist(), symbol
        for column in ("open", "high", "low", "close", "volume"):
            assert got[column].tolist() == expected[column].tolist(), (symbol, column)


def test_repeated_historical_call_is_the_cached_table(road):
    assert road.results["daily again"] is road.results["daily"]
    assert road.requests["daily again"] == []


def test_intraday_resampled_here_matches_the_services_own_buckets(road):
    df = road.results["intraday"]
    assert set(df["symbol"]) == {"FPT"}
    assert sorted(set(df["time"].dt.strftime("%Y-%m-%d"))) == list(INTRADAY_DAYS)
    assert (df["time"].dt.minute % 5 == 0).all() and (df["time"].dt.second == 0).all()
    served = pd.DataFrame(raw_data(road.sim, INTRADAY, symbol="FPT", interval="5m",
                                   start=INTRADAY_DAYS[0], end=INTRADAY_DAYS[1]))
    assert df["time"].dt.strftime("%Y-%m-%d %H:%M:%S").tolist() == served["time"].tolist()
    for column in ("open", "high", "low", "close", "volume"):
        assert df[column].tolist() == served[column].tolist(), column
    # The minutes of a day add up to that day's bar.
    daily = road.results["daily"]
    fpt = daily[(daily["symbol"] == "FPT") & daily["time"].dt.strftime("%Y-%m-%d").isin(INTRADAY_DAYS)]
    per_day = df.groupby(df["time"].dt.normalize())["volume"].sum()
    assert per_day.tolist() == fpt["volume"].tolist()


def test_order_book_tape(road):
    df = road.results["orderbook"]
    assert set(df["symbol"]) == {"VNM"}
    assert set(df["time"].dt.strftime("%Y-%m-%d")) == {BOOK_DAY}
    assert set(df["side"]) <= {"buy", "sell"}
    daily = road.results["daily"]
    bar = daily[(daily["symbol"] == "VNM") & (daily["time"] == BOOK_DAY)].iloc[0]
    assert df["volume"].sum() == bar["volume"]
    assert df["price"].between(bar["low"], bar["high"]).all()


def test_company_types(road):
    assert road.results["types"] == {
        "error": None,
        "data": [
            {"symbol": "VCB", "valid": True, "company_type": "bank", "message": None},
            {"symbol": "FPT", "valid": True, "company_type": "company", "message": None},
        ],
        "invalid": [],
    }


def test_statement_values(road):
    answer = road.results["statements"]
    assert answer["error"] is None
    assert answer["statement_id"] == 2 and answer["statement"] == "income_statement"
    rows = answer["data"]
    assert len(rows) == 24
    assert {(r["symbol"], r["period"], r["quarter"]) for r in rows} == {("FPT", "year", None)}
    for year in (2023, 2024):
        values = {r["item_code"]: r["value"] for r in rows if r["year"] == year}
        assert len(values) == 12 and all(type(v) is int for v in values.values())
        assert values["gross_profit"] == values["revenue"] - values["cost_of_goods_sold"]


def test_weekly_investor_flows_sum_the_daily_ones(road):
    weekly = road.results["investor"]
    assert list(weekly["symbol"].unique()) == ["FPT", "VNM"]
    assert set(weekly["group"]) == {"foreign"}
    assert (weekly["date"].dt.day_of_week == 6).all()  # weeks are labelled by their Sunday
    daily = InvestorFlowEngine(road.session).fetch_df("stock", "flow", {
        "ids": ["VNM", "FPT"], "group": "foreign", "start": FLOW_RANGE[0], "end": FLOW_RANGE[1], "interval": "1D"})
    assert len(daily) > len(weekly)
    week_end = daily["date"] + pd.to_timedelta(6 - daily["date"].dt.day_of_week, unit="D")
    expected = daily.groupby([daily["symbol"], week_end.rename("date")])[FLOW_NUMBERS].sum().reset_index()
    pd.testing.assert_frame_equal(weekly[["symbol", "date"] + FLOW_NUMBERS], expected[["symbol", "date"] + FLOW_NUMBERS])
    assert (weekly["net_volume"] == weekly["buy_volume"] - weekly["sell_volume"]).all()


# -- what the service received -----------------------------------------------

def test_requests_in_order(road):
    assert [(name, r.method, r.path) for name, reqs in road.requests.items() for r in reqs] == (
        [("validate", "POST", VALIDATE)]
        + [("daily", "GET", EOD)] * len(SYMBOLS)
        + [("intraday", "GET", INTRADAY), ("orderbook", "GET", ORDERBOOK), ("types", "GET", COMPANY_TYPES),
           ("statements", "POST", STATEMENTS)]
        + [("investor", "POST", STOCK_FLOW)] * 2
    )


def test_query_parameters(road):
    daily = [(r.query, list(r.query)) for r in road.requests["daily"]]
    assert sorted(q["symbol"][0] for q, _ in daily) == sorted(SYMBOLS)
    for query, order in daily:
        assert query == {"symbol": query["symbol"], "interval": ["1D"], "start": [YEAR[0]], "end": [YEAR[1]]}
        assert order == ["symbol", "interval", "start", "end"]
    (intraday,) = road.requests["intraday"]
    # The service is always asked for minutes; the five-minute buckets are made here.
    assert intraday.params == {"symbol": "FPT", "interval": "1m", "start": INTRADAY_DAYS[0], "end": INTRADAY_DAYS[1]}
    (book,) = road.requests["orderbook"]
    assert book.params == {"symbol": "VNM", "target_date": BOOK_DAY}
    (types,) = road.requests["types"]
    assert types.query == {"symbol": ["VCB", "FPT"]}
    assert all(r.query == {} for r in road.requests["validate"] + road.requests["statements"]
               + road.requests["investor"])


def test_bodies(road):
    (validate,) = road.requests["validate"]
    assert validate.json == {"apiKey": API_KEY, "clientVersion": CLIENT_VERSION, "includeMessages": True,
                             "context": {"app": "demo"}}
    assert list(validate.json) == ["apiKey", "clientVersion", "includeMessages", "context"]
    (statements,) = road.requests["statements"]
    assert statements.json == {"symbol": ["FPT"], "statement_id": 2, "start_year": 2023, "end_year": 2024,
                               "period": "year"}
    assert list(statements.json) == ["symbol", "statement_id", "start_year", "end_year", "period"]
    # A batch of ids goes one id per request.
    assert [r.json for r in road.requests["investor"]] == [
        {"ids": [ident], "group": "foreign", "start": FLOW_RANGE[0], "end": FLOW_RANGE[1], "interval": "1W"}
        for ident in ("VNM", "FPT")
    ]
    gets = [r for r in all_requests(road) if r.method == "GET"]
    assert gets and all(r.body == "" for r in gets)


def test_every_request_carries_the_key_and_the_client(road):
    reqs = all_requests(road)
    assert len(reqs) == 15
    for r in reqs:
        headers = {name.lower(): value for name, value in r.headers.items()}
        assert headers["authorization"] == "Bearer " + API_KEY
        assert headers["user-agent"] == "varnix/" + CLIENT_VERSION
        assert headers["accept"] == "application/json"
        assert headers["content-type"] == "application/json"


def test_symbols_as_typed_are_asked_for_once(sim, client):
    df = client.daily([" vnm", "VNM", "fpt ", "Fpt"], "2025-06-02", "2025-06-06")
    assert sorted(r.params["symbol"] for r in sim.requests) == ["FPT", "VNM"]
    assert df.groupby("symbol").size().to_dict() == {"FPT": 5, "VNM": 5}
    served = raw_data(sim, EOD, symbol="VNM", start="2025-06-02", end="2025-06-06")
    assert df[df["symbol"] == "VNM"]["volume"].tolist() == [bar["volume"] for bar in served]
