"""The cache store: entries, expiry, buckets, in-flight counts, its lock and
the two date helpers."""

import dataclasses
import threading
from datetime import date, datetime, timedelta, timezone

import pandas as pd
import pytest

from private_core import stash_store
from private_core.stash_store import CacheEntry, _Cache, is_today, to_date

NOW = datetime(2024, 5, 17, 10, 30, 0)


class FrozenDatetime(datetime):
    """`datetime` whose now() reads a value the test controls."""

    current = NOW

    @classmethod
    def now(cls, tz=None):
        return cls.current


@pytest.fixture
def frozen(monkeypatch):
    FrozenDatetime.current = NOW
    monkeypatch.setattr(stash_store, "datetime", FrozenDatetime)
    return FrozenDatetime


def test_module_surface():
    names = list(vars(stash_store))
    order = ["CacheKey", "Namespace", "CacheEntry", "_Cache", "to_date", "is_today", "__all__"]
    assert [n for n in names if n in order] == order
    assert names.index("pd") < names.index("CacheKey")
    assert stash_store.__all__ == ["_Cache", "CacheEntry", "CacheKey", "Namespace", "to_date", "is_today"]
    assert stash_store.Namespace is str
    assert stash_store.pd is pd
    assert _Cache.__bases__ == (object,)
    assert _Cache.__doc__ == (
        "\n    Namespace-keyed cache with optional TTL and (optional) singleflight.\n    Thread-safe via RLock.\n    "
    )
    assert _Cache._begin_inflight.__doc__ == (
        "_Cache._begin_inflight(self, ns: Namespace, key: CacheKey) -> bool\n\n"
        "Returns True if caller should fetch; False if another fetch in progress."
    )


def test_entry_is_a_mutable_dataclass():
    fields = dataclasses.fields(CacheEntry)
    assert [f.name for f in fields] == ["data", "fetched_at", "params", "expires_at"]
    a = CacheEntry("d", NOW)
    b = CacheEntry(data="d", fetched_at=NOW)
    assert a == b and a.expires_at is None
    assert a.params == {} and a.params is not b.params
    a.data = "changed"
    assert a.data == "changed"


@pytest.mark.parametrize(
    "expires_at, expired",
    [(None, False), (NOW, True), (NOW - timedelta(microseconds=1), True), (NOW + timedelta(microseconds=1), False)],
)
def test_entry_expiry_is_greater_or_equal(frozen, expires_at, expired):
    assert CacheEntry("d", NOW, expires_at=expires_at).is_expired() is expired


def test_entry_with_aware_expiry_fails_loudly():
    entry = CacheEntry("d", NOW, expires_at=datetime.now(timezone.utc) + timedelta(days=1))
    with pytest.raises(TypeError):
        entry.is_expired()


@pytest.mark.parametrize("flag, inflight", [(True, {}), (1, {}), (False, None), (0, None)])
def test_init_attributes_in_order(flag, inflight):
    cache = _Cache(flag)
    assert list(vars(cache)) == ["_store", "_lock", "_inflight", "_singleflight"]
    assert cache._store == {} and cache._inflight == inflight
    assert cache._singleflight is flag
    assert type(cache._lock) is type(threading.RLock())
    assert vars(_Cache())["_inflight"] == {}
    assert vars(_Cache(enable_singleflight=False))["_inflight"] is None


@pytest.mark.parametrize("ttl", [None, timedelta(0)])
def test_set_without_ttl_never_expires(frozen, ttl):
    cache = _Cache()
    frame = pd.DataFrame({"a": [1]})
    entry = cache.set("ns", ("k",), frame, ttl=ttl)
    assert entry.expires_at is None and entry.fetched_at == NOW
    frozen.current = NOW + timedelta(days=3650)
    assert cache.get("ns", ("k",)) is entry and entry.data is frame


def test_set_with_ttl_expires_and_get_drops_the_entry(frozen):
    cache = _Cache()
    entry = cache.set("ns", "k", "data", ttl=timedelta(minutes=1))
    assert entry.expires_at == NOW + timedelta(minutes=1)
    frozen.current = NOW + timedelta(seconds=59)
    assert cache.get("ns", "k") is entry
    frozen.current = NOW + timedelta(minutes=1)
    assert cache.get("ns", "k") is None
    assert cache._store == {"ns": {}}
    assert cache.get("ns", "k") is None


def test_negative_ttl_is_already_expired():
    cache = _Cache()
    cache.set("ns", "k", "data", ttl=timedelta(seconds=-1))
    assert cache._store["ns"]
    assert cache.get("ns", "k") is None
    assert cache._store == {"ns": {}}


@pytest.mark.parametrize("ns, key", [("other", "k"), ("empty", "k"), ("ns", "missing")])
def test_miss_creates_nothing(ns, key):
    cache = _Cache()
    cache.set("ns", "k", "data")
    cache._store["empty"] = {}
    before = {n: dict(b) for n, b in cache._store.items()}
    assert cache.get(ns, key) is None
    assert cache._store == before


def test_params_kept_by_reference_only_when_non_empty():
    cache = _Cache()
    given = {"symbol": "AAA"}
    assert cache.set("ns", 1, "d", params=given).params is given
    empty = {}
    stored = cache.set("ns", 2, "d", params=empty).params
    assert stored == {} and stored is not empty
    assert cache.set("ns", 3, "d").params == {}


def test_set_replaces_entry_for_the_pair():
    cache = _Cache()
    cache.set("ns", "k", "first")
    second = cache.set("ns", "k", "second")
    assert cache.get("ns", "k") is second and len(cache._store["ns"]) == 1


def test_clear_ns_and_clear_all():
    cache = _Cache()
    cache.set("a", 1, "x")
    cache.set("b", 1, "y")
    cache.clear_ns("missing")
    cache.clear_ns("a")
    assert list(cache._store) == ["b"]
    assert cache._begin_inflight("b", 1) is True
    cache.clear_all()
    assert cache._store == {} and cache._inflight == {("b", 1): 1}


def test_inflight_counts_callers():
    cache = _Cache()
    assert cache._begin_inflight("ns", "k") is True
    assert cache._begin_inflight("ns", "k") is False
    assert cache._begin_inflight("ns", "other") is True
    assert cache._inflight == {("ns", "k"): 2, ("ns", "other"): 1}
    cache._end_inflight("ns", "k")
    assert cache._inflight[("ns", "k")] == 1
    cache._end_inflight("ns", "k")
    cache._end_inflight("ns", "k")  # one end too many: harmless
    cache._end_inflight("never", "begun")
    assert cache._inflight == {("ns", "other"): 1}
    assert cache._begin_inflight("ns", "k") is True


def test_singleflight_off_counts_nothing():
    cache = _Cache(enable_singleflight=False)
    assert [cache._begin_inflight("ns", "k") for _ in range(3)] == [True, True, True]
    assert cache._end_inflight("ns", "k") is None
    assert cache._inflight is None


def test_broken_invariant_is_an_assertion():
    cache = _Cache()
    cache._inflight = None
    for method in (cache._begin_inflight, cache._end_inflight):
        with pytest.raises(AssertionError) as info:
            method("ns", "k")
        assert info.value.args == ()


def test_lock_is_shared_with_python_code():
    """Python code holding `_lock` keeps every other thread out of the store."""
    cache = _Cache()
    cache.set("ns", "k", "data")
    results = []
    with cache._lock:
        worker = threading.Thread(target=lambda: results.append(cache.get("ns", "k")))
        worker.start()
        worker.join(0.2)
        assert worker.is_alive() and results == []
        # Re-entrant: the holder itself gets in.
        assert cache.get("ns", "k").data == "data"
    worker.join(10)
    assert not worker.is_alive() and results[0].data == "data"


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.get([], "k"),
        lambda c: c.get("ns", {}),
        lambda c: c.set([], "k", "d"),
        lambda c: c.set("ns", [], "d"),
        lambda c: c.clear_ns({}),
        lambda c: c._begin_inflight("ns", []),
        lambda c: c._end_inflight("ns", []),
    ],
)
def test_unhashable_parts_raise_and_release_the_lock(call):
    cache = _Cache()
    cache.set("ns", "k", "d")
    with pytest.raises(TypeError):
        call(cache)
    got = []
    worker = threading.Thread(target=lambda: got.append(cache._lock.acquire(timeout=10) and cache._lock.release()))
    worker.start()
    worker.join(15)
    assert got == [None]


def test_failing_set_leaves_consistent_store(monkeypatch):
    cache = _Cache()

    def broken(**kwargs):
        raise RuntimeError("boom")

    monkeypatch.setattr(stash_store, "CacheEntry", broken)
    with pytest.raises(RuntimeError):
        cache.set("ns", "k", "d")
    assert cache._store == {"ns": {}} and cache.get("ns", "k") is None


class DictSub(dict):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.set("ns", "k", "d", params=DictSub()),
         "Argument 'params' has incorrect type (expected dict, got DictSub)"),
        (lambda c: c.set("ns", "k", "d", params=[]), "Argument 'params' has incorrect type (expected dict, got list)"),
        (lambda c: c.set("ns", "k", "d", {}), "set() takes exactly 4 positional arguments (5 given)"),
        (lambda c: c.set("ns", "k"), "set() takes exactly 4 positional arguments (3 given)"),
        (lambda c: c.set("ns", "k", "d", tll=1), "set() got an unexpected keyword argument 'tll'"),
        (lambda c: c.set("ns", "k", "d", ns="x"), "set() got multiple values for keyword argument 'ns'"),
        (lambda c: c.get("ns"), "get() takes exactly 3 positional arguments (2 given)"),
        (lambda c: c.clear_all(1), "clear_all() takes exactly 1 positional argument (2 given)"),
        (lambda c: _Cache(True, False), "__init__() takes at most 2 positional arguments (3 given)"),
        (lambda c: to_date(), "to_date() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_bad_arguments(call, message):
    cache = _Cache()
    with pytest.raises(TypeError) as info:
        call(cache)
    assert str(info.value) == message
    assert cache._store == {}


# ---------------------------------------------------------------------------
def test_to_date_conversions():
    today = datetime.now().date()
    d = date(2024, 1, 31)
    assert to_date(None) == today
    assert to_date(d) is d
    assert to_date(datetime(2024, 1, 31, 23, 59, tzinfo=timezone.utc)) == d
    assert to_date(pd.Timestamp("2024-01-31 08:00")) == d
    assert to_date("2024-01-31") == d
    assert type(to_date("2024-01-31")) is date


@pytest.mark.parametrize("value", ["2024/01/31", "31-01-2024", "", "2024-02-30"])
def test_to_date_bad_strings_raise_strptime_error(value):
    with pytest.raises(ValueError) as info:
        to_date(value)
    assert not str(info.value).startswith("Unsupported")


@pytest.mark.parametrize(
    "value, shown", [(20240131, "<class 'int'>"), (1.5, "<class 'float'>"), (b"2024-01-31", "<class 'bytes'>")]
)
def test_to_date_unsupported_type(value, shown):
    for fn in (to_date, is_today):
        with pytest.raises(ValueError) as info:
            fn(value)
        assert str(info.value) == "Unsupported date type: " + shown


def test_is_today():
    now = datetime.now()
    assert is_today(None) is True
    assert is_today(now) is True
    assert is_today(now.date() - timedelta(days=1)) is False
