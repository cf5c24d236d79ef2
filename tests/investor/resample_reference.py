"""The investor re-bucketing written out in Python, twice.

`resample_reference` is the engine's algorithm as it stands: clean the daily
table, then resample every identifier on its own and stitch the pieces
together.  `resample_one_pass` computes the same table in one pass over all
rows, as a handful of pandas/numpy calls meant to be ported call for call into
the engine.  It answers None whenever it cannot guarantee the very same result
(same columns, dtypes, order and float bits); the caller then runs the loop.

Both take the identifier column of the namespace (`_ID_FIELD.get(namespace)`)
instead of the namespace, and the interval text as the engine receives it.
"""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import pandas as pd
from pandas.tseries.frequencies import to_offset

FLOAT64 = np.dtype("float64")
SUMMABLE = (np.dtype("int64"), FLOAT64)
# Offsets whose buckets are fixed calendar periods: with n == 1 a bucket is
# labelled by the first anchor on or after the day, whatever the group's range.
ONE_ANCHOR_OFFSETS = (pd.offsets.Week, pd.offsets.MonthEnd, pd.offsets.QuarterEnd, pd.offsets.YearEnd)


def _strict_str(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, float) and pd.isna(value):
        return ""
    return str(value).strip()


def pandas_rule(interval: str) -> str:
    """The rule handed to pandas: the service's "M" (optionally after digits) is pandas' "ME"."""
    if interval.endswith("M") and all("0" <= ch <= "9" for ch in interval[:-1]):
        return interval + "E"
    return interval


class Prepared(NamedTuple):
    working: pd.DataFrame
    date_column: str
    preferred_field: str | None
    numeric_cols: list


def prepare(frame: pd.DataFrame, id_field: str | None) -> Prepared | None:
    """The cleaning both versions share; None when `frame` goes back unchanged."""
    if frame.empty:
        return None
    date_column = next((c for c in ("date", "Date") if c in frame.columns), None)
    if not date_column:
        return None
    working = frame.dropna(subset=[date_column])
    if working.empty:
        return None
    working = working.copy()
    working[date_column] = pd.to_datetime(working[date_column], errors="coerce")
    working = working.dropna(subset=[date_column])
    if working.empty:
        return None
    candidate_fields = tuple(f for f in (id_field, "symbol", "icb", "code", "ticker") if f)
    preferred_field = next((f for f in candidate_fields if f in working.columns), None)
    if preferred_field is not None:
        working[preferred_field] = working[preferred_field].apply(_strict_str)
        working = working[working[preferred_field] != ""]
    numeric_cols = [c for c in working.select_dtypes(include="number").columns.tolist() if c != preferred_field]
    if not numeric_cols:
        return None
    return Prepared(working, date_column, preferred_field, numeric_cols)


def finish(combined: pd.DataFrame, date_column: str, preferred_field: str | None) -> pd.DataFrame:
    sort_columns = []
    if preferred_field and preferred_field in combined.columns:
        sort_columns.append(preferred_field)
    if date_column in combined.columns:
        sort_columns.append(date_column)
    if sort_columns:
        combined = combined.sort_values(sort_columns).reset_index(drop=True)
    return combined


# ---------------------------------------------------------------------------
# The loop


def loop_buckets(p: Prepared, rule: str) -> pd.DataFrame | None:
    working, date_column, preferred_field, numeric_cols = p
    if preferred_field:
        group_iter = working.groupby(preferred_field, group_keys=False)
    else:
        group_iter = [(None, working)]
    aggregated_frames = []
    for group_key, group_df in group_iter:
        resampled = group_df.set_index(date_column)[numeric_cols].resample(rule).sum(min_count=1)
        if resampled.empty:
            continue
        resampled.index.name = date_column
        resampled = resampled.reset_index()
        if preferred_field and group_key is not None:
            resampled[preferred_field] = _strict_str(group_key)
        preserved_cols = [c for c in group_df.columns
                          if c not in numeric_cols and c != date_column and c != preferred_field]
        for column in preserved_cols:
            resampled[column] = group_df[column].iloc[0]
        aggregated_frames.append(resampled)
    if not aggregated_frames:
        return None
    return finish(pd.concat(aggregated_frames, ignore_index=True), date_column, preferred_field)


def resample_reference(frame: pd.DataFrame, id_field: str | None, interval: str) -> pd.DataFrame:
    p = prepare(frame, id_field)
    if p is None:
        return frame
    out = loop_buckets(p, pandas_rule(interval))
    return frame if out is None else out


# ---------------------------------------------------------------------------
# One pass


def one_anchor_offset(rule: str) -> pd.DateOffset | None:
    """The offset of `rule` when every bucket is one calendar period, else None."""
    try:
        offset = to_offset(rule)
    except (ValueError, TypeError):
        return None
    if type(offset) not in ONE_ANCHOR_OFFSETS or offset.n != 1 or offset.normalize:
        return None
    if isinstance(offset, pd.offsets.Week) and offset.weekday is None:
        return None
    return offset


def carried_values(column: pd.Series, first_rows: np.ndarray) -> np.ndarray | None:
    """Each identifier's first value of a descriptive column, in a form that
    builds the column the loop builds from one scalar per identifier; None
    when that cannot be guaranteed (missing values, mixed or exotic types)."""
    dtype = column.dtype
    values = column.to_numpy()[first_rows]
    if dtype == np.dtype(bool):
        return values
    if isinstance(dtype, np.dtype) and dtype.kind == "M":
        return None if np.isnat(values).any() else values
    if dtype == object or isinstance(dtype, pd.StringDtype):
        # All str: inferred as the default string dtype, as each str scalar is.
        return values if pd.api.types.infer_dtype(values, skipna=False) == "string" else None
    return None


def one_pass_buckets(p: Prepared, offset: pd.DateOffset) -> pd.DataFrame | None:
    """Same result as `loop_buckets`; None when not provably so."""
    working, date_column, preferred_field, numeric_cols = p
    dates = working[date_column]
    dtypes = [working[c].dtype for c in numeric_cols]
    if not (isinstance(dates.dtype, np.dtype) and dates.dtype.kind == "M"):
        return None  # tz-aware dates bucket in local time
    if not all(d in SUMMABLE for d in dtypes):
        return None
    if not working.columns.is_unique or not all(type(c) is str for c in working.columns):
        return None

    # Bucket of every row: the first anchor on or after its day, as a position
    # in the grid of all anchors between the first and the last one.
    day = dates.dt.normalize()
    unit = np.datetime_data(dates.dtype)[0]
    try:
        grid = pd.date_range(offset.rollforward(day.min()), offset.rollforward(day.max()), freq=offset, unit=unit)
    except (OverflowError, pd.errors.OutOfBoundsDatetime):
        return None  # a last anchor past the end of the calendar
    bucket = grid.searchsorted(day.to_numpy())

    if preferred_field:
        codes, uniques = pd.factorize(working[preferred_field], sort=True)
    else:
        codes, uniques = np.zeros(len(working), dtype=np.intp), None
    n_ids = 1 if uniques is None else len(uniques)

    first_rows = np.unique(codes, return_index=True)[1]  # each identifier's first row, in table order
    preserved_cols = [c for c in working.columns
                      if c not in numeric_cols and c != date_column and c != preferred_field]
    carried = {}
    for column in preserved_cols:
        carried[column] = carried_values(working[column], first_rows)
        if carried[column] is None:
            return None

    # Rows by identifier, then date; ties keep table order, as each group's
    # stable sort by date does, so every bucket adds its values in the same
    # order.  A table as the engine builds it is in that order already.
    stamps = dates.to_numpy().view("i8")
    code_step = np.diff(codes)
    if np.all((code_step > 0) | ((code_step == 0) & (np.diff(stamps) >= 0))):
        order = slice(None)
    else:
        order = np.lexsort((stamps, codes))
    code_s = codes[order]
    bucket_s = bucket[order]
    new_segment = np.empty(len(codes), dtype=bool)
    new_segment[0] = True
    new_segment[1:] = (code_s[1:] != code_s[:-1]) | (bucket_s[1:] != bucket_s[:-1])
    starts = np.flatnonzero(new_segment)
    seg_code = code_s[starts]
    seg_bucket = bucket_s[starts]

    # Every identifier gets each bucket from its first to its last.
    id_first_seg = np.flatnonzero(np.r_[True, seg_code[1:] != seg_code[:-1]])
    first_bucket = seg_bucket[id_first_seg]
    last_bucket = seg_bucket[np.r_[id_first_seg[1:], len(starts)] - 1]
    counts = last_bucket - first_bucket + 1
    id_start = np.cumsum(counts) - counts
    total = int(counts.sum())
    seg_row = id_start[seg_code] + seg_bucket - first_bucket[seg_code]
    out_code = np.repeat(np.arange(n_ids), counts)
    out_bucket = np.arange(total) - np.repeat(id_start - first_bucket, counts)
    has_gaps = total != len(starts)

    columns: dict[str, Any] = dict.fromkeys([date_column, *numeric_cols])  # in table order
    columns[date_column] = grid.take(out_bucket)
    for column, dtype in zip(numeric_cols, dtypes):
        if dtype != FLOAT64:
            sums = np.add.reduceat(working[column].to_numpy()[order], starts)  # exact, any order
            if has_gaps:
                filled = np.full(total, np.nan)
                filled[seg_row] = sums
                sums = filled
            columns[column] = sums

    float_cols = [c for c, d in zip(numeric_cols, dtypes) if d == FLOAT64]
    if float_cols:
        block = working[float_cols].to_numpy()[order]
        # pandas sums a group by reduceat when its block holds no NaN, else by
        # a compensated sum; resample consolidates its input, so the block is
        # every float column and the choice is made per identifier.
        sums = np.add.reduceat(block, starts, axis=0)
        dirty = np.zeros(n_ids, dtype=bool)
        dirty[code_s[np.isnan(block).any(axis=1)]] = True
        if dirty.any():
            rows = dirty[code_s]
            segment = np.cumsum(new_segment) - 1
            compensated = pd.DataFrame(block[rows]).groupby(segment[rows]).sum(min_count=1)
            sums[compensated.index.to_numpy()] = compensated.to_numpy()
        if has_gaps:
            filled = np.full((total, len(float_cols)), np.nan)
            filled[seg_row] = sums
            sums = filled
        for j, column in enumerate(float_cols):
            columns[column] = sums[:, j]

    if preferred_field:
        columns[preferred_field] = uniques.take(out_code)
    for column, values in carried.items():
        columns[column] = values[out_code]
    # Identifiers came sorted and buckets ascending: already in the final order.
    return pd.DataFrame(columns)


def resample_one_pass(frame: pd.DataFrame, id_field: str | None, interval: str) -> pd.DataFrame | None:
    """The loop's result in one pass, or None where only the loop is known to give it."""
    offset = one_anchor_offset(pandas_rule(interval))
    if offset is None:
        return None
    p = prepare(frame, id_field)
    if p is None:
        return frame
    if p.working.empty:
        return frame  # every identifier was blank: the loop finds no group
    return one_pass_buckets(p, offset)
