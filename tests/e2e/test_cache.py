"""The client's cache seen from the service: what it answers without a
request, what it always sends again, and what clear_cache drops."""
import threading
from datetime import date

import pandas as pd
import pytest

from tests.support import EOD, INTRADAY, ORDERBOOK, STOCK_FLOW, seen
from varnix.exceptions import HttpError

TODAY = date.today().isoformat()  # the client's notion of the latest trading day

HISTORICAL = {
    "daily": (lambda c: c.daily(["VNM", "FPT"], "2025-01-02", "2025-03-31"), [EOD, EOD]),
    "intraday": (lambda c: c.intraday("FPT", "2025-06-02", "2025-06-02", "15m"), [INTRADAY]),
    "orderbook": (lambda c: c.orderbook("VNM", "2025-06-03"), [ORDERBOOK]),
    "investor": (lambda c: c.investor_flows(["VNM"], "2025-03-03", "2025-03-31"), [STOCK_FLOW]),
}


@pytest.mark.parametrize("name", list(HISTORICAL))
def test_historical_call_is_answered_by_the_cache(sim, client, name):
    call, paths = HISTORICAL[name]
    first = call(client)
    assert [p for _, p in seen(sim)] == paths
    assert len(first) > 0
    assert call(client) is first
    assert call(client) is first
    assert [p for _, p in seen(sim)] == paths


@pytest.mark.parametrize("call", [
    lambda c: c.daily(["VNM"], "2026-01-05", None),
    lambda c: c.daily(["VNM"], "2026-01-05", TODAY),
    lambda c: c.intraday("VNM", "2026-01-15", None, "5m"),
    lambda c: c.orderbook("VNM", None),
    lambda c: c.investor_flows(["VNM"], "2026-01-05", TODAY),
], ids=["daily-open-end", "daily-today", "intraday-open-end", "orderbook-latest", "investor-today"])
def test_live_call_is_sent_again(sim, client, call):
    first = call(client)
    assert len(sim.requests) == 1
    assert len(first) > 0
    second = call(client)
    assert len(sim.requests) == 2
    assert second is not first
    pd.testing.assert_frame_equal(second, first)
    assert sim.requests[0].path == sim.requests[1].path
    assert sim.requests[0].query == sim.requests[1].query


def test_open_ended_daily_call_runs_to_the_services_today(sim, client):
    df = client.daily(["VNM"], "2026-01-05", None)
    assert df["time"].max() == pd.Timestamp("2026-01-15")
    assert "end" not in sim.requests[0].query


def test_arguments_that_change_the_result_are_separate_entries(sim, client):
    daily = client.daily(["VNM"], "2025-01-02", "2025-03-31")
    weekly = client.daily(["VNM"], "2025-01-02", "2025-03-31", "1W")
    assert [r.params["interval"] for r in sim.requests] == ["1D", "1W"]
    assert len(weekly) < len(daily)
    assert weekly["volume"].sum() == daily["volume"].sum()
    assert client.daily(["VNM"], "2025-01-02", "2025-03-31") is daily
    assert client.daily(["VNM"], "2025-01-02", "2025-03-31", "1W") is weekly
    assert len(sim.requests) == 2


def test_clear_cache_by_namespace_and_whole(sim, client):
    daily = client.daily(["VNM"], "2025-01-02", "2025-03-31")
    intraday = client.intraday("FPT", "2025-06-02", "2025-06-02", "15m")
    assert len(sim.requests) == 2

    client.clear_cache("eod")
    daily_again = client.daily(["VNM"], "2025-01-02", "2025-03-31")
    assert daily_again is not daily
    pd.testing.assert_frame_equal(daily_again, daily)
    assert client.intraday("FPT", "2025-06-02", "2025-06-02", "15m") is intraday
    assert [p for _, p in seen(sim)] == [EOD, INTRADAY, EOD]

    client.clear_cache()
    assert client.daily(["VNM"], "2025-01-02", "2025-03-31") is not daily_again
    assert client.intraday("FPT", "2025-06-02", "2025-06-02", "15m") is not intraday
    assert [p for _, p in seen(sim)] == [EOD, INTRADAY, EOD, EOD, INTRADAY]


def test_failed_fetch_leaves_nothing_cached(sim, client):
    sim.configure(fail_paths={EOD: 503})
    with pytest.raises(HttpError) as info:
        client.daily(["VNM"], "2025-01-02", "2025-03-31")
    assert info.value.status_code == 503
    sim.configure(fail_paths={})
    df = client.daily(["VNM"], "2025-01-02", "2025-03-31")
    assert len(df) > 0
    assert client.daily(["VNM"], "2025-01-02", "2025-03-31") is df
    assert [p for _, p in seen(sim)] == [EOD, EOD]


def test_concurrent_identical_calls_share_one_fetch(sim, client):
    # The answer is slowed a little so that the second caller finds the first in flight.
    sim.configure(delay=0.2)
    barrier = threading.Barrier(2)
    results = [None, None]

    def call(i):
        barrier.wait()
        results[i] = client.daily(["VNM"], "2025-01-02", "2025-03-31")

    threads = [threading.Thread(target=call, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert results[0] is not None and results[0] is results[1]
    assert seen(sim) == [("GET", EOD)]
