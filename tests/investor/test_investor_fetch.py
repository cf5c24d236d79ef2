"""fetch_df from the arguments to the table."""

from __future__ import annotations

import json

import pandas as pd
import pytest
from werkzeug import Response

from private_core.investor.flow_engine import InvestorFlowEngine
from tests.support import API_ROOT, STOCK_FLOW, FakeSession, daily_rows
from varnix.exceptions import DataDecodingError, HttpError

DAYS = {"VNM": daily_rows("VNM", "2024-01-01", "2024-01-14"), "FPT": daily_rows("FPT", "2024-01-08", "2024-01-09")}


def test_batch_through_the_wire(httpserver, session, progress):
    def answer(request):
        (symbol,) = json.loads(request.data)["ids"]
        return Response(json.dumps({"data": DAYS[symbol]}), content_type="application/json")

    httpserver.expect_request(API_ROOT + STOCK_FLOW, method="POST").respond_with_handler(answer)
    engine = InvestorFlowEngine(session)
    out = engine.fetch_df("STOCK", "Flow", {"ids": ["VNM", " ", " FPT "], "group": None, "interval": " 1w ",
                                            "start": "2024-01-01", "end": "2024-01-14"})
    bodies = [json.loads(req.data) for req, _ in httpserver.log]
    assert bodies == [{"ids": [s], "interval": "1W", "start": "2024-01-01", "end": "2024-01-14"} for s in ("VNM", "FPT")]
    assert progress == [("start", 2, "stock:flow"), ("update", 1), ("update", 2), ("finish",)]
    assert out[["symbol", "date", "buy", "sell"]].to_dict("records") == [
        {"symbol": "FPT", "date": pd.Timestamp("2024-01-14"), "buy": 2, "sell": 4},
        {"symbol": "VNM", "date": pd.Timestamp("2024-01-07"), "buy": 7, "sell": 14},
        {"symbol": "VNM", "date": pd.Timestamp("2024-01-14"), "buy": 7, "sell": 14},
    ]


def fake_engine(answer=lambda method, path, sent: []):
    return InvestorFlowEngine(FakeSession(answer))


@pytest.mark.parametrize(
    "namespace, op, message",
    [
        ("bond", "flow", "Unsupported investor namespace: 'bond'"),
        ("Bond", 3, "Unsupported investor namespace: 'bond'"),
        ("market", "FOREIGN_ROOM",
         "Operation 'foreign_room' is not available for namespace 'market'. Allowed operations: ['breakdown', 'flow']."),
        ("stock", "x", "Operation 'x' is not available for namespace 'stock'. "
                       "Allowed operations: ['breakdown', 'flow', 'foreign_room']."),
    ],
)
def test_unknown_pairs_are_refused_before_any_request(namespace, op, message):
    engine = fake_engine()
    with pytest.raises(ValueError) as err:
        engine.fetch_df(namespace, op, {"ids": ["VNM"]})
    assert str(err.value) == message and engine.session.calls == []


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda e: e.fetch_df("bond", "flow", None), TypeError,
         "Argument 'params' has incorrect type (expected dict, got NoneType)"),
        (lambda e: e.fetch_df("stock", "flow"), TypeError, "fetch_df() takes exactly 4 positional arguments (3 given)"),
        (lambda e: e.fetch_df("stock", "flow", {}, nope=1), TypeError,
         "fetch_df() got an unexpected keyword argument 'nope'"),
        (lambda e: e.fetch_df(None, "flow", {}), AttributeError, None),
        (lambda e: e._request("/x", []), TypeError, "Argument 'payload' has incorrect type (expected dict, got list)"),
        (lambda e: e._to_dataframe(None, "stock"), TypeError,
         "Argument 'rows' has incorrect type (expected list, got NoneType)"),
        (lambda e: e._resample_frame(pd.DataFrame(), "stock", None), TypeError,
         "Argument 'interval' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_bad_arguments(call, error, message):
    engine = fake_engine()
    with pytest.raises(error) as err:
        call(engine)
    assert message is None or str(err.value) == message
    assert engine.session.calls == []


@pytest.mark.parametrize(
    "params, sent",
    [({"ids": " VNM "}, [{"ids": ["VNM"]}]), ({"ids": []}, [{"ids": []}]), ({"ids": ["FPT"]}, [{"ids": ["FPT"]}]),
     ({"group": "foreign"}, [{"group": "foreign"}])],
)
def test_single_request_without_progress(params, sent, progress):
    engine = fake_engine()
    out = engine.fetch_df("sector", "flow", params)
    assert [c[2] for c in engine.session.calls] == sent
    assert engine.session.calls[0][1] == "/market-data/investor/sector/flow"
    assert progress == [] and out.empty and list(out.columns) == []


@pytest.mark.parametrize(
    "bad_answer, error", [(HttpError("down", status_code=500), HttpError), ({"symbol": "X"}, DataDecodingError)]
)
def test_failure_inside_a_batch_finishes_the_bar(progress, bad_answer, error):
    engine = fake_engine(lambda method, path, sent: bad_answer if sent["ids"] == ["B"] else [{"v": 1}])
    with pytest.raises(error):
        engine.fetch_df("stock", "breakdown", {"ids": ["A", "B", "C"]})
    assert progress == [("start", 3, "stock:breakdown"), ("update", 1), ("finish",)]
    assert [c[2]["ids"] for c in engine.session.calls] == [["A"], ["B"]]


@pytest.mark.parametrize("interval, rows_out", [(None, 14), ("1d", 14), ("1D", 14), (" 1w ", 2)])
def test_interval_decides_resampling(interval, rows_out):
    engine = fake_engine(lambda method, path, sent: {"VNM": DAYS["VNM"]})
    params = {"ids": ["VNM"]} if interval is None else {"ids": ["VNM"], "interval": interval}
    assert len(engine.fetch_df("stock", "flow", params)) == rows_out


def test_monthly_fetch_sends_the_service_code_and_buckets_by_month():
    rows = daily_rows("VNM", "2024-01-20", "2024-02-10")
    engine = fake_engine(lambda method, path, sent: rows)
    out = engine.fetch_df("stock", "flow", {"ids": "VNM", "interval": "1m"})
    assert engine.session.calls[0][2] == {"ids": ["VNM"], "interval": "1M"}
    assert out[["date", "buy"]].to_dict("records") == [
        {"date": pd.Timestamp("2024-01-31"), "buy": 12}, {"date": pd.Timestamp("2024-02-29"), "buy": 10}]


def test_methods_are_called_through_self(progress):
    seen = []

    class Traced(InvestorFlowEngine):
        _NAMESPACE_OPS = {"fund": {"flow"}}

        def _request(self, endpoint, payload):
            seen.append(endpoint)
            return [{"d": 1}]

        def _resample_frame(self, frame, namespace, interval):
            seen.append(interval)
            return "resampled"

    assert Traced(None).fetch_df("fund", "flow", {"interval": "1w"}) == "resampled"
    assert seen == ["/market-data/investor/fund/flow", "1W"]


def test_entries_a_replaced_request_keeps_are_copied_at_once():
    """A request method of the caller's may keep what it answered and change
    it later: the rows are then copied as each answer is taken apart."""
    handed: list = []

    def request(endpoint, payload):
        for row in handed:
            row["buy"] = 999
        rows = daily_rows(payload["ids"][0], "2024-01-01", "2024-01-02")
        handed.extend(rows)
        return {"data": rows}

    engine = fake_engine()
    engine._request = request
    out = engine.fetch_df("stock", "flow", {"ids": ["VNM", "FPT"], "interval": "1D"})
    assert sorted(out["buy"]) == [1] * 4
