"""The engine's re-bucketing gives the per-identifier loop's table bit for bit,
with the loop's warnings, or fails as the loop fails: tables as data, run
with fast paths on and off."""

from __future__ import annotations

import re
import warnings

import numpy as np
import pandas as pd
import pytest

import tests.investor.resample_reference as reference
from private_core.investor import flow_engine
from tests.investor.resample_reference import resample_reference

SYMBOLS = ["VNM", "FPT", "HPG", "ACB", "Ánh", "vcb", "SSI", "B2", "B10", "MWG", "GAS", "VIC"]


def daily_table(seed: int, *, id_col: str | None = "symbol", date_col: str = "date", n_ids: int = 10,
                days: int = 130, shuffle: bool = False, fetched: bool = False, blanks: bool = True,
                nan_share: float = 0.4,
                every_day: bool = False, carried: bool = False, specials: bool = False,
                unit: str | None = None) -> pd.DataFrame:
    """Trading days with holes (single days and whole weeks), repeated dates,
    values of mixed magnitudes (so the order of summation shows in the last
    bits), NaN for some identifiers, identifiers padded, missing or blank,
    dates missing or not dates.
    `fetched`: clean identifiers, sorted by identifier and date as the engine
    builds its tables; `every_day`: calendar days at random hours; `carried`:
    a date and a flag column to carry over; `specials`: negative zeros and
    infinities; `unit`: dates already parsed, to that resolution."""
    rng = np.random.default_rng(seed)
    calendar = (pd.date_range if every_day else pd.bdate_range)("2023-12-18", periods=days)
    rows = []
    for k in range(n_ids if id_col else 1):
        ident = SYMBOLS[k] if id_col not in ("icb", "code") else 8300 + 10 * k
        keep = rng.random(days) > 0.15
        if rng.random() < 0.5:
            start = rng.integers(5, days - 40)
            keep[start:start + rng.integers(6, 35)] = False
        picked = np.flatnonzero(keep)
        picked = np.sort(np.r_[picked, rng.choice(picked, 3)])  # a few dates twice
        with_nan = rng.random() < nan_share if not (specials and k < 2) else k == 0
        for n, i in enumerate(picked):
            when = calendar[i] + pd.Timedelta(hours=int(rng.integers(0, 24))) if every_day else calendar[i]
            row = {date_col: str(when),
                   "buy": float(rng.normal() * 10.0 ** rng.integers(0, 9)),
                   "sell": float(rng.normal() * 10.0 ** rng.integers(0, 4)),
                   "volume": int(rng.integers(0, 10**6)),
                   "group": "foreign", "name": f"{ident} / {n % 3}"}
            if with_nan and rng.random() < 0.05:
                row[("buy", "sell")[n % 2]] = None
            if specials and k < 2 and n < 15:
                row["sell"] = -0.0
            if specials and n == 20:
                row["buy"] = (np.inf, -np.inf)[k % 2]
            if id_col:
                row[id_col] = f" {ident} " if id_col == "symbol" and n % 7 == 3 and not fetched else ident
            if carried:
                row.update(Date=str(calendar[i] + pd.Timedelta(minutes=n)), active=n % 2 == 1)
            rows.append(row)
    if id_col and blanks:
        rows += [{**rows[i], id_col: bad} for i, bad in ((0, None), (5, "  "), (9, ""))]
        rows += [{**rows[i], date_col: bad} for i, bad in ((2, None), (4, "not a date"))]
    frame = pd.DataFrame.from_records(rows)
    if id_col == "code":  # float codes, between two float columns
        frame.insert(2, "code", pd.to_numeric(frame.pop("code"), errors="coerce"))
    if unit:
        frame[date_col] = pd.to_datetime(frame[date_col], errors="coerce").dt.as_unit(unit)
    if shuffle:
        frame = frame.sample(frac=1.0, random_state=seed)
    if fetched:
        frame = frame.sort_values([id_col, date_col]).reset_index(drop=True)
    return frame


def assert_same(left: pd.DataFrame, right: pd.DataFrame) -> None:
    pd.testing.assert_frame_equal(left, right, check_exact=True)
    for i, column in enumerate(left.columns):
        if left.dtypes.iloc[i] == np.float64:  # the same bits, signed zeros and NaN included
            bits = [f.iloc[:, i].to_numpy().view("i8") for f in (left, right)]
            assert (bits[0] == bits[1]).all(), column


TABLES = {
    "stock": dict(),
    "shuffled": dict(shuffle=True),
    "as fetched": dict(fetched=True, blanks=False, unit="ns"),
    "Date": dict(date_col="Date", unit="s"),
    "no NaN": dict(nan_share=0.0, blanks=False),
    "all NaN-bearing": dict(nan_share=1.0),
    "icb codes": dict(id_col="icb"),
    "whole icb codes": dict(id_col="icb", blanks=False, shuffle=True),
    "float codes": dict(id_col="code"),
    "ticker": dict(id_col="ticker", shuffle=True),
    "single group": dict(id_col=None, shuffle=True),
    "one identifier": dict(n_ids=1),
    "carried dates and flags": dict(carried=True, shuffle=True),
    "every day, at any hour": dict(every_day=True),
    "signed zeros, infinities": dict(specials=True, nan_share=0.5),
}


def recorded(call):
    """The call's result and its warnings, every one of them."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = call()
    return out, [(w.category, str(w.message)) for w in caught]


def check_engine(engine, frame, interval, namespace="stock"):
    """The engine's table and warnings are the loop's, or it fails as the loop fails."""
    before = frame.copy()
    try:
        expected, expected_warnings = recorded(
            lambda: resample_reference(frame, engine._ID_FIELD.get(namespace), interval))
    except Exception as exc:
        with pytest.raises(type(exc), match=re.escape(str(exc))):
            engine._resample_frame(frame, namespace, interval)
    else:
        got, got_warnings = recorded(lambda: engine._resample_frame(frame, namespace, interval))
        assert_same(got, expected)
        assert got_warnings == expected_warnings
    assert_same(frame, before)


@pytest.mark.parametrize("interval, seed", [("1W", 1), ("1M", 2), ("1W", 3), ("1M", 4), ("2W", 5), ("3M", 6)])
@pytest.mark.parametrize("name", list(TABLES))
def test_engine_gives_the_loops_table(engine, name, seed, interval):
    namespace = "sector" if TABLES[name].get("id_col") == "icb" else "stock"
    check_engine(engine, daily_table(seed, **TABLES[name]), interval, namespace=namespace)


# Old spellings ("w") warn once per group in the loop.
@pytest.mark.parametrize("interval", ["W-WED", "QE", "YE-JUN", "M", "w", "w-wed", "1ME"])
def test_other_rules(engine, interval):
    check_engine(engine, daily_table(3, days=400, shuffle=True), interval)


def _as(dtype, change=None):
    def apply(f):
        f["symbol"] = f["symbol"].astype(dtype) if change is None else f["symbol"].astype(dtype).map(change)
    return apply


@pytest.mark.parametrize(
    "change",
    [_as("string"),  # missing values are <NA>, which _strict_str keeps as text
     _as("category"),
     _as(object, lambda v: np.str_(v) if isinstance(v, str) else v),
     _as(object, lambda v: {"VNM": 8300, " VNM ": "8300", "FPT": True}.get(v, v)),
     _as(object, lambda v: pd.NaT if v is None else v)],
)
def test_identifier_columns_of_every_kind(engine, change):
    frame = daily_table(7, n_ids=4, days=60)
    change(frame)
    check_engine(engine, frame, "1W")


def _missing_first_date(f):
    f["Date"] = pd.to_datetime(f["date"]).where(f.index != f.index[0])


def _missing_first_name(f):
    f.loc[f.index[0], "name"] = None


def _float32(f):
    f["sell"] = f["sell"].astype(np.float32)


def _category(f):
    f["group"] = f["group"].astype("category")


def _tz_aware(f):
    f["date"] = pd.to_datetime(f["date"]).dt.tz_localize("Asia/Ho_Chi_Minh")


def _duplicate_label(f):
    f.columns = [*f.columns[:-1], "group"]


def _timedelta(f):
    f["lag"] = pd.to_timedelta(f["volume"], unit="s")


@pytest.mark.parametrize(
    "interval, change",
    [("1D", None), ("5min", None), ("1W", _missing_first_date), ("1W", _missing_first_name), ("1W", _float32),
     ("1W", _category), ("1M", _tz_aware), ("1M", _timedelta), ("1M", _duplicate_label)],
)
def test_tables_of_other_kinds(engine, interval, change):
    frame = daily_table(4, blanks=False)
    if change:
        change(frame)
    check_engine(engine, frame, interval)


@pytest.mark.parametrize(
    "frame, interval",
    [(daily_table(4, n_ids=2, days=20), "W-XYZ"), (daily_table(4, n_ids=2, days=20), "bogus"),
     # the last month's end is past the last day nanoseconds can count
     (pd.DataFrame({"symbol": ["VNM", "VNM"], "date": pd.to_datetime(["2262-04-05", "2262-04-10"]).as_unit("ns"),
                    "buy": [1.0, 2.0]}), "1M")],
)
def test_the_loops_errors(engine, frame, interval):
    check_engine(engine, frame, interval)


def test_a_replaced_strict_str_is_used(engine, monkeypatch):
    frame = daily_table(6, n_ids=4, days=60, shuffle=True)
    engine._resample_frame(frame, "stock", "1W")

    def lowered(value):
        return "" if value is None or value != value else str(value).strip().lower()

    monkeypatch.setattr(flow_engine, "_strict_str", lowered)
    monkeypatch.setattr(reference, "_strict_str", lowered)
    got = engine._resample_frame(frame, "stock", "1W")
    assert got["symbol"].str.islower().all()
    assert_same(got, resample_reference(frame, "symbol", "1W"))
