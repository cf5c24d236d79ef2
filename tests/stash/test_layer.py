"""The cache layer: the mixin's constructor, clear_cache, and the get-or-fetch
routine with its folding of concurrent identical requests."""

import threading
from datetime import timedelta

import pytest

from private_core import stash_layer
from private_core.stash_layer import BaseStashLayer
from private_core.stash_store import _Cache

from tests.support import StashClient, wait_until

TTL = timedelta(minutes=1)
HIST = dict(live=False, ttl_live=TTL, ttl_history=None)
LIVE = dict(live=True, ttl_live=TTL, ttl_history=None)


class Fetcher:
    """Hands out a new object per call and counts the calls."""

    def __init__(self, before=None):
        self.results, self.before = [], before

    def __call__(self):
        if self.before:
            self.before()
        self.results.append(object())
        return self.results[-1]


class Boom(Exception):
    pass


def failing():
    raise Boom()


def test_module_surface():
    assert stash_layer.__all__ == ["BaseStashLayer"]
    assert BaseStashLayer.__bases__ == (object,)
    assert BaseStashLayer.__doc__ == "Mixin providing a shared _Cache instance and helper utilities."
    assert [n for n in vars(BaseStashLayer) if n == "__init__" or not n.startswith("__")] == [
        "__init__", "clear_cache", "_fetch_with_cache"]


class Other:
    def __init__(self, x, y=0):
        self.x, self.y = x, y
        self.saw_cache = hasattr(self, "_cache")
        super().__init__()


class LayerFirst(BaseStashLayer, Other):
    pass


class LayerLast(Other, BaseStashLayer):
    pass


@pytest.mark.parametrize("cls", [LayerFirst, LayerLast])
def test_mixin_beside_python_bases(cls):
    a, b = cls(1, y=2), cls(3)
    assert (a.x, a.y, b.x, b.y) == (1, 2, 3, 0)
    assert a.saw_cache is False  # made after the rest of the chain has run
    assert type(a._cache) is _Cache and a._cache is not b._cache and a._cache._singleflight is True
    a._fetch_with_cache("ns", ("k",), fetcher=lambda: "from a", **HIST)
    assert b._fetch_with_cache("ns", ("k",), fetcher=lambda: "from b", **HIST) == "from b"
    assert a._fetch_with_cache("ns", ("k",), fetcher=failing, **HIST) == "from a"


def test_chain_that_skips_the_layer_has_no_cache(monkeypatch):
    class Stubborn:
        def __init__(self):
            pass

    obj = type("C", (Stubborn, BaseStashLayer), {})()
    with pytest.raises(AttributeError):
        obj.clear_cache()
    with pytest.raises(AttributeError):
        obj._fetch_with_cache("ns", (), fetcher=failing, **HIST)
    spy = type("SpyCache", (_Cache,), {})
    monkeypatch.setattr(stash_layer, "_Cache", spy)  # looked up at each construction
    assert type(StashClient()._cache) is spy


@pytest.mark.parametrize("args, kept", [((), []), ((None,), []), (("",), []), (("a",), ["b"])])
def test_clear_cache(client, args, kept):
    for ns in ("a", "b"):
        client._fetch_with_cache(ns, (1,), fetcher=lambda: ns, **HIST)
    client.clear_cache(*args)
    assert list(client._cache._store) == kept


def test_historical_hit_neither_fetches_nor_registers(client):
    fetch = Fetcher()
    first = client._fetch_with_cache("ns", ("k",), fetcher=fetch, **HIST)
    client._cache._begin_inflight = lambda ns, key: failing()
    assert client._fetch_with_cache("ns", ("k",), fetcher=fetch, **HIST) is first
    assert len(fetch.results) == 1 and client._cache.get("ns", ("k",)).expires_at is None


def test_live_request_fetches_despite_unexpired_entry(client):
    fetch = Fetcher()
    old = client._fetch_with_cache("ns", ("k",), fetcher=fetch, **HIST)
    new = client._fetch_with_cache("ns", ("k",), fetcher=fetch, params={"p": 1}, **LIVE)
    entry = client._cache.get("ns", ("k",))
    assert new is not old and entry.data is new and entry.params == {"p": 1}
    assert abs(entry.expires_at - entry.fetched_at - TTL) < timedelta(seconds=1)
    assert client._cache._inflight == {}


def test_fetcher_runs_without_the_lock(client):
    taken = []

    def take_and_give_back():
        taken.append(client._cache._lock.acquire(timeout=10))
        client._cache._lock.release()

    def fetcher():
        t = threading.Thread(target=take_and_give_back)
        t.start()
        t.join(15)
        return "data"

    client._fetch_with_cache("ns", (), fetcher=fetcher, **LIVE)
    assert taken == [True]


def test_burst_of_identical_requests_is_one_fetch(client):
    n, pair = 8, ("ns", ("AAA", "2024-01-01"))
    barrier = threading.Barrier(n)
    # The one fetch ends only once every other caller has registered.
    fetch = Fetcher(before=lambda: wait_until(lambda: client._cache._inflight.get(pair) == n))
    results = [None] * n

    def call(i):
        barrier.wait(10)
        results[i] = client._fetch_with_cache(*pair, fetcher=fetch, wait_timeout=30.0, wait_interval=0.002, **LIVE)

    threads = [threading.Thread(target=call, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert len(fetch.results) == 1 and all(r is fetch.results[0] for r in results)
    assert client._cache._inflight == {}


def test_waiter_out_of_time_fetches_by_itself(client, fake_time):
    release = threading.Event()
    slow, mine, first_result = Fetcher(before=lambda: release.wait(30)), Fetcher(), []
    first = threading.Thread(target=lambda: first_result.append(
        client._fetch_with_cache("ns", 1, fetcher=slow, **HIST)))
    first.start()
    assert wait_until(lambda: client._cache._inflight.get(("ns", 1)) == 1)
    try:
        got = client._fetch_with_cache("ns", 1, fetcher=mine, wait_timeout=1, wait_interval=0.25, **HIST)
    finally:
        release.set()
        first.join(30)
    assert got is mine.results[0] and len(mine.results) == 1
    assert fake_time.sleeps == [0.25] * 4
    assert client._cache.get("ns", 1).data is first_result[0]  # the later set wins
    assert client._cache._inflight == {}


@pytest.mark.parametrize("wait_timeout", [0, -1.0, float("nan")])
def test_no_time_to_wait_means_fetch_at_once(client, fake_time, wait_timeout):
    client._cache._begin_inflight("ns", "k")  # someone else is fetching
    fetch = Fetcher()
    assert client._fetch_with_cache("ns", "k", fetcher=fetch, wait_timeout=wait_timeout, **LIVE) is fetch.results[0]
    assert fake_time.sleeps == [] and client._cache._inflight == {("ns", "k"): 1}


def test_failing_fetcher_leaves_nothing_behind(client):
    go, errors, waiter_result = threading.Event(), [], []

    def first():
        with pytest.raises(Boom):
            client._fetch_with_cache("ns", "k", fetcher=lambda: go.wait(30) and failing(), **HIST)
        errors.append(1)

    mine = Fetcher()
    t = threading.Thread(target=first)
    w = threading.Thread(target=lambda: waiter_result.append(client._fetch_with_cache(
        "ns", "k", fetcher=mine, wait_timeout=0.3, wait_interval=0.005, **HIST)))
    t.start()
    assert wait_until(lambda: client._cache._inflight.get(("ns", "k")) == 1)
    w.start()
    assert wait_until(lambda: client._cache._inflight.get(("ns", "k")) == 2)
    go.set()
    t.join(30)
    w.join(30)
    # The waiter found nothing stored and fetched for itself.
    assert errors == [1] and waiter_result == mine.results and len(mine.results) == 1
    assert client._cache._inflight == {}
    with pytest.raises(Boom):
        client._fetch_with_cache("other", "k", fetcher=failing, **HIST)
    assert list(client._cache._store) == ["ns"] and client._cache._inflight == {}


@pytest.mark.parametrize("where", ["sleep", "monotonic", "get", "set"])
def test_errors_while_waiting_or_storing_release_the_count(client, fake_time, where):
    setattr(client._cache if where in ("get", "set") else fake_time, where, lambda *a, **k: failing())
    if where != "set":
        client._cache._begin_inflight("ns", "k")
    with pytest.raises(Boom):
        client._fetch_with_cache("ns", "k", fetcher=lambda: 1, **LIVE)
    assert client._cache._inflight == ({} if where == "set" else {("ns", "k"): 1})


class DictSub(dict):
    pass


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("ns", "k"), dict(live=False, ttl_live=None, ttl_history=None),
         "_fetch_with_cache() needs keyword-only argument fetcher"),
        (("ns", "k"), dict(HIST, fetcher=failing, params=DictSub()),
         "Argument 'params' has incorrect type (expected dict, got DictSub)"),
        (("ns", "k"), dict(HIST, fetcher=failing, wait_timeout="1"), "must be real number, not str"),
        (("ns", "k", "x"), dict(HIST, fetcher=failing), "_fetch_with_cache() takes exactly 3 positional arguments (4 given)"),
        (("ns",), dict(HIST, fetcher=failing), "_fetch_with_cache() takes exactly 3 positional arguments (2 given)"),
        (("ns", "k"), dict(HIST, fetcher=failing, timeout=1),
         "_fetch_with_cache() got an unexpected keyword argument 'timeout'"),
    ],
)
def test_fetch_bad_arguments_change_nothing(client, args, kwargs, message):
    client._cache._begin_inflight = lambda ns, key: failing()
    with pytest.raises(TypeError) as info:
        client._fetch_with_cache(*args, **kwargs)
    assert str(info.value) == message


def test_other_bad_input(client):
    with pytest.raises(TypeError, match=r"^Argument 'ns' has incorrect type \(expected str, got int\)$"):
        client.clear_cache(1)
    with pytest.raises(TypeError):
        client._fetch_with_cache("ns", "k", fetcher=None, **HIST)  # not callable
    assert client._cache._inflight == {} and client._cache._store == {}


def test_release_that_fails_runs_once_and_propagates():
    from private_core import stash_layer

    class Failing(stash_layer._Cache):
        calls = 0

        def _end_inflight(self, ns, key):
            Failing.calls += 1
            super()._end_inflight(ns, key)
            raise RuntimeError("release failed")

    layer = stash_layer.BaseStashLayer()
    layer._cache = Failing()
    with pytest.raises(RuntimeError, match="release failed"):
        layer._fetch_with_cache("ns", ("k",), live=True, fetcher=lambda: "data", ttl_live=None, ttl_history=None)
    assert Failing.calls == 1
    assert layer._cache.get("ns", ("k",)).data == "data"
