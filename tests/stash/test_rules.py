"""Time-to-live rules and the latest-trading-day test."""

from datetime import date, datetime, timedelta

import pytest

from private_core import stash_rules
from private_core.stash_rules import touches_latest_trading_day

LIVE = ["ttl_intraday_live", "ttl_orderbook_live", "ttl_eod_latest"]
HISTORY = ["ttl_intraday_history", "ttl_eod_history"]


def test_module_surface():
    assert stash_rules.__all__ == [
        "touches_latest_trading_day", "ttl_intraday_live", "ttl_intraday_history",
        "ttl_orderbook_live", "ttl_eod_latest", "ttl_eod_history",
    ]
    names = [n for n in vars(stash_rules) if n in stash_rules.__all__]
    assert names == stash_rules.__all__
    assert stash_rules.is_today is __import__("private_core.stash_store").stash_store.is_today


@pytest.mark.parametrize("name", LIVE)
def test_live_periods_are_one_minute_and_new_each_time(name):
    fn = getattr(stash_rules, name)
    first, second = fn(), fn()
    assert first == timedelta(seconds=60) and type(first) is timedelta
    assert first is not second
    assert fn.__doc__ == f"{name}() -> timedelta"


@pytest.mark.parametrize("name", HISTORY)
def test_historical_periods_never_expire(name):
    fn = getattr(stash_rules, name)
    assert fn() is None
    assert fn.__doc__ == f"{name}() -> Optional[timedelta]"


@pytest.mark.parametrize("name", LIVE + HISTORY)
def test_ttl_functions_take_no_arguments(name):
    with pytest.raises(TypeError) as info:
        getattr(stash_rules, name)(1)
    assert str(info.value) == f"{name}() takes exactly 0 positional arguments (1 given)"


@pytest.mark.parametrize(
    "end, expected",
    [
        (None, True),
        (date.today(), True),
        (datetime.now().replace(hour=0, minute=0, second=0), True),
        (datetime.now().replace(hour=23, minute=59, second=59), True),
        (date.today().isoformat(), True),
        (date.today() - timedelta(days=1), False),
        ((date.today() - timedelta(days=1)).isoformat(), False),
        (date.today() + timedelta(days=1), False),
    ],
)
def test_touches_latest_trading_day(end, expected):
    assert touches_latest_trading_day(end) is expected
    assert touches_latest_trading_day(end=end) is expected


def test_touches_latest_trading_day_reads_is_today_at_each_call(monkeypatch):
    seen = []
    monkeypatch.setattr(stash_rules, "is_today", lambda d: seen.append(d) or "answer")
    assert touches_latest_trading_day("x") == "answer" and seen == ["x"]


@pytest.mark.parametrize("end, message", [(20240131, "Unsupported date type: <class 'int'>"), ("31/01/2024", None)])
def test_touches_latest_trading_day_passes_on_value_errors(end, message):
    with pytest.raises(ValueError) as info:
        touches_latest_trading_day(end)
    if message:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: touches_latest_trading_day(), "touches_latest_trading_day() takes exactly 1 positional argument (0 given)"),
        (lambda: touches_latest_trading_day(None, None),
         "touches_latest_trading_day() takes exactly 1 positional argument (2 given)"),
    ],
)
def test_bad_arguments(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
