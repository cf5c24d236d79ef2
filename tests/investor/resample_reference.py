"""The investor re-bucketing written out in Python, as the per-identifier loop.

`resample_reference` cleans the daily table, then resamples every identifier
on its own and stitches the pieces together: the table the engine's
`_resample_frame` must give, whichever way it computes it.  It takes the
identifier column of the namespace (`_ID_FIELD.get(namespace)`) instead of the
namespace, and the interval text as the engine receives it.  `_strict_str` is
read from this module at each use, so a test can replace it here as in the
engine.
"""

from __future__ import annotations

from typing import Any, NamedTuple

import pandas as pd


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
    """The cleaning before the grouping; None when `frame` goes back unchanged."""
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
