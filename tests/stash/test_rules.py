"""Time-to-live rules and the latest-trading-day test."""

from datetime import date, datetime, timedelta

import pytest

from private_core import stash_rules, stash_store

LIVE = ["ttl_intraday_live", "ttl_orderbook_live", "ttl_eod_latest"]
HISTORY = ["ttl_intraday_history", "ttl_eod_history"]


def test_module_surface():
    assert stash_rules.__all__ == ["touches_latest_trading_day", "ttl_intraday_live", "ttl_intraday_history",
                                   "ttl_orderbook_live", "ttl_eod_latest", "ttl_eod_history"]
    assert [n for n in vars(stash_rules) if n in stash_rules.__all__] == stash_rules.__all__
    assert stash_rules.is_today is stash_store.is_today


@pytest.mark.parametrize("name", LIVE + HISTORY)
def test_ttl_values(name):
    fn = getattr(stash_rules, name)
    if name in LIVE:
        assert fn() == timedelta(seconds=60) and fn() is not fn()
        assert fn.__doc__ == f"{name}() -> timedelta"
    else:
        assert fn() is None and fn.__doc__ == f"{name}() -> Optional[timedelta]"
    with pytest.raises(TypeError, match=r"takes exactly 0 positional arguments \(1 given\)"):
        fn(1)


today = date.today()


@pytest.mark.parametrize(
    "end, expected",
    [(None, True), (today, True), (datetime.combine(today, datetime.min.time()), True), (today.isoformat(), True),
     (today - timedelta(days=1), False), ((today - timedelta(days=1)).isoformat(), False)],
)
def test_touches_latest_trading_day(end, expected):
    assert stash_rules.touches_latest_trading_day(end) is expected
    assert stash_rules.touches_latest_trading_day(end=end) is expected


@pytest.mark.parametrize("end, message", [(20240131, r"^Unsupported date type: <class 'int'>$"),
                                          ("31/01/2024", "does not match format")])
def test_touches_latest_trading_day_passes_on_value_errors(end, message):
    with pytest.raises(ValueError, match=message):
        stash_rules.touches_latest_trading_day(end)


class _FrozenClock(datetime):
    @classmethod
    def now(cls, tz=None):
        return cls(2026, 12, 9, 10, 30)


@pytest.mark.parametrize("end, expected", [(None, True), ("2026-12-09", True), ("2026-12-31", True),
                                           (date(2027, 1, 5), True), ("2026-12-08", False),
                                           (_FrozenClock(2026, 12, 8, 23, 59), False)])
def test_a_range_that_ends_after_today_is_live(monkeypatch, end, expected):
    # Cached as history, "everything through year-end" would never see
    # today's or later bars again.
    monkeypatch.setattr(stash_store, "datetime", _FrozenClock)
    assert stash_rules.touches_latest_trading_day(end) is expected
