"""The cache store: entries and expiry, buckets, in-flight counts, its lock,
and the date helpers."""

import dataclasses
import threading
from datetime import date, datetime, timedelta, timezone

import pandas as pd
import pytest

from private_core import stash_store
from private_core.stash_store import CacheEntry, _Cache, is_today, to_date

NOW = datetime(2024, 5, 17, 10, 30)


class FrozenDatetime(datetime):
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
    order = ["CacheKey", "Namespace", "CacheEntry", "_Cache", "to_date", "is_today", "__all__"]
    assert [n for n in vars(stash_store) if n in order] == order
    assert stash_store.__all__ == ["_Cache", "CacheEntry", "CacheKey", "Namespace", "to_date", "is_today"]
    assert stash_store.Namespace is str
    assert _Cache.__doc__ == (
        "\n    Namespace-keyed cache with optional TTL and (optional) singleflight.\n    Thread-safe via RLock.\n    ")
    assert _Cache._begin_inflight.__doc__.endswith(
        "\n\nReturns True if caller should fetch; False if another fetch in progress.")


def test_entry_is_a_plain_dataclass():
    assert [f.name for f in dataclasses.fields(CacheEntry)] == ["data", "fetched_at", "params", "expires_at"]
    a, b = CacheEntry("d", NOW), CacheEntry(data="d", fetched_at=NOW)
    assert a == b and a.expires_at is None and a.params == {} and a.params is not b.params
    a.data = "changed"


@pytest.mark.parametrize("offset, expired", [(None, False), (0, True), (-1, True), (1, False)])
def test_entry_expires_from_the_very_instant(frozen, offset, expired):
    at = None if offset is None else NOW + timedelta(microseconds=offset)
    assert CacheEntry("d", NOW, expires_at=at).is_expired() is expired


@pytest.mark.parametrize("flag, inflight", [(True, {}), (1, {}), (False, None), (0, None)])
def test_init(flag, inflight):
    cache = _Cache(flag)
    assert list(vars(cache)) == ["_store", "_lock", "_inflight", "_singleflight"]
    assert cache._store == {} and cache._inflight == inflight and cache._singleflight is flag
    assert type(cache._lock) is type(threading.RLock())


@pytest.mark.parametrize(
    "ttl, later, kept",
    [(None, timedelta(days=3650), True), (timedelta(0), timedelta(days=3650), True),
     (timedelta(minutes=1), timedelta(seconds=59), True), (timedelta(minutes=1), timedelta(minutes=1), False),
     (timedelta(seconds=-1), timedelta(0), False)],
)
def test_set_then_get_over_time(frozen, ttl, later, kept):
    cache = _Cache()
    frame = pd.DataFrame({"a": [1]})
    entry = cache.set("ns", ("k",), frame, ttl=ttl)
    assert entry.fetched_at == NOW and entry.expires_at == (NOW + ttl if ttl else None)
    frozen.current = NOW + later
    got = cache.get("ns", ("k",))
    assert (got is entry and got.data is frame) if kept else got is None
    assert cache._store == {"ns": {("k",): entry} if kept else {}}  # an emptied bucket stays


@pytest.mark.parametrize("ns, key", [("other", "k"), ("empty", "k"), ("ns", "missing")])
def test_miss_creates_nothing(ns, key):
    cache = _Cache()
    cache.set("ns", "k", "data")
    cache._store["empty"] = {}
    before = {n: dict(b) for n, b in cache._store.items()}
    assert cache.get(ns, key) is None and cache._store == before


def test_params_kept_only_when_non_empty_and_later_set_wins():
    cache = _Cache()
    given, empty = {"symbol": "AAA"}, {}
    assert cache.set("ns", 1, "d", params=given).params is given
    stored = cache.set("ns", 1, "d", params=empty)
    assert stored.params == {} and stored.params is not empty
    assert cache.get("ns", 1) is stored and len(cache._store["ns"]) == 1


def test_clear_ns_and_clear_all():
    cache = _Cache()
    cache.set("a", 1, "x")
    cache.set("b", 1, "y")
    cache.clear_ns("missing")
    cache.clear_ns("a")
    assert list(cache._store) == ["b"]
    cache._begin_inflight("b", 1)
    cache.clear_all()
    assert cache._store == {} and cache._inflight == {("b", 1): 1}


def test_inflight_counts_every_caller():
    cache = _Cache()
    assert [cache._begin_inflight("ns", "k") for _ in range(2)] == [True, False]
    assert cache._begin_inflight("ns", "other") is True
    assert cache._inflight == {("ns", "k"): 2, ("ns", "other"): 1}
    for _ in range(3):  # one end too many is harmless
        cache._end_inflight("ns", "k")
    assert cache._inflight == {("ns", "other"): 1}
    assert cache._begin_inflight("ns", "k") is True
    off = _Cache(enable_singleflight=False)
    assert [off._begin_inflight("ns", "k") for _ in range(2)] == [True, True]
    off._end_inflight("ns", "k")
    assert off._inflight is None


def test_python_code_can_take_the_lock(monkeypatch):
    """The holder may re-enter; a get waiting for the lock reads the store
    as it is once it has the lock, through a property the holder added to
    the class meanwhile."""
    cache = _Cache()
    cache.set("ns", "k", "data")
    shadow = CacheEntry("shadow", NOW)
    results = []
    with cache._lock:
        worker = threading.Thread(target=lambda: results.append(cache.get("ns", "k")))
        worker.start()
        worker.join(0.2)
        assert worker.is_alive() and results == []
        assert cache.get("ns", "k").data == "data"  # re-entrant for the holder
        monkeypatch.setattr(_Cache, "_store", property(lambda self: {"ns": {"k": shadow}}), raising=False)
    worker.join(10)
    assert results == [shadow]


@pytest.mark.parametrize(
    "call", [lambda c: c.get([], "k"), lambda c: c.set("ns", [], "d"), lambda c: c._begin_inflight("ns", [])])
def test_errors_inside_the_lock_release_it(call):
    cache = _Cache()
    cache.set("ns", "k", "d")
    with pytest.raises(TypeError):
        call(cache)
    got = []

    def take_and_give_back():
        got.append(cache._lock.acquire(timeout=10))
        cache._lock.release()

    worker = threading.Thread(target=take_and_give_back)
    worker.start()
    worker.join(15)
    assert got == [True]


class SpyLock:
    """A context manager only (no acquire/release), recording its use."""

    def __init__(self, swallow=False):
        self.events, self.swallow = [], swallow

    def __enter__(self):
        self.events.append("enter")
        return self

    def __exit__(self, exc_type, exc, tb):
        self.events.append(("exit", exc_type))
        return self.swallow


@pytest.mark.parametrize("call, result", [
    (lambda c: c.get("ns", "k"), "entry"),
    (lambda c: c.set("ns", "k2", "d").data, "d"),
    (lambda c: c.clear_ns("other"), None),
    (lambda c: c.clear_all(), None),
    (lambda c: c._begin_inflight("ns", "k"), True),
    (lambda c: c._end_inflight("ns", "k"), None),
])
def test_locked_sections_are_with_blocks(call, result):
    cache = _Cache()
    entry = cache.set("ns", "k", "d")
    cache._lock = spy = SpyLock()
    got = call(cache)
    assert (entry if result == "entry" else result) == got
    assert spy.events == ["enter", ("exit", None)]


def test_lock_exit_sees_the_error_and_may_swallow_it():
    cache = _Cache()
    cache._lock = spy = SpyLock()
    with pytest.raises(TypeError):
        cache.get([], "k")
    assert spy.events == ["enter", ("exit", TypeError)]
    cache._lock = SpyLock(swallow=True)
    assert cache.get([], "k") is None
    assert cache.set("ns", [], "d") is None and cache._store == {"ns": {}}


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.set("ns", "k", "d", params=type("Sub", (dict,), {})()),
         "Argument 'params' has incorrect type (expected dict, got Sub)"),
        (lambda c: c.set("ns", "k", "d", {}), "set() takes exactly 4 positional arguments (5 given)"),
        (lambda c: c.set("ns", "k", "d", tll=1), "set() got an unexpected keyword argument 'tll'"),
        (lambda c: c.get("ns"), "get() takes exactly 3 positional arguments (2 given)"),
    ],
)
def test_bad_arguments(call, message):
    cache = _Cache()
    with pytest.raises(TypeError, match="^" + message.replace("(", r"\(").replace(")", r"\)") + "$"):
        call(cache)
    assert cache._store == {}


D = date(2024, 1, 31)


@pytest.mark.parametrize(
    "value, expected",
    [(D, D), (datetime(2024, 1, 31, 23, 59, tzinfo=timezone.utc), D), (pd.Timestamp("2024-01-31 08:00"), D),
     ("2024-01-31", D), (None, "today")],
)
def test_to_date(value, expected):
    got = to_date(value)
    assert type(got) is date and got == (datetime.now().date() if expected == "today" else expected)
    if isinstance(value, date) and not isinstance(value, datetime):
        assert got is value


@pytest.mark.parametrize(
    "value, message",
    [(20240131, "Unsupported date type: <class 'int'>"), (b"2024-01-31", "Unsupported date type: <class 'bytes'>"),
     ("2024/01/31", "does not match format"), ("2024-02-30", "day (is out of range|30 must be in range)")],
)
def test_to_date_and_is_today_refuse(value, message):
    for fn in (to_date, is_today):
        with pytest.raises(ValueError, match=message):
            fn(value)


def test_is_today():
    assert is_today(None) is True and is_today(datetime.now()) is True
    assert is_today(date.today() - timedelta(days=1)) is False


def test_a_call_site_keeps_checking_types_after_good_calls():
    cache = _Cache()

    def call(params):
        return cache.set("ns", "k", "d", params=params, ttl=None)

    for _ in range(3):
        call({"a": 1})
    with pytest.raises(TypeError, match="Argument 'params' has incorrect type"):
        call(["not", "a", "dict"])


class _EnterOnly:
    def __enter__(self):
        return self


class _ExitOnly:
    def __exit__(self, *exc):
        return False


@pytest.mark.parametrize("lock", [1, _EnterOnly(), _ExitOnly()])
def test_a_lock_that_is_no_context_manager_fails_as_with_does(lock):
    cache = _Cache()
    cache._lock = lock
    with pytest.raises(TypeError) as ours:
        cache.get("ns", "k")
    with pytest.raises(TypeError) as python:
        with lock:
            pass
    assert str(ours.value) == str(python.value)


def test_an_exit_that_reraises_does_not_chain_an_error_to_itself():
    class Reraise:
        def __enter__(self):
            return self

        def __exit__(self, exc_type, exc, tb):
            raise exc

    cache = _Cache()
    cache._lock = Reraise()
    with pytest.raises(TypeError) as info:
        cache.get([], "k")
    assert info.value.__context__ is not info.value


def test_an_end_inside_another_end_keeps_both_counts_right():
    """An end that runs inside another (here from the lock's __enter__)
    leaves both counts right."""
    cache = _Cache()
    for key in ("a", "a", "b"):
        cache._begin_inflight("ns", key)

    class Reentrant:
        def __enter__(self):
            cache._lock = threading.RLock()
            cache._end_inflight("ns", "b")

        def __exit__(self, *exc):
            return False

    cache._lock = Reentrant()
    cache._end_inflight("ns", "a")
    assert cache._inflight == {("ns", "a"): 1}


@pytest.mark.parametrize("key", ["k", ("b", 2), ("AAA", 1, 2.5, None, True), (("nested", (1, 2)), frozenset({3}))])
def test_balanced_rounds_leave_no_counts(key):
    cache = _Cache()
    for _ in range(5):
        assert [cache._begin_inflight("ns", key) for _ in range(2)] == [True, False]
        cache._end_inflight("ns", key)
        cache._end_inflight("ns", key)
        assert cache._inflight == {}


class _Collider:
    """A key already in `_inflight` whose hash equals the pair's, and whose
    __eq__ keeps whatever it is compared with."""

    def __init__(self, pair):
        self.pair, self.seen = pair, []

    def __hash__(self):
        return hash(self.pair)

    def __eq__(self, other):
        self.seen.append(other)
        return False


def test_a_key_kept_by_a_colliding_eq_stays_as_it_was():
    cache = _Cache()
    collider = _Collider(("ns", "k"))
    cache._inflight[collider] = 1
    cache._begin_inflight("ns", "k")
    cache._end_inflight("ns", "k")
    cache._end_inflight("ns", "other")  # hashes elsewhere: no comparison
    assert collider.seen and all(seen == ("ns", "k") for seen in collider.seen)
    assert cache._inflight == {collider: 1}
