"""Weekly and monthly re-bucketing of the daily tables."""

from __future__ import annotations

import math

import pandas as pd
import pytest

from tests.support import daily_rows


def ts(day: str) -> pd.Timestamp:
    return pd.Timestamp(day)


def table(engine, rows, namespace="stock"):
    return engine._to_dataframe(rows, namespace)


def test_weekly_sums_per_identifier_with_empty_weeks_as_nan(engine):
    rows = (daily_rows("VNM", "2024-01-01", "2024-01-14", name="Vinamilk")
            + daily_rows("FPT", "2024-01-01", "2024-01-07", name="FPT Corp")
            + daily_rows("FPT", "2024-01-15", "2024-01-16", name="later"))
    out = engine._resample_frame(table(engine, rows), "stock", "1W")
    assert list(out.columns) == ["date", "buy", "sell", "symbol", "name"]
    assert out["symbol"].tolist() == ["FPT", "FPT", "FPT", "VNM", "VNM"]
    assert out["date"].tolist() == [ts("2024-01-07"), ts("2024-01-14"), ts("2024-01-21"),
                                    ts("2024-01-07"), ts("2024-01-14")]
    assert out["buy"].tolist()[:1] + out["buy"].tolist()[2:] == [7, 2, 7, 7]
    assert math.isnan(out["buy"][1]) and math.isnan(out["sell"][1])
    assert out["sell"].tolist()[3:] == [14, 14]
    # Descriptive columns come from each identifier's first daily row.
    assert out["name"].tolist() == ["FPT Corp"] * 3 + ["Vinamilk"] * 2
    assert out.index.tolist() == list(range(5))


def test_monthly_buckets_are_labelled_at_month_end(engine):
    rows = daily_rows("VNM", "2024-01-15", "2024-03-10") + daily_rows("FPT", "2024-01-30", "2024-01-31") \
        + daily_rows("FPT", "2024-03-01", "2024-03-01")
    frame = table(engine, rows)
    out = engine._resample_frame(frame, "stock", "1M")
    vnm = out[out["symbol"] == "VNM"]
    assert vnm["date"].tolist() == [ts("2024-01-31"), ts("2024-02-29"), ts("2024-03-31")]
    assert vnm["buy"].tolist() == [17, 29, 10] and vnm["sell"].tolist() == [34, 58, 20]
    fpt = out[out["symbol"] == "FPT"]
    assert fpt["date"].tolist() == [ts("2024-01-31"), ts("2024-02-29"), ts("2024-03-31")]
    assert fpt["buy"].isna().tolist() == [False, True, False]
    assert len(frame) == 59 and frame["date"].dt.day.nunique() > 3  # the daily table is untouched


@pytest.mark.parametrize(
    "rows",
    [
        [],
        [{"symbol": "VNM", "trade_date": "2024-01-02", "buy": 1}],
        [{"symbol": "VNM", "timestamp": 1704153600, "buy": 1}],
        [{"symbol": "VNM", "date": None, "buy": 1}],
        [{"symbol": "VNM", "date": "not a date", "buy": 1}],
        [{"symbol": "VNM", "date": "2024-01-02", "note": "x"}],
        [{"symbol": None, "date": "2024-01-02", "buy": 1}, {"symbol": "  ", "date": "2024-01-03", "buy": 2}],
    ],
)
def test_nothing_to_resample_hands_back_the_same_frame(engine, rows):
    frame = table(engine, rows)
    assert engine._resample_frame(frame, "stock", "1W") is frame


@pytest.mark.parametrize(
    "namespace, field, grouped_by",
    [("sector", "icb", "icb"), ("stock", "ticker", "ticker"), ("market", "code", "code"), ("bond", "icb", "icb")],
)
def test_identifier_candidates(engine, namespace, field, grouped_by):
    rows = daily_rows("B", "2024-01-01", "2024-01-07", field=field) + daily_rows("A", "2024-01-01", "2024-01-07", field=field)
    out = engine._resample_frame(table(engine, rows, namespace), namespace, "1W")
    assert out[grouped_by].tolist() == ["A", "B"] and out["buy"].tolist() == [7, 7]


def test_without_identifier_one_group_and_no_identifier_column(engine):
    rows = [{"date": "2024-01-01", "buy": 1, "kind": "x"}, {"date": "2024-01-02", "buy": 2, "kind": "y"}]
    out = engine._resample_frame(table(engine, rows), "stock", "1W")
    assert out.to_dict("records") == [{"date": ts("2024-01-07"), "buy": 3, "kind": "x"}]


def test_blank_identifiers_are_dropped_and_ids_cleaned(engine):
    rows = daily_rows("VNM", "2024-01-01", "2024-01-02") + [
        {"symbol": None, "date": "2024-01-01", "buy": 100, "sell": 0},
        {"symbol": " ", "date": "2024-01-01", "buy": 100, "sell": 0},
        {"symbol": " VNM ", "date": "2024-01-03", "buy": 1, "sell": 2},
    ]
    out = engine._resample_frame(table(engine, rows), "stock", "1W")
    assert out[["symbol", "buy", "sell"]].to_dict("records") == [{"symbol": "VNM", "buy": 3, "sell": 6}]

