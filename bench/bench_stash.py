"""Hit paths of the result cache, in ns per call, next to the same paths
written in plain Python and measured in the same run.  Times are the
measuring thread's own CPU time: on a shared machine, what other processes
take of the cores does not land on either side.

    PYTHONPATH=build/dev .venv/bin/python bench/bench_stash.py
"""

from __future__ import annotations

import os

# pandas (imported by the store) starts BLAS worker threads that would spin
# on the two shared cores while we measure.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import threading
import time
import timeit
from dataclasses import dataclass, field
from datetime import datetime, timedelta
from typing import Any, Optional

from private_core.stash_layer import BaseStashLayer
from private_core.stash_store import _Cache


# --- baseline: the same hit paths as plain Python -------------------------
@dataclass
class PyCacheEntry:
    data: Any
    fetched_at: datetime
    params: dict = field(default_factory=dict)
    expires_at: Optional[datetime] = None

    def is_expired(self):
        return self.expires_at is not None and datetime.now() >= self.expires_at


class PyCache:
    def __init__(self):
        self._store, self._lock, self._inflight = {}, threading.RLock(), {}
        self._singleflight = True

    def set(self, ns, key, data, *, params=None, ttl=None):
        with self._lock:
            if ns not in self._store:
                self._store[ns] = {}
            expires_at = datetime.now() + ttl if ttl else None
            entry = PyCacheEntry(data=data, fetched_at=datetime.now(), params=params or {}, expires_at=expires_at)
            self._store[ns][key] = entry
            return entry

    def get(self, ns, key):
        with self._lock:
            bucket = self._store.get(ns)
            if not bucket:
                return None
            entry = bucket.get(key)
            if not entry:
                return None
            if entry.is_expired():
                bucket.pop(key, None)
                return None
            return entry

    def _begin_inflight(self, ns, key):
        if not self._singleflight:
            return True
        assert self._inflight is not None
        k = (ns, key)
        with self._lock:
            cnt = self._inflight.get(k, 0)
            self._inflight[k] = cnt + 1
            return cnt == 0

    def _end_inflight(self, ns, key):
        if not self._singleflight:
            return None
        assert self._inflight is not None
        k = (ns, key)
        with self._lock:
            cnt = self._inflight.get(k, 1)
            if cnt <= 1:
                self._inflight.pop(k, None)
            else:
                self._inflight[k] = cnt - 1


class PyLayer:
    def __init__(self):
        self._cache = PyCache()

    def _fetch_with_cache(self, namespace, key, *, live, fetcher, ttl_live, ttl_history, params=None,
                          wait_timeout=1.0, wait_interval=0.05):
        if not live:
            hit = self._cache.get(namespace, key)
            if hit:
                return hit.data
        raise NotImplementedError("only the hit path is measured")


class Client(BaseStashLayer):
    pass


# --- measurement ----------------------------------------------------------
KEY = ("AAA", "2024-01-01", "2024-03-31", "1D")
TTL = timedelta(minutes=1)


def ns_per_call(*stmts, number=40_000, repeat=36):
    """Best time per call of each statement; the runs alternate between the
    statements so that a busy moment of the machine hits all of them."""
    timers = [timeit.Timer(s, timer=time.thread_time) for s in stmts]
    best = [float("inf")] * len(stmts)
    for _ in range(repeat):
        for i, t in enumerate(timers):
            best[i] = min(best[i], t.timeit(number))
    return [b / number * 1e9 for b in best]


def measure():
    """(path, ours ns, plain Python ns) for each hit path; the cost of calling
    an empty lambda is taken off both sides.  Each side's entries are made by
    its own set, so both read dataclass entries alike."""
    frame = object()
    client = Client()
    client._cache.set("eod", KEY, frame)
    py_layer = PyLayer()
    py_layer._cache.set("eod", KEY, frame)
    cache, py_cache = client._cache, py_layer._cache
    live_entry_cache = _Cache()
    live_entry_cache.set("eod", KEY, frame, ttl=TTL)
    py_live_cache = PyCache()
    py_live_cache.set("eod", KEY, frame, ttl=TTL)

    set_cache, py_set_cache = _Cache(), PyCache()

    def fetcher():
        raise AssertionError("a hit must not fetch")

    cases = [
        ("_fetch_with_cache, historical hit",
         lambda: client._fetch_with_cache("eod", KEY, live=False, fetcher=fetcher, ttl_live=TTL, ttl_history=None),
         lambda: py_layer._fetch_with_cache("eod", KEY, live=False, fetcher=fetcher, ttl_live=TTL, ttl_history=None)),
        ("_Cache.get hit, no expiry",
         lambda: cache.get("eod", KEY),
         lambda: py_cache.get("eod", KEY)),
        ("_Cache.get hit, with expiry",
         lambda: live_entry_cache.get("eod", KEY),
         lambda: py_live_cache.get("eod", KEY)),
        ("_Cache.set, with expiry",
         lambda: set_cache.set("eod", KEY, frame, ttl=TTL),
         lambda: py_set_cache.set("eod", KEY, frame, ttl=TTL)),
        ("_begin_inflight + _end_inflight",
         lambda: (cache._begin_inflight("eod", KEY), cache._end_inflight("eod", KEY)),
         lambda: (py_cache._begin_inflight("eod", KEY), py_cache._end_inflight("eod", KEY))),
    ]
    for _, ours, base in cases:  # sanity: both sides do the same work
        assert ours() is not None and base() is not None
    rows = []
    for label, ours, base in cases:
        empty, a, b = ns_per_call(lambda: None, ours, base)
        rows.append((label, a - empty, b - empty))
    return rows


def figures() -> list:
    from _table import Figure

    return [Figure("stash", label, ours, "ns/call", "same path in plain Python", base)
            for label, ours, base in measure()]


def main():
    print(f"{'path':36} {'ours ns':>9} {'python ns':>10} {'ours/python':>12}")
    for label, a, b in measure():
        print(f"{label:36} {a:9.0f} {b:10.0f} {a / b:11.2f}x")
    print("(the cost of calling an empty lambda is subtracted from both sides)")


if __name__ == "__main__":
    main()
