"""The cache layer: the mixin's constructor, clear_cache, and the get-or-fetch
routine with its folding of concurrent identical requests."""

import threading
from datetime import timedelta

import pytest

from private_core import stash_layer, stash_store
from private_core.stash_layer import BaseStashLayer
from private_core.stash_store import _Cache

from conftest import Client, wait_until

HIST = dict(live=False, ttl_live=timedelta(minutes=1), ttl_history=None)
LIVE = dict(live=True, ttl_live=timedelta(minutes=1), ttl_history=None)


class Counter:
    """A fetcher that hands out a new object per call and counts the calls."""

    def __init__(self, before=None):
        self.calls = 0
        self.results = []
        self.before = before

    def __call__(self):
        self.calls += 1
        if self.before:
            self.before()
        out = object()
        self.results.append(out)
        return out


class SpyCache(_Cache):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.begun = 0

    def _begin_inflight(self, ns, key):
        self.begun += 1
        return super()._begin_inflight(ns, key)


def test_module_surface():
    names = [n for n in vars(stash_layer) if not n.startswith("__")]
    assert names == ["time", "timedelta", "Any", "Callable", "Dict", "Optional", "pd",
                     "CacheKey", "Namespace", "_Cache", "BaseStashLayer"]
    assert stash_layer.__all__ == ["BaseStashLayer"]
    assert stash_layer._Cache is stash_store._Cache
    assert BaseStashLayer.__bases__ == (object,)
    assert BaseStashLayer.__doc__ == "Mixin providing a shared _Cache instance and helper utilities."
    own = [n for n in vars(BaseStashLayer) if not n.startswith("__") or n == "__init__"]
    assert own == ["__init__", "clear_cache", "_fetch_with_cache"]


class Other:
    def __init__(self, x, y=0):
        self.x, self.y = x, y
        self.saw_cache = hasattr(self, "_cache")
        super().__init__()


class LayerFirst(BaseStashLayer, Other):
    pass


class LayerLast(Other, BaseStashLayer):
    def __init__(self, x, y=0):
        super().__init__(x, y=y)


@pytest.mark.parametrize("cls", [LayerFirst, LayerLast])
def test_mixin_beside_python_bases(cls):
    a, b = cls(1, y=2), cls(3)
    assert (a.x, a.y, b.x, b.y) == (1, 2, 3, 0)
    # The cache is made after the rest of the chain has run.
    assert a.saw_cache is False
    assert isinstance(a._cache, _Cache) and a._cache is not b._cache
    assert a._cache._singleflight is True
    a._fetch_with_cache("ns", ("k",), fetcher=lambda: "from a", **HIST)
    assert b._fetch_with_cache("ns", ("k",), fetcher=lambda: "from b", **HIST) == "from b"
    assert a._fetch_with_cache("ns", ("k",), fetcher=lambda: "again", **HIST) == "from a"


def test_arguments_pass_through_unchanged():
    class Base:
        def __init__(self, *args, **kwargs):
            self.got = (args, kwargs)

    class C(BaseStashLayer, Base):
        pass

    assert C(1, [2], args=3, kwargs=4).got == ((1, [2]), {"args": 3, "kwargs": 4})
    with pytest.raises(TypeError):
        Client(1)  # object.__init__ takes no arguments


def test_chain_that_skips_the_layer_has_no_cache():
    class Stubborn:
        def __init__(self):
            pass

    class C(Stubborn, BaseStashLayer):
        pass

    obj = C()
    with pytest.raises(AttributeError):
        obj.clear_cache()
    with pytest.raises(AttributeError):
        obj._fetch_with_cache("ns", (), fetcher=lambda: 1, **HIST)


def test_cache_class_is_looked_up_at_construction(monkeypatch):
    monkeypatch.setattr(stash_layer, "_Cache", SpyCache)
    assert type(Client()._cache) is SpyCache


@pytest.mark.parametrize("args, kept", [((), []), ((None,), []), (("",), []), (("a",), ["b"])])
def test_clear_cache(client, args, kept):
    for ns in ("a", "b"):
        client._fetch_with_cache(ns, (1,), fetcher=lambda: ns, **HIST)
    client.clear_cache(*args)
    assert list(client._cache._store) == kept


def test_historical_hit_skips_fetcher_and_registration(client):
    client._cache = SpyCache()
    fetcher = Counter()
    first = client._fetch_with_cache("ns", ("k",), fetcher=fetcher, **HIST)
    assert client._fetch_with_cache("ns", ("k",), fetcher=fetcher, **HIST) is first
    assert fetcher.calls == 1 and client._cache.begun == 1
    assert client._cache.get("ns", ("k",)).expires_at is None


def test_live_request_fetches_despite_unexpired_entry(client):
    fetcher = Counter()
    old = client._fetch_with_cache("ns", ("k",), fetcher=fetcher, **HIST)
    new = client._fetch_with_cache("ns", ("k",), fetcher=fetcher, params={"p": 1}, **LIVE)
    assert fetcher.calls == 2 and new is not old
    entry = client._cache.get("ns", ("k",))
    assert entry.data is new and entry.params == {"p": 1}
    assert entry.expires_at - entry.fetched_at == pytest.approx(timedelta(minutes=1), abs=timedelta(seconds=1))
    assert client._cache._inflight == {}


def test_fetcher_runs_without_the_lock(client):
    taken = []

    def fetcher():
        t = threading.Thread(target=lambda: taken.append(client._cache._lock.acquire(timeout=10)
                                                         and client._cache._lock.release()))
        t.start()
        t.join(15)
        return "data"

    client._fetch_with_cache("ns", (), fetcher=fetcher, **LIVE)
    assert taken == [None]


def test_burst_of_identical_requests_is_one_fetch(client):
    n = 8
    barrier = threading.Barrier(n)
    pair = ("ns", ("AAA", "2024-01-01"))
    # The one fetch finishes only once every other caller has registered.
    fetcher = Counter(before=lambda: wait_until(lambda: client._cache._inflight.get(pair) == n))
    results = [None] * n

    def call(i):
        barrier.wait(10)
        results[i] = client._fetch_with_cache(*pair, fetcher=fetcher, wait_timeout=30.0, wait_interval=0.002,
                                              **LIVE)

    threads = [threading.Thread(target=call, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert fetcher.calls == 1
    assert all(r is fetcher.results[0] for r in results)
    assert client._cache._inflight == {}


def test_waiter_out_of_time_fetches_by_itself(client, fake_time):
    release = threading.Event()
    slow = Counter(before=lambda: release.wait(30))
    mine = Counter()
    holder = []
    first = threading.Thread(target=lambda: holder.append(client._fetch_with_cache("ns", 1, fetcher=slow, **HIST)))
    first.start()
    assert wait_until(lambda: client._cache._inflight.get(("ns", 1)) == 1)
    try:
        got = client._fetch_with_cache("ns", 1, fetcher=mine, wait_timeout=1.0, wait_interval=0.25, **HIST)
    finally:
        release.set()
        first.join(30)
    assert got is mine.results[0] and mine.calls == 1
    assert fake_time.sleeps == [0.25] * 4
    # Whoever stores last wins; the count is back to nothing.
    assert client._cache.get("ns", 1).data is slow.results[0] is holder[0]
    assert client._cache._inflight == {}


@pytest.mark.parametrize("wait_timeout", [0, -1.0, float("nan")])
def test_no_time_to_wait_means_fetch_at_once(client, fake_time, wait_timeout):
    assert client._cache._begin_inflight("ns", "k") is True  # someone else is fetching
    fetcher = Counter()
    got = client._fetch_with_cache("ns", "k", fetcher=fetcher, wait_timeout=wait_timeout, **LIVE)
    assert got is fetcher.results[0] and fake_time.sleeps == []
    assert client._cache._inflight == {("ns", "k"): 1}


def test_waiter_returns_entry_stored_meanwhile(client, fake_time):
    client._cache._begin_inflight("ns", "k")
    stored = object()

    def sleep(seconds):
        fake_time.sleeps.append(seconds)
        client._cache.set("ns", "k", stored)

    fake_time.sleep = sleep
    fetcher = Counter()
    assert client._fetch_with_cache("ns", "k", fetcher=fetcher, wait_interval=0.01, **LIVE) is stored
    assert fetcher.calls == 0 and fake_time.sleeps == [0.01]
    assert client._cache._inflight == {("ns", "k"): 1}


class Boom(Exception):
    pass


def failing():
    raise Boom("no data")


def test_failing_fetcher_leaves_nothing_behind(client):
    with pytest.raises(Boom):
        client._fetch_with_cache("ns", "k", fetcher=failing, **HIST)
    assert client._cache._store == {} and client._cache._inflight == {}
    assert client._fetch_with_cache("ns", "k", fetcher=lambda: "ok", **HIST) == "ok"


def test_waiter_on_a_failed_fetch_fetches_itself(client):
    go = threading.Event()
    errors = []

    def fail_later():
        go.wait(30)
        raise Boom()

    def first():
        try:
            client._fetch_with_cache("ns", "k", fetcher=fail_later, **HIST)
        except Boom as exc:
            errors.append(exc)

    t = threading.Thread(target=first)
    t.start()
    assert wait_until(lambda: client._cache._inflight.get(("ns", "k")) == 1)
    mine = Counter()

    def waiting_fetch():
        return client._fetch_with_cache("ns", "k", fetcher=mine, wait_timeout=0.3, wait_interval=0.005, **HIST)

    waiter_result = []
    w = threading.Thread(target=lambda: waiter_result.append(waiting_fetch()))
    w.start()
    assert wait_until(lambda: client._cache._inflight.get(("ns", "k")) == 2)
    go.set()
    t.join(30)
    w.join(30)
    assert len(errors) == 1
    assert waiter_result == [mine.results[0]] and mine.calls == 1
    assert client._cache._inflight == {}


@pytest.mark.parametrize("where", ["sleep", "monotonic", "get"])
def test_errors_while_waiting_release_the_count(client, fake_time, where):
    target = client._cache if where == "get" else fake_time
    setattr(target, where, lambda *args: failing())
    client._cache._begin_inflight("ns", "k")
    with pytest.raises(Boom):
        client._fetch_with_cache("ns", "k", fetcher=failing, **LIVE)
    assert client._cache._inflight == {("ns", "k"): 1}


def test_negative_interval_is_refused_by_sleep(client):
    client._cache._begin_inflight("ns", "k")
    with pytest.raises(ValueError):
        client._fetch_with_cache("ns", "k", fetcher=failing, wait_interval=-1.0, **LIVE)
    assert client._cache._inflight == {("ns", "k"): 1}


def test_registration_failure_needs_no_release(client):
    ended = []
    client._cache._begin_inflight = lambda ns, key: failing()
    client._cache._end_inflight = lambda ns, key: ended.append(key)
    with pytest.raises(Boom):
        client._fetch_with_cache("ns", "k", fetcher=lambda: 1, **LIVE)
    assert ended == []


def test_storing_failure_propagates_after_release(client):
    def broken_set(*args, **kwargs):
        raise Boom()

    client._cache.set = broken_set
    with pytest.raises(Boom):
        client._fetch_with_cache("ns", "k", fetcher=lambda: 1, **LIVE)
    assert client._cache._inflight == {}


class DictSub(dict):
    pass


FETCH_ERRORS = [
    (dict(live=False, ttl_live=None, ttl_history=None), "_fetch_with_cache() needs keyword-only argument fetcher"),
    (dict(fetcher=failing, ttl_live=None, ttl_history=None), "_fetch_with_cache() needs keyword-only argument live"),
    (dict(HIST, fetcher=failing, params=DictSub()),
     "Argument 'params' has incorrect type (expected dict, got DictSub)"),
    (dict(HIST, fetcher=failing, params=()), "Argument 'params' has incorrect type (expected dict, got tuple)"),
    (dict(HIST, fetcher=failing, wait_timeout="1"), "must be real number, not str"),
    (dict(HIST, fetcher=failing, wait_interval=None), "must be real number, not NoneType"),
    (dict(HIST, fetcher=failing, timeout=1), "_fetch_with_cache() got an unexpected keyword argument 'timeout'"),
    (dict(HIST, fetcher=failing, key=1), "_fetch_with_cache() got multiple values for keyword argument 'key'"),
]


@pytest.mark.parametrize("kwargs, message", FETCH_ERRORS)
def test_fetch_bad_keywords(client, kwargs, message):
    client._cache = SpyCache()
    with pytest.raises(TypeError) as info:
        client._fetch_with_cache("ns", "k", **kwargs)
    assert str(info.value) == message
    assert client._cache.begun == 0


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c._fetch_with_cache("ns", "k", "x", fetcher=failing, **HIST),
         "_fetch_with_cache() takes exactly 3 positional arguments (4 given)"),
        (lambda c: c._fetch_with_cache("ns", fetcher=failing, **HIST),
         "_fetch_with_cache() takes exactly 3 positional arguments (2 given)"),
        (lambda c: c.clear_cache(1), "Argument 'ns' has incorrect type (expected str, got int)"),
        (lambda c: c.clear_cache("a", "b"), "clear_cache() takes at most 2 positional arguments (3 given)"),
        (lambda c: BaseStashLayer.__init__(), "__init__() takes at least 1 positional argument (0 given)"),
    ],
)
def test_bad_positionals(client, call, message):
    with pytest.raises(TypeError) as info:
        call(client)
    assert str(info.value) == message


def test_non_callable_fetcher_releases_the_count(client):
    with pytest.raises(TypeError):
        client._fetch_with_cache("ns", "k", fetcher=None, **HIST)
    assert client._cache._inflight == {} and client._cache._store == {}


def test_wait_values_are_converted_to_float(client, fake_time):
    client._cache._begin_inflight("ns", "k")

    class Seconds:
        def __float__(self):
            return 0.5

    client._fetch_with_cache("ns", "k", fetcher=lambda: 1, wait_timeout=1, wait_interval=Seconds(), **LIVE)
    assert fake_time.sleeps == [0.5, 0.5] and all(type(s) is float for s in fake_time.sleeps)
