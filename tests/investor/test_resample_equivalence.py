"""The one-pass re-bucketing gives the loop's table bit for bit, or declines;
and the Python loop is the engine's own algorithm."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from resample_reference import resample_one_pass, resample_reference

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
    for column in left.columns:
        if left[column].dtype == np.float64:  # the same bits, signed zeros and NaN included
            assert (left[column].to_numpy().view("i8") == right[column].to_numpy().view("i8")).all(), column


TABLES = {
    "stock": dict(),
    "shuffled": dict(shuffle=True),
    "as fetched": dict(fetched=True, blanks=False, unit="ns"),
    "Date": dict(date_col="Date", unit="s"),
    "no NaN": dict(nan_share=0.0, blanks=False),
    "all NaN-bearing": dict(nan_share=1.0),
    "icb codes": dict(id_col="icb"),
    "float codes": dict(id_col="code"),
    "ticker": dict(id_col="ticker", shuffle=True),
    "single group": dict(id_col=None, shuffle=True),
    "one identifier": dict(n_ids=1),
    "carried dates and flags": dict(carried=True, shuffle=True),
    "every day, at any hour": dict(every_day=True),
    "signed zeros, infinities": dict(specials=True, nan_share=0.5),
}


ID_FIELD = {"icb codes": "icb"}


@pytest.mark.parametrize("interval", ["1W", "1M"])
@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("name", list(TABLES))
def test_one_pass_matches_the_loop(name, seed, interval):
    frame = daily_table(seed, **TABLES[name])
    before = frame.copy()
    id_field = ID_FIELD.get(name, "symbol")
    expected = resample_reference(frame, id_field, interval)
    assert expected is not frame
    assert_same(resample_one_pass(frame, id_field, interval), expected)
    assert_same(frame, before)


@pytest.mark.parametrize("interval", ["W-WED", "QE", "YE-JUN", "M"])
def test_other_one_anchor_rules(interval):
    frame = daily_table(3, days=400, shuffle=True)
    assert_same(resample_one_pass(frame, "symbol", interval), resample_reference(frame, "symbol", interval))


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
    [("2W", None), ("3M", None), ("1D", None), ("5min", None), ("W-XYZ", None), ("bogus", None),
     ("1W", _missing_first_date), ("1W", _missing_first_name), ("1W", _float32), ("1W", _category),
     ("1M", _tz_aware), ("1M", _timedelta), ("1M", _duplicate_label)],
)
def test_declines_what_it_cannot_match(interval, change):
    frame = daily_table(4, blanks=False)
    if change:
        change(frame)
    assert resample_one_pass(frame, "symbol", interval) is None


@pytest.mark.parametrize(
    "frame",
    [pd.DataFrame(), pd.DataFrame({"trade_date": ["2024-01-02"], "buy": [1]}),
     pd.DataFrame({"symbol": [None, " "], "date": ["2024-01-02", "2024-01-03"], "buy": [1, 2]}),
     pd.DataFrame({"symbol": ["VNM"], "date": ["2024-01-02"], "note": ["x"]})],
)
def test_nothing_to_resample_gives_the_frame_back(frame):
    assert resample_one_pass(frame, "symbol", "1W") is frame
    assert resample_reference(frame, "symbol", "1W") is frame


@pytest.mark.parametrize(
    "namespace, table, interval",
    [("stock", "stock", "1W"), ("stock", "shuffled", "1M"), ("sector", "icb codes", "1M"),
     ("market", "single group", "1W"), ("stock", "carried dates and flags", "2W"),
     ("stock", "signed zeros, infinities", "1M"), ("stock", "float codes", "1W")],
)
def test_reference_is_the_engine(engine, namespace, table, interval):
    frame = daily_table(5, **TABLES[table])
    expected = engine._resample_frame(frame, namespace, interval)
    assert_same(resample_reference(frame, engine._ID_FIELD.get(namespace), interval), expected)
