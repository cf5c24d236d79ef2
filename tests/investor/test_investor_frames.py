"""Answer shapes to rows, rows to a table."""

from __future__ import annotations

from collections import UserDict

import numpy as np
import pandas as pd
import pytest

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
