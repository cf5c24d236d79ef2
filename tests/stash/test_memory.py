"""Repeated calls, good and bad, do not make the process grow."""

import gc
from datetime import date, timedelta

import pytest

from private_core import stash_rules
from private_core.stash_store import CacheEntry, _Cache, is_today, to_date
from tests.support import StashClient, raising, repeat, resident_kib, traced_growth

ROUNDS = 8_000
WEEK = timedelta(days=7)


def failing():
    raise RuntimeError("no data")


def calls():
    client = StashClient()
    cache = _Cache()
    entry = CacheEntry("d", None, expires_at=None)
    frame = object()
    good = [
        lambda: to_date("2024-01-31"),
        lambda: to_date(date(2024, 1, 31)),
        lambda: is_today(None),
        lambda: stash_rules.touches_latest_trading_day("2024-01-31"),
        stash_rules.ttl_eod_latest,
        stash_rules.ttl_eod_history,
        entry.is_expired,
        lambda: cache.set("ns", ("k", 1), frame, params={"a": 1}, ttl=WEEK),
        lambda: cache.get("ns", ("k", 1)),
        lambda: cache.get("ns", ("k", 2)),
        lambda: cache.set("gone", 1, frame, ttl=-WEEK) and cache.get("gone", 1),
        lambda: cache._begin_inflight("ns", 1) and cache._end_inflight("ns", 1),
        lambda: cache.clear_ns("gone"),
        lambda: client._fetch_with_cache("ns", ("k",), live=False, fetcher=object, ttl_live=WEEK, ttl_history=None),
        lambda: client._fetch_with_cache("ns", ("k",), live=True, fetcher=object, ttl_live=WEEK, ttl_history=None,
                                         params={"x": 1}, wait_timeout=2, wait_interval=0.01),
        lambda: client.clear_cache("other"),
        lambda: StashClient()._cache,
    ]
    bad = [
        lambda: to_date(1),
        lambda: to_date("31/01/2024"),
        lambda: to_date(),
        lambda: cache.get([], 1),
        lambda: cache.set("ns", 1, frame, params=[]),
        lambda: cache.set("ns", 1, frame, bogus=1),
        lambda: stash_rules.ttl_intraday_live(1),
        lambda: client._fetch_with_cache("ns", ("f",), live=True, fetcher=failing, ttl_live=WEEK, ttl_history=None),
        lambda: client._fetch_with_cache("ns", ("f",), live=True, ttl_live=WEEK, ttl_history=None),
        lambda: client._fetch_with_cache("ns", ("f",), live=True, fetcher=object, ttl_live=None, ttl_history=None,
                                         wait_timeout="x"),
        lambda: client._fetch_with_cache("ns", ("f",), live=True, fetcher=object, ttl_live=None, ttl_history=None,
                                         params=()),
        lambda: client.clear_cache(b"ns"),
    ]
    return good + [raising((TypeError, ValueError, RuntimeError), call) for call in bad], (client, cache)


@pytest.mark.slow
@pytest.mark.rss
def test_memory_stays_flat():
    all_calls, (client, cache) = calls()
    repeat(500, *all_calls)  # warm caches, interned names, free lists
    gc.collect()
    resident = resident_kib()
    grown = traced_growth(lambda: repeat(ROUNDS, *all_calls))
    # One leaked small object per call of any kind would be ROUNDS * 16
    # bytes or more.
    assert grown < ROUNDS * 16 // 2, grown
    # Memory the tracer cannot see (the C++ side) stays put as well.
    assert resident_kib() - resident < 16 * 1024
    assert client._cache._inflight == {} and cache._inflight == {}
