"""The cache store: entries and expiry, buckets, in-flight counts, its lock,
and the date helpers."""

import dataclasses
import threading
from datetime import date, datetime, timedelta, timezone

import pandas as pd
import pytest

from private_core import stash_store
from private_core.stash_store import CacheEntry, _Cache, is_today, to_date
from tests.child import assert_clean_exit, run_child

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


def test_python_code_can_take_the_lock():
    cache = _Cache()
    cache.set("ns", "k", "data")
    results = []
    with cache._lock:
        worker = threading.Thread(target=lambda: results.append(cache.get("ns", "k")))
        worker.start()
        worker.join(0.2)
        assert worker.is_alive() and results == []
        assert cache.get("ns", "k").data == "data"  # re-entrant for the holder
    worker.join(10)
    assert results[0].data == "data"


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
     ("2024/01/31", "does not match format"), ("2024-02-30", "day is out of range")],
)
def test_to_date_and_is_today_refuse(value, message):
    for fn in (to_date, is_today):
        with pytest.raises(ValueError, match=message):
            fn(value)


def test_is_today():
    assert is_today(None) is True and is_today(datetime.now()) is True
    assert is_today(date.today() - timedelta(days=1)) is False


def test_fast_paths_give_way_to_changes(monkeypatch):
    # The store's own lock and fields are used directly while nothing was
    # replaced; an RLock subclass, a changed class and a subclass are honoured.
    cache = _Cache()
    cache.set("ns", "k", "d")
    for _ in range(3):
        assert cache.get("ns", "k").data == "d"  # warm-up

    class CountingRLock(type(threading.RLock())):
        entered = 0

        def __enter__(self):
            CountingRLock.entered += 1
            return super().__enter__()

    cache._lock = CountingRLock()
    assert cache.get("ns", "k").data == "d" and CountingRLock.entered == 1

    shadow = cache.set("other", "k", "shadow")
    monkeypatch.setattr(_Cache, "_store", property(lambda self: {"ns": {"k": shadow}}, lambda self, v: None),
                        raising=False)
    assert cache.get("ns", "k") is shadow
    monkeypatch.undo()

    class Sub(_Cache):
        @property
        def _singleflight(self):
            return False

        @_singleflight.setter
        def _singleflight(self, value):
            pass

    assert Sub()._begin_inflight("ns", "k") is True and Sub()._inflight == {}


def test_a_call_site_keeps_checking_types_after_good_calls():
    cache = _Cache()

    def call(params):
        return cache.set("ns", "k", "d", params=params, ttl=None)

    for _ in range(3):
        call({"a": 1})
    with pytest.raises(TypeError, match="Argument 'params' has incorrect type"):
        call(["not", "a", "dict"])


def test_entry_freshness_is_asked_of_a_replaced_is_expired(monkeypatch):
    cache = _Cache()
    entry = cache.set("ns", "k", "d")
    for _ in range(3):
        assert cache.get("ns", "k") is entry  # warm-up: no expiry, not asked
    monkeypatch.setattr(CacheEntry, "is_expired", lambda self: True)
    assert cache.get("ns", "k") is None
    monkeypatch.undo()
    entry = cache.set("ns", "k", "d")
    entry.is_expired = lambda: True  # an instance attribute shadows the method
    assert cache.get("ns", "k") is None


def test_a_getattribute_hook_on_the_class_is_honoured(monkeypatch):
    cache = _Cache()
    cache.set("ns", "k", "d")
    cache.get("ns", "k")
    seen = []

    def spy(self, name):
        seen.append(name)
        return object.__getattribute__(self, name)

    monkeypatch.setattr(_Cache, "__getattribute__", spy)
    assert cache.get("ns", "k").data == "d"
    assert {"_lock", "_store"} <= set(seen)


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


def test_expiry_read_off_the_local_wall_clock():
    """Without a replaced `datetime`, expiry is judged on the local wall
    clock, as datetime.now() gives it: seven hours east of UTC, an entry due
    in 30 s is fresh and one due 30 s ago is stale, through is_expired and
    through get."""
    proc = run_child("""
        import os, time
        os.environ["TZ"] = "ICT-7"
        time.tzset()
        from datetime import datetime, timedelta
        from private_core.stash_store import CacheEntry, _Cache
        cache = _Cache()
        for ns, seconds in (("due", -30), ("fresh", 30)):
            cache._store[ns] = {"k": CacheEntry("d", datetime.now(), expires_at=datetime.now() + timedelta(seconds=seconds))}
        print(cache._store["due"]["k"].is_expired(), cache._store["fresh"]["k"].is_expired(),
              cache.get("due", "k"), cache.get("fresh", "k") is not None)
    """)
    assert_clean_exit(proc, "True False None True")


class _Later(datetime):
    pass


@pytest.mark.parametrize("expires_at, outcome", [
    (datetime.now(timezone.utc) + timedelta(hours=1), TypeError),  # aware against naive now: Python's error
    (_Later(2000, 1, 1), True),
    (_Later(9999, 1, 1), False),
])
def test_expiry_of_other_datetimes(expires_at, outcome):
    entry = CacheEntry("d", NOW, expires_at=expires_at)
    if outcome is TypeError:
        with pytest.raises(TypeError):
            entry.is_expired()
    else:
        assert entry.is_expired() is outcome


def _init_counted(monkeypatch, calls):
    original = CacheEntry.__init__
    monkeypatch.setattr(CacheEntry, "__init__", lambda self, **kw: calls.append(kw) or original(self, **kw))


def _setattr_recorded(monkeypatch, calls):
    monkeypatch.setattr(CacheEntry, "__setattr__",
                        lambda self, n, v: calls.append(n) or object.__setattr__(self, n, v), raising=False)


def _subclass_bound(monkeypatch, calls):
    class Recorded(CacheEntry):
        def __init__(self, **kw):
            calls.append(type(self).__name__)
            super().__init__(**kw)

    monkeypatch.setattr(stash_store, "CacheEntry", Recorded)


@pytest.mark.parametrize("change, seen", [
    (_init_counted, [{"data": "d", "fetched_at": NOW, "params": {}, "expires_at": NOW + timedelta(minutes=1)}]),
    (_setattr_recorded, ["data", "fetched_at", "params", "expires_at"]),
    (_subclass_bound, ["Recorded"]),
])
def test_entries_are_made_by_a_changed_class(frozen, monkeypatch, change, seen):
    """set() makes the module's own entries without running the generated
    __init__; a replaced __init__, a __setattr__ or another class in the
    module's name is used as soon as it is there."""
    cache = _Cache()
    for _ in range(3):
        cache.set("ns", "k", "d", ttl=timedelta(minutes=1))  # warm-up
    assert vars(cache.get("ns", "k")) == {"data": "d", "fetched_at": NOW, "params": {},
                                          "expires_at": NOW + timedelta(minutes=1)}
    calls: list = []
    change(monkeypatch, calls)
    entry = cache.set("ns", "k", "d", ttl=timedelta(minutes=1))
    assert calls == seen and entry.data == "d" and entry.expires_at == NOW + timedelta(minutes=1)


class _HashCounted:
    hashed = 0

    def __hash__(self):
        _HashCounted.hashed += 1
        return 7


class _CountsDict(dict):
    pass


@pytest.mark.parametrize("key, store", [
    (("AAA", 1, 2.5, None, True), dict),
    ((_HashCounted(),), dict),
    ("k", _CountsDict),
])
def test_inflight_claims_as_python_counts_them(key, store):
    """A first claim with a plain key is counted in one lookup; a key whose
    hashing runs Python code, and a dict subclass, see what Python's get then
    store does: two hashes for each begin and each end."""
    cache = _Cache()
    cache._inflight = store()
    _HashCounted.hashed = 0
    claims = [cache._begin_inflight("ns", key) for _ in range(2)]
    counts = dict(cache._inflight)
    cache._end_inflight("ns", key)
    cache._end_inflight("ns", key)
    left = dict(cache._inflight)
    again = cache._begin_inflight("ns", key)
    hashed = _HashCounted.hashed
    assert claims == [True, False] and again is True
    assert counts == {("ns", key): 2} and left == {} and type(cache._inflight) is store
    assert hashed == (10 if isinstance(key[0], _HashCounted) else 0)


def test_an_end_inside_another_end_keeps_both_counts_right():
    """An end looks its pair up with a key tuple the store reuses; an end
    that runs while another holds that tuple (here from the lock's
    __enter__) must not disturb it."""
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


@pytest.mark.parametrize("zone", ["ICT-7", "fold"])
def test_set_stamps_entries_as_datetime_now_would(zone):
    """set() reads the local clock itself while `datetime` is the real one:
    the stamp must be what datetime.now() gives, `fold` included.  "fold"
    is a zone whose summer time ended half an hour ago, so that now is the
    second pass through the repeated hour (fold=1)."""
    proc = run_child(f"""
        import os, time
        from datetime import datetime, timedelta, timezone
        zone = {zone!r}
        if zone == "fold":
            end = datetime.now(timezone.utc) + timedelta(minutes=30)  # local summer time when it ended
            day = end.timetuple().tm_yday
            if end.year % 4 == 0 and day > 59:
                day -= 1  # Jn days never count February 29
            zone = f"AAA0BBB-1,J1/0,J{{day}}/{{end:%H:%M:%S}}"
        os.environ["TZ"] = zone
        time.tzset()
        from private_core.stash_store import _Cache
        before = datetime.now()
        entry = _Cache().set("ns", "k", "d", ttl=timedelta(minutes=5))
        after = datetime.now()
        stamp = entry.fetched_at
        print(type(stamp).__name__, stamp.tzinfo, before <= stamp <= after, stamp.fold == before.fold == after.fold,
              before.fold, entry.expires_at - timedelta(minutes=5) <= stamp)
    """)
    assert_clean_exit(proc, f"datetime None True True {1 if zone == 'fold' else 0} True")


def test_an_inflight_mapping_of_the_callers_sees_keys_of_its_own():
    """A mapping of the caller's as `_inflight` is handed key tuples that
    stay as they were, whatever it keeps of them."""
    class Keeping(dict):
        seen: list = []

        def get(self, k, default=None):
            Keeping.seen.append(k)
            return super().get(k, default)

    cache = _Cache()
    cache._inflight = Keeping()
    cache._begin_inflight("ns", "a")
    cache._end_inflight("ns", "a")
    cache._end_inflight("ns", "b")
    assert Keeping.seen == [("ns", "a"), ("ns", "a"), ("ns", "b")]
