"""Sixteen threads hammering one client's cache with a mix of calls."""

import random
import sys
import threading
import time
from datetime import timedelta

from tests.support import StashClient

THREADS, CALLS = 16, 250
NAMESPACES, KEYS = ("eod", "intraday"), (("AAA",), ("BBB",), ("CCC",))


class Flaky(Exception):
    pass


def test_mixed_calls_from_many_threads():
    client = StashClient()
    cache = client._cache
    produced, produced_lock = [], threading.Lock()  # everything a fetch or a set handed out
    failures, results = [], []
    start = threading.Barrier(THREADS)

    def make():
        out = object()
        with produced_lock:
            produced.append(out)
        return out

    def worker(seed):
        rng, held = random.Random(seed), []
        try:
            start.wait(30)
            for _ in range(CALLS):
                ns, key, op = rng.choice(NAMESPACES), rng.choice(KEYS), rng.random()
                if op < 0.25:
                    entry = cache.get(ns, key)
                    held += [entry.data] if entry else []
                elif op < 0.40:
                    cache.set(ns, key, make(), ttl=rng.choice([None, timedelta(seconds=-1), timedelta(minutes=1)]))
                elif op < 0.45:
                    cache.clear_ns(ns)
                else:
                    fail = rng.random() < 0.1

                    def fetcher():
                        time.sleep(0)  # let the others in while this fetch is in flight
                        if fail:
                            raise Flaky()
                        return make()

                    try:
                        held.append(client._fetch_with_cache(
                            ns, key, live=rng.random() < 0.5, fetcher=fetcher, ttl_live=timedelta(minutes=1),
                            ttl_history=None, wait_timeout=0.02, wait_interval=0.001))
                    except Flaky:
                        pass
        except BaseException as exc:  # reported below, not lost in the thread
            failures.append(exc)
        results.append(held)

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch often, so that calls interleave inside the store
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
    finally:
        sys.setswitchinterval(old_interval)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert failures == [] and len(results) == THREADS
    assert cache._inflight == {}
    ids = {id(o) for o in produced}
    assert all(id(o) in ids for held in results for o in held)
    assert cache._lock.acquire(blocking=False)
    cache._lock.release()
