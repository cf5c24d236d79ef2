"""Answer shapes to rows, rows to a table."""

from __future__ import annotations

import types
from collections import UserDict

import numpy as np
import pandas as pd
import pytest

from tests.support import FakeSession, daily_rows
from private_core.investor import flow_engine
from private_core.investor.flow_engine import _strict_str
from varnix.exceptions import DataDecodingError


@pytest.mark.parametrize(
    "value, expected",
    [(None, ""), (float("nan"), ""), (np.float64("nan"), ""), ("   ", ""), (pd.NaT, "NaT"), (7, "7"),
     (" VNM ", "VNM"), (1.5, "1.5")],
)
def test_strict_str(value, expected):
    assert _strict_str(value) == expected


@pytest.mark.parametrize(
    "payload, namespace, expected",
    [
        (None, "stock", []),
        ([{"a": 1}, UserDict(b=2)], "stock", [{"a": 1}, {"b": 2}]),
        ({"data": {"results": [{"a": 1}]}}, "stock", [{"a": 1}]),
        ({"data": None, "items": [{"a": 1}]}, "stock", []),
        ({"records": [{"a": 1}], "total": 1}, "stock", [{"a": 1}]),
        ({}, "stock", []),
        ({"VNM": [{"date": "2024-01-02"}], "FPT": []}, "stock", [{"date": "2024-01-02", "symbol": "VNM"}]),
        ({"VNM": [{"d": 1}], "FPT": [{"d": 2}]}, "market", [{"d": 1, "symbol": "VNM"}, {"d": 2, "symbol": "FPT"}]),
        ({"8300": [{"d": 1}]}, "sector", [{"d": 1, "icb": "8300"}]),
        ({"VNM": [{"symbol": None}, {"symbol": ""}]}, "stock", [{"symbol": None}, {"symbol": ""}]),
        ({"X": [{"d": 1}]}, "bond", [{"d": 1, "id": "X"}]),
    ],
)
def test_normalise_shapes(engine, payload, namespace, expected):
    assert engine._normalise_records(payload, namespace) == expected


@pytest.mark.parametrize(
    "payload, message",
    [
        ({"symbol": "VNM", "value": 1}, "Unexpected payload format for investor endpoint."),
        ("rows", "Unexpected payload format for investor endpoint."),
        (3, "Unexpected payload format for investor endpoint."),
        ([1, 2], "Investor payload entries must be JSON objects."),
        ({"data": [{"a": 1}, "x"]}, "Investor payload entries must be JSON objects."),
        ({"VNM": [{"a": 1}, None]}, "Investor payload entries must be JSON objects."),
    ],
)
def test_bad_shapes(engine, payload, message):
    with pytest.raises(DataDecodingError) as err:
        engine._normalise_records(payload, "stock")
    assert str(err.value) == message


def test_rows_are_copies_made_by_the_engines_own_row_method(engine, monkeypatch):
    payload = {"data": [{"a": 1}, {"a": 2}]}
    rows = engine._normalise_records(payload, "stock")
    assert rows == payload["data"] and rows[0] is not payload["data"][0]

    class Tagged(flow_engine.InvestorFlowEngine):
        def _ensure_mapping(self, entry, namespace, identifier=None):
            return {**super()._ensure_mapping(entry, namespace, identifier), "by": namespace}

    assert Tagged(None)._normalise_records(payload, "stock") == [{"a": 1, "by": "stock"}, {"a": 2, "by": "stock"}]
    monkeypatch.setattr(engine, "_ensure_mapping", lambda entry, namespace: {"instance": True}, raising=False)
    assert engine._normalise_records(payload, "stock") == [{"instance": True}] * 2
    monkeypatch.undo()
    monkeypatch.setattr(flow_engine, "Mapping", type("NotEvenDicts", (), {}))
    with pytest.raises(DataDecodingError):
        engine._normalise_records(payload, "stock")


def test_endless_envelopes_end_in_recursion_error(engine):
    payload = None
    for _ in range(50_000):
        payload = {"data": payload}
    with pytest.raises(RecursionError):
        engine._normalise_records(payload, "stock")
    assert engine._normalise_records({"data": {"data": [{"a": 1}]}}, "stock") == [{"a": 1}]


def test_empty_rows_give_an_empty_table(engine):
    frame = engine._to_dataframe([], "stock")
    assert frame.empty and list(frame.columns) == []


def test_date_columns_are_parsed_and_rows_sorted(engine):
    rows = [
        {"symbol": "VNM", "date": "2024-01-03", "Date": "2024-01-01", "trade_date": "2024-01-09", "timestamp": 1704153600},
        {"symbol": "FPT", "date": "2024-01-04", "Date": "2024-01-01", "trade_date": None, "timestamp": 1704240000},
        {"symbol": "VNM", "date": "2024-01-02", "Date": "bad", "trade_date": "x", "timestamp": None},
    ]
    frame = engine._to_dataframe(rows, "stock")
    assert list(frame.columns) == ["symbol", "date", "Date", "trade_date", "timestamp"]
    assert frame["symbol"].tolist() == ["FPT", "VNM", "VNM"]
    assert frame["date"].tolist() == [pd.Timestamp(d) for d in ("2024-01-04", "2024-01-02", "2024-01-03")]
    assert frame["Date"].isna().tolist() == [False, True, False]
    assert frame["trade_date"].isna().tolist() == [True, True, False]
    assert frame["timestamp"].tolist()[1:] == [pd.NaT, pd.Timestamp("2024-01-02 00:00:00")]
    assert frame.index.tolist() == [0, 1, 2]


@pytest.mark.parametrize(
    "rows, namespace, order",
    [
        ([{"timestamp": "2024-01-05", "v": 1}, {"timestamp": "2024-01-01", "v": 2}], "stock", [1, 2]),
        ([{"Date": "2024-01-05", "v": 1}, {"Date": "2024-01-01", "v": 2}], "stock", [2, 1]),
        ([{"icb": "B", "v": 1}, {"icb": "A", "v": 2}], "sector", [2, 1]),
        ([{"icb": "B", "v": 1}, {"icb": "A", "v": 2}], "stock", [1, 2]),
        ([{"symbol": "B", "v": 1}, {"symbol": "A", "v": 2}], "bond", [1, 2]),
    ],
)
def test_sort_keys(engine, rows, namespace, order):
    assert engine._to_dataframe(rows, namespace)["v"].tolist() == order


# ---------------------------------------------------------------------------
# Whatever the rows, the table is the records' table: dates parsed, sorted.

class Text(str):
    pass


def records_table(rows, id_field):
    """The table as pandas builds it from the records, dates parsed, sorted."""
    frame = pd.DataFrame.from_records(rows)
    for column in ("date", "Date", "trade_date", "timestamp"):
        if column in frame.columns:
            numeric = column == "timestamp" and pd.api.types.is_numeric_dtype(frame[column])
            frame[column] = pd.to_datetime(frame[column], unit="s" if numeric else None, errors="coerce")
    keys = [k for k in (id_field,) if k and k in frame.columns]
    keys += next(([k] for k in ("date", "Date") if k in frame.columns), [])
    return frame.sort_values(keys).reset_index(drop=True) if keys else frame


UNIFORM = [{"symbol": s, "date": f"2024-01-{d:02d}", "buy": d * 1.5 + k, "volume": d * 10**12 + k, "group": "foreign"}
           for k, s in enumerate(["VNM", "FPT", " HPG", "Ánh", "vcb"]) for d in (5, 3, 4, 4)]
IN_ORDER = sorted(UNIFORM, key=lambda r: (r["symbol"], r["date"]))  # ties keep their order


def but(rows, at, **change):
    return [{**row, **change} if i == at else row for i, row in enumerate(rows)]


@pytest.mark.parametrize(
    "rows, namespace",
    [
        (UNIFORM, "stock"),
        (IN_ORDER, "stock"),
        (but(IN_ORDER, 5, date="2024-01-01"), "stock"),
        (but(IN_ORDER, 4, date="not a date"), "stock"),  # NaT goes last among its symbol's rows
        ([{**row, "date": row["date"] + "T09:00:00+07:00"} for row in IN_ORDER], "stock"),
        ([{"icb": i, "Date": d, "v": 1.0} for i in (8300, 8310) for d in ("2024-01-02", "2024-01-03")], "sector"),
        ([{"icb": i, "Date": "2024-01-02", "v": 1.0} for i in (8310, 8300)], "sector"),
        ([{"icb": i, "v": float(i)} for i in (0.5, 0.25)], "sector"),
        ([{"date": d, "v": 1} for d in ("2024-01-02", "2024-01-03", "2024-01-03", "2024-01-01")], "bond"),
        # Plain dates are read without pandas; anything else is left to it.
        ([{"trade_date": d, "timestamp": d, "v": 1} for d in ("2024-02-29", "1678-01-01", "2261-12-31")], "bond"),
        ([{"date": d, "v": 1} for d in ("2024-01-02", "2023-02-29")], "bond"),
        ([{"date": d, "v": 1} for d in ("2024-01-02", "1600-01-01")], "bond"),
        ([{"date": d, "v": 1} for d in ("2024-01-02", "2024-1-03", "2024/01/04")], "bond"),
        ([{"icb": "8300", "Date": "2024-01-05", "timestamp": 1704153600, "v": 1.0},
          {"icb": "8200", "Date": "bad", "timestamp": 1704240000, "v": 2.0}], "sector"),
        ([{"v": float("nan"), "t": ""}, {"v": float("-inf"), "t": "x"}, {"v": -0.0, "t": " "}], "stock"),
        ([{"n": -2**63}, {"n": 2**63 - 1}], "stock"),
        ([{"n": 2**63}, {"n": 1}], "stock"),
        ([{"b": True}, {"b": False}], "stock"),
        ([{"n": 1}, {"n": True}], "stock"),
        ([{"v": 1.5}, {"v": 2}], "stock"),
        ([{"s": "a", "v": 1.0}, {"s": None, "v": None}], "stock"),
        ([{"s": "a"}, {"s": float("nan")}], "stock"),
        ([{"v": np.float64(1.0)}, {"v": np.float64(2.0)}], "stock"),
        ([{"s": Text("a")}, {"s": Text("b")}], "stock"),
        ([{"symbol": "B", "date": "2024-01-02", "v": 1}, {"symbol": "A", "v": 2}], "stock"),
        ([{"symbol": "B", "v": 1}, {"symbol": "A", "v": 2, "date": "2024-01-02"}], "stock"),
        ([{"symbol": "B", "v": 1}, {"v": 2, "symbol": "A"}], "stock"),
        ([{1: "a"}, {1: "b"}], "stock"),
        ([{}, {}], "stock"),
        ([{"a": 1}, UserDict(a=2)], "stock"),
    ],
)
def test_table_is_the_records_table(engine, rows, namespace):
    expected = records_table(rows, engine._ID_FIELD.get(namespace))
    frame = engine._to_dataframe(rows, namespace)
    pd.testing.assert_frame_equal(frame, expected, check_exact=True)
    assert frame.columns.dtype == expected.columns.dtype and type(frame.index) is pd.RangeIndex


def test_replaced_pandas_and_overrides_are_used(monkeypatch):
    """Each shortcut gives way: the module's `pd` rebound, or a subclass's own
    table methods, are what fetch_df goes through."""
    seen = []
    proxy = types.ModuleType("pandas_proxy")
    proxy.__dict__.update(vars(pd))
    proxy.DataFrame = types.SimpleNamespace(from_records=lambda rows: seen.append("records") or pd.DataFrame.from_records(rows))
    proxy.concat = lambda frames, **kw: seen.append("concat") or pd.concat(frames, **kw)
    rows = daily_rows("VNM", "2024-01-01", "2024-01-10") + daily_rows("FPT", "2024-01-03", "2024-01-09")
    engine = flow_engine.InvestorFlowEngine(FakeSession(lambda method, path, sent: rows))
    params = {"ids": ["VNM"], "interval": "1W"}
    expected = engine.fetch_df("stock", "flow", params)
    monkeypatch.setattr(flow_engine, "pd", proxy)
    pd.testing.assert_frame_equal(engine.fetch_df("stock", "flow", params), expected, check_exact=True)
    assert seen == ["records", "concat"]
    monkeypatch.undo()

    class Engine(flow_engine.InvestorFlowEngine):
        def _to_dataframe(self, rows, namespace):
            seen.append(("table", len(rows), namespace))
            return super()._to_dataframe(rows, namespace)

        def _resample_frame(self, frame, namespace, interval):
            seen.append(("resample", len(frame), interval))
            return "weekly"

    seen.clear()
    assert Engine(engine.session).fetch_df("stock", "flow", params) == "weekly"
    assert seen == [("table", len(rows), "stock"), ("resample", len(rows), "1W")]


def test_envelopes_go_through_an_overriding_normaliser():
    # Unwrapped in a loop while the method is the engine's own; an override
    # (or an attribute on the instance) takes each inner payload.
    from private_core.investor.flow_engine import InvestorFlowEngine
    seen = []

    class Logged(InvestorFlowEngine):
        def _normalise_records(self, payload, namespace):
            seen.append(type(payload).__name__)
            return super()._normalise_records(payload, namespace)

    assert Logged(None)._normalise_records({"data": {"items": [{"a": 1}]}}, "stock") == [{"a": 1}]
    assert seen == ["dict", "dict", "list"]
    engine = InvestorFlowEngine(None)
    engine._normalise_records = lambda payload, namespace: ["shadow"]
    assert InvestorFlowEngine._normalise_records(engine, {"data": []}, "stock") == ["shadow"]
