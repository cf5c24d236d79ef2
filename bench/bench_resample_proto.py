"""Investor resampling, 500 identifiers x 500 trading days: the per-identifier
loop against the one-pass prototype, weekly and monthly.

Reports, median of the rounds, all measured in the same run:
  - ``InvestorFlowEngine._resample_frame`` as installed (the baseline),
  - the Python loop (tests/investor/resample_reference.py), whole call,
  - the one-pass prototype, whole call,
  - the grouping alone (everything after the cleaning shared by both), loop
    and one pass, and the shared cleaning.

The cleaning uses the engine's own `_strict_str`, so the whole-call figures of
the one pass are what the engine would do with it.  Each round checks that the
three tables are identical.

    .venv/bin/python bench/bench_resample_proto.py [--rounds 5]
"""

from __future__ import annotations

import argparse
import pathlib
import statistics
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "investor"))
import resample_reference as ref  # noqa: E402
from private_core.investor import flow_engine  # noqa: E402

N_IDS = 500
N_DAYS = 500


def daily_table(seed: int = 7) -> pd.DataFrame:
    """Sorted by symbol and date, as the engine builds it; one identifier in
    ten carries a few NaN, a few days are missing here and there."""
    rng = np.random.default_rng(seed)
    days = pd.bdate_range("2022-01-03", periods=N_DAYS).as_unit("us")
    n = N_IDS * N_DAYS
    keep = rng.random(n) > 0.02
    buy = rng.lognormal(20, 2, n)
    sell = rng.lognormal(20, 2, n)
    net = buy - sell
    net[(np.repeat(np.arange(N_IDS) % 10 == 0, N_DAYS)) & (rng.random(n) < 0.01)] = np.nan
    frame = pd.DataFrame({
        "symbol": np.repeat([f"S{k:03d}" for k in range(N_IDS)], N_DAYS),
        "date": np.tile(days, N_IDS),
        "buy_value": buy, "sell_value": sell, "net_value": net,
        "buy_volume": rng.integers(0, 10**7, n), "sell_volume": rng.integers(0, 10**7, n),
        "group": "foreign",
    })
    return frame[keep].reset_index(drop=True)


def timed(fn, *args):
    t0 = time.perf_counter()
    out = fn(*args)
    return time.perf_counter() - t0, out


def measure(rounds: int) -> dict[str, dict[str, float]]:
    ref._strict_str = flow_engine._strict_str
    engine = flow_engine.InvestorFlowEngine(None)
    frame = daily_table()
    results = {}
    for interval in ("1W", "1M"):
        rule = ref.pandas_rule(interval)
        offset = ref.one_anchor_offset(rule)
        names = ("engine", "loop", "one_pass", "prepare", "loop_group", "one_pass_group")
        runs: dict[str, list[float]] = {k: [] for k in names}
        for _ in range(rounds):
            t, installed = timed(engine._resample_frame, frame, "stock", interval)
            runs["engine"].append(t)
            t, looped = timed(ref.resample_reference, frame, "symbol", interval)
            runs["loop"].append(t)
            t, one = timed(ref.resample_one_pass, frame, "symbol", interval)
            runs["one_pass"].append(t)
            t, prepared = timed(ref.prepare, frame, "symbol")
            runs["prepare"].append(t)
            runs["loop_group"].append(timed(ref.loop_buckets, prepared, rule)[0])
            runs["one_pass_group"].append(timed(ref.one_pass_buckets, prepared, offset)[0])
            pd.testing.assert_frame_equal(looped, installed, check_exact=True)
            pd.testing.assert_frame_equal(one, installed, check_exact=True)
        results[interval] = {k: statistics.median(v) * 1e3 for k, v in runs.items()}
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    results = measure(args.rounds)
    print(f"{N_IDS} identifiers x {N_DAYS} trading days, median of {args.rounds} rounds, ms per call")
    for interval, ms in results.items():
        print(f"{interval}:")
        print(f"  baseline: _resample_frame (installed)   {ms['engine']:9.1f}")
        print(f"  loop, whole call                       {ms['loop']:9.1f}")
        print(f"  one pass, whole call                   {ms['one_pass']:9.1f}   "
              f"({ms['engine'] / ms['one_pass']:.1f}x the baseline)")
        print(f"    shared cleaning                      {ms['prepare']:9.1f}")
        print(f"    grouping, loop                       {ms['loop_group']:9.1f}")
        print(f"    grouping, one pass                   {ms['one_pass_group']:9.1f}   "
              f"({ms['loop_group'] / ms['one_pass_group']:.1f}x the loop)")


if __name__ == "__main__":
    main()
