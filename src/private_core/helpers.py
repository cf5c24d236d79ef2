"""Table helpers of the price fetchers.

``_to_dataframe`` turns the row records of one fetch (each starting with
"symbol", then the service's own keys) into a typed table; ``resample_ohlcv_multi``
re-buckets each symbol's bars to a coarser interval.

Tables have the columns ``symbol``, ``time`` (parsed timestamps), then
``open``, ``high``, ``low``, ``close`` (float64) and ``volume`` (int64 when every
value is whole, float64 otherwise) as far as the rows carry them, then any
other key of the rows in the order first seen.  Rows are sorted by symbol,
then time (stable, so rows sharing a timestamp keep the service's order),
with a fresh 0-based index.
"""

from __future__ import annotations

from typing import Any, Dict, List, Literal, Mapping, Sequence, cast

import numpy as np
import pandas as pd

Interval = Literal["1D", "1W", "1M"]
IntervalIntraday = Literal["1m", "5m", "15m", "30m", "1H", "1D"]

# Interval codes and how a timestamp maps to the start of its bucket: a fixed
# length to floor to, or a calendar unit.
_BUCKETS: Dict[str, str] = {
    "1m": "1min",
    "5m": "5min",
    "15m": "15min",
    "30m": "30min",
    "1H": "1h",
    "1D": "1D",
    "1W": "week",
    "1M": "month",
}

# The service's names for the time of a bar or tape entry, in order of
# preference; the first one present becomes the "time" column.
_TIME_KEYS = ("time", "timestamp", "datetime", "date", "trading_date", "tradingDate", "t")
_SHORT_KEYS = {"o": "open", "h": "high", "l": "low", "c": "close", "v": "volume"}
_PRICE_COLUMNS = ("open", "high", "low", "close", "price")
_LEADING = ("symbol", "time", "open", "high", "low", "close", "volume")

# Epoch numbers above this are milliseconds (1e11 seconds is the year 5138).
_MS_THRESHOLD = 1e11
# The first whole number an int64 cannot hold.
_INT64_LIMIT = 2.0 ** 63


def _parse_time(values: pd.Series) -> pd.Series:
    if pd.api.types.is_bool_dtype(values):
        raise ValueError("time values must be dates, date-times or epoch numbers, not booleans")
    if pd.api.types.is_numeric_dtype(values):
        peak = values.abs().max()
        unit: Literal["ms", "s"] = "ms" if pd.notna(peak) and peak > _MS_THRESHOLD else "s"
        return pd.to_datetime(values, unit=unit)
    return pd.to_datetime(values, format="ISO8601")


def _int64_whole(numbers: pd.Series) -> bool:
    """Whether every value of a float64 column is a whole number an int64
    holds exactly (2**63 and beyond would wrap)."""
    return bool(numbers.notna().all() and (numbers % 1 == 0).all()
                and (numbers >= -_INT64_LIMIT).all() and (numbers < _INT64_LIMIT).all())


def _volume(values: pd.Series) -> pd.Series:
    numbers = pd.to_numeric(values, errors="coerce")
    if numbers.dtype.kind == "i":  # exact ints already: no trip through float64
        return numbers.astype("int64")
    if numbers.dtype.kind == "u" and (numbers.empty or numbers.max() < _INT64_LIMIT):
        return numbers.astype("int64")
    numbers = numbers.astype("float64")
    return numbers.astype("int64") if _int64_whole(numbers) else numbers


def _to_dataframe(rows: Sequence[Mapping[str, Any]]) -> pd.DataFrame:
    """Build a typed table from the row records of one fetch."""
    return _typed_table(pd.DataFrame.from_records(list(rows)))


def _typed_table(frame: pd.DataFrame, ascending: Sequence[str] | None = None) -> pd.DataFrame:
    """The typed table of the records' raw table (one column per key, in the
    order first seen, as ``DataFrame.from_records`` lays them out).

    ``ascending``, when given, says how the rows already stand: grouped by
    symbol, one group per symbol, the groups in ascending order of symbol,
    and within every group the named columns never decrease.  When the time
    comes from one of them, the table is in its final order already.
    """
    frame = frame.rename(columns={k: v for k, v in _SHORT_KEYS.items() if k in frame.columns and v not in frame.columns})
    time_key = next((k for k in _TIME_KEYS if k in frame.columns), None)
    if time_key is not None and time_key != "time":
        frame = frame.rename(columns={time_key: "time"})
    # Every column is made first and the table built from them in one step:
    # assigning columns one by one goes through numpy code that is not safe
    # while the interpreter shuts down (daemon threads still fetching).
    columns: Dict[Any, Any] = {}
    for column in frame.columns:
        values = frame[column]
        if column == "time":
            values = _parse_time(values)
        elif column == "volume":
            values = _volume(values)
        elif column in _PRICE_COLUMNS:
            values = pd.to_numeric(values, errors="coerce").astype("float64")
        columns[column] = values.array
    leading = [c for c in _LEADING if c in columns]
    order = leading + [c for c in columns if c not in leading]
    frame = pd.DataFrame({c: columns[c] for c in order}, index=frame.index)
    keys = [c for c in ("symbol", "time") if c in frame.columns]
    in_order = ascending is not None and (time_key is None or time_key in ascending)
    if keys and not in_order:
        frame = frame.sort_values(keys, kind="mergesort")
    return frame.reset_index(drop=True)


def _bucket_starts(times: pd.Series[pd.Timestamp], interval: str) -> pd.Series:
    rule = _BUCKETS[interval]
    if rule == "week":  # weeks start on Monday
        starts = times.dt.normalize() - pd.to_timedelta(times.dt.day_of_week, unit="D")
    elif rule == "month":
        starts = times.dt.normalize() - pd.to_timedelta(times.dt.day - 1, unit="D")
    else:
        starts = times.dt.floor(rule)
    return starts.astype(times.dtype)


# Ticks of one second in the datetime64 units a time column may have.
_TICKS_PER_SECOND = {"s": 1, "ms": 10 ** 3, "us": 10 ** 6, "ns": 10 ** 9}
_FIXED_SECONDS = {"1min": 60, "5min": 300, "15min": 900, "30min": 1800, "1h": 3600, "1D": 86400}


def _own_buckets(df: pd.DataFrame, keys: List[str], interval: str) -> bool:
    """A cheap, sufficient test that every bar is its own bucket already:
    true only where the general test below would find the same.  It covers
    the tables ``_to_dataframe`` makes (naive datetime64 times, text
    symbols, each symbol's bars together with rising times); anything else
    is left to the general test."""
    seconds = _FIXED_SECONDS.get(_BUCKETS[interval])
    times = df["time"]
    if seconds is None or not isinstance(times.dtype, np.dtype) or times.dtype.kind != "M":
        return False
    unit, count = np.datetime_data(cast("np.dtype[np.datetime64]", times.dtype))
    if unit not in _TICKS_PER_SECOND or count != 1:
        return False
    ticks = times.to_numpy().view("i8")
    # A missing time (NaT) is never a multiple of a bucket's length here.
    if not (ticks % (seconds * _TICKS_PER_SECOND[unit]) == 0).all():
        return False
    rises = ticks[1:] > ticks[:-1]
    if not keys:
        return bool(rises.all())
    symbols = df["symbol"]
    if not (isinstance(symbols.dtype, pd.StringDtype) or pd.api.types.infer_dtype(symbols, skipna=False) == "string"):
        return False
    names = symbols.to_numpy(dtype=object)
    same = names[1:] == names[:-1]
    if not (rises | ~same).all():
        return False
    # Each symbol's bars stand together: one run per distinct symbol.
    heads = names[np.flatnonzero(np.concatenate(([True], ~same)))].tolist()
    return all(type(h) is str for h in heads) and len(set(heads)) == len(heads)


def resample_ohlcv_multi(df: pd.DataFrame, interval: str = "1D") -> pd.DataFrame:
    """Re-bucket each symbol's bars to ``interval``.

    A bucket takes the first open, the highest high, the lowest low, the last
    close and the summed volume of its bars; buckets without bars do not
    appear.  Minute and hour buckets are aligned on the clock, days start at
    midnight, weeks on Monday and months on the first day.  When every bar is
    already its own bucket (the table is at ``interval`` already) the table is
    returned unchanged, as the same object.  Columns other than the OHLCV ones
    do not survive a re-bucketing.
    """
    if not isinstance(interval, str) or interval not in _BUCKETS:  # pyright: ignore[reportUnnecessaryIsInstance]
        raise ValueError(f"Unsupported interval {interval!r}; expected one of: {', '.join(_BUCKETS)}")
    if df.empty:
        return df
    if "time" not in df.columns:
        raise ValueError("Cannot resample a table without a 'time' column")
    aggregations = [(c, how) for c, how in
                    (("open", "first"), ("high", "max"), ("low", "min"), ("close", "last"), ("volume", "sum"))
                    if c in df.columns]
    if not aggregations:
        raise ValueError("Cannot resample a table without open, high, low, close or volume columns")

    keys = ["symbol"] if "symbol" in df.columns else []
    if _own_buckets(df, keys, interval):
        return df
    # Bucket starts are per row, so the table's own order serves to tell
    # whether anything would change; it is sorted only when it will.
    starts = _bucket_starts(df["time"], interval)
    same = (starts == df["time"]) | (starts.isna() & df["time"].isna())
    if same.all() and not df[keys].assign(_bucket=starts).duplicated().any():
        return df

    ordered = df.assign(_bucket=starts).sort_values(keys + ["time"], kind="mergesort")
    if "volume" in ordered.columns and ordered["volume"].dtype.kind in "iu" and len(ordered):
        # Sums an int64 cannot hold would wrap: such volumes are summed as floats.
        volumes = ordered["volume"]
        if max(abs(float(volumes.max())), abs(float(volumes.min()))) * len(ordered) >= _INT64_LIMIT:
            ordered = ordered.assign(volume=volumes.astype("float64"))
    groups = ordered.groupby(keys + ["_bucket"], sort=True)
    parts: List[pd.Series] = []
    for column, how in aggregations:
        if how == "sum":
            # A bucket whose volumes are all missing stays missing, not 0.
            parts.append(groups[column].sum(min_count=1))
        else:
            parts.append(getattr(groups[column], how)())
    out = pd.concat(parts, axis=1).reset_index().rename(columns={"_bucket": "time"})
    if "volume" in out.columns and out["volume"].dtype.kind == "f" and _int64_whole(out["volume"]):
        out["volume"] = out["volume"].astype("int64")
    return out


__all__ = ["Interval", "IntervalIntraday", "_to_dataframe", "resample_ohlcv_multi"]
