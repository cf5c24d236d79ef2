from datetime import date

import pytest

PAIRS = [
    ("stock", "flow", ["VNM", "FPT"]), ("stock", "breakdown", ["VNM"]), ("stock", "foreign_room", ["vcb", "FPT"]),
    ("market", "flow", ["VNINDEX"]), ("market", "breakdown", ["VN30", "HNXINDEX"]),
    ("sector", "flow", ["8300"]), ("sector", "breakdown", ["9500", "8600"]), ("sector", "foreign_room", ["8300"]),
]
DISJOINT = ("proprietary", "local_institutional", "local_individual", "foreign_institutional", "foreign_individual")
BASE = {"group": "foreign", "start": "2025-06-02", "end": "2025-06-13", "interval": "1D"}


def endpoint(namespace, operation):
    return "/market-data/investor/" + namespace + "/" + operation


def post_rows(api, namespace, operation, **params):
    return api.rows(api.post(endpoint(namespace, operation), dict(BASE, **params)))


@pytest.mark.parametrize("namespace, operation, ids", PAIRS)
def test_post_and_get_answer_the_same_rows(api, namespace, operation, ids):
    rows = post_rows(api, namespace, operation, ids=ids)
    query = dict(BASE, ids=",".join(ids))
    assert api.data(endpoint(namespace, operation), **query) == rows
    field = "icb" if namespace == "sector" else "symbol"
    expected_ids = [i.upper() for i in ids]
    assert [r[field] for r in rows] == [i for i in expected_ids for _ in range(10)]
    assert {r["date"] for r in rows} == {d.isoformat() for d in (date(2025, 6, n) for n in range(2, 14)) if d.weekday() < 5}


def test_group_flows_balance_against_daily_volume(api):
    start, end = "2025-05-05", "2025-05-16"
    bars = {b["time"]: b for b in api.data("/market-data/eod/ohlcv", symbol="HPG", start=start, end=end)}
    flows = {g: post_rows(api, "stock", "flow", ids=["HPG"], group=g, start=start, end=end) for g in DISJOINT + ("foreign", "all")}
    for i, day in enumerate(sorted(bars)):
        parts = [flows[g][i] for g in DISJOINT]
        assert all(p["date"] == day for p in parts)
        assert sum(p["buy_volume"] for p in parts) == sum(p["sell_volume"] for p in parts) == bars[day]["volume"]
        assert sum(p["net_value"] for p in parts) == 0
        foreign = flows["foreign"][i]
        assert foreign["net_volume"] == parts[3]["net_volume"] + parts[4]["net_volume"]
        assert flows["all"][i]["buy_volume"] == bars[day]["volume"] and flows["all"][i]["net_volume"] == 0
        for row in parts + [foreign]:
            assert row["buy_volume"] % 100 == 0 and row["net_volume"] == row["buy_volume"] - row["sell_volume"]
            assert row["net_value"] == row["buy_value"] - row["sell_value"]


def test_breakdown_carries_every_group_or_the_one_asked(api):
    everything = post_rows(api, "stock", "breakdown", ids=["VNM"], group="all")
    assert {k.rsplit("_", 2)[0] for k in everything[0] if k.endswith("_net_value")} == set(DISJOINT) | {"foreign"}
    assert all(sum(r[g + "_net_value"] for g in DISJOINT) == 0 for r in everything)
    only = post_rows(api, "stock", "breakdown", ids=["VNM"], group=" Proprietary ")
    assert set(only[0]) == {"date", "symbol", "proprietary_buy_value", "proprietary_sell_value", "proprietary_net_value", "proprietary_net_volume"}
    assert [r["proprietary_net_value"] for r in only] == [r["proprietary_net_value"] for r in everything]


def test_foreign_room_is_consistent(api):
    rows = post_rows(api, "stock", "foreign_room", ids=["VCB", "FPT"], start="2025-01-01", end="2025-06-30")
    for row in rows:
        assert row["foreign_limit_ratio"] == (0.30 if row["symbol"] == "VCB" else 0.49)
        assert row["foreign_limit_shares"] == int(row["outstanding_shares"] * row["foreign_limit_ratio"])
        assert row["foreign_holding_shares"] + row["foreign_room_shares"] == row["foreign_limit_shares"]
        assert 0 <= row["foreign_holding_shares"] <= row["foreign_limit_shares"]


@pytest.mark.parametrize("interval", ["1w", "1M"])
def test_coarser_intervals_sum_flows_and_keep_last_holdings(api, interval):
    params = {"ids": ["FPT"], "start": "2025-03-01", "end": "2025-05-31"}
    daily = post_rows(api, "stock", "flow", **params)
    rolled = post_rows(api, "stock", "flow", interval=interval, **params)
    key = (lambda d: d.isocalendar()[:2]) if interval == "1w" else (lambda d: (d.year, d.month))
    buckets = {}
    for row in daily:
        buckets.setdefault(key(date.fromisoformat(row["date"])), []).append(row)
    assert [r["date"] for r in rolled] == [rows[-1]["date"] for rows in buckets.values()]
    assert [r["net_value"] for r in rolled] == [sum(x["net_value"] for x in rows) for rows in buckets.values()]
    room_daily = post_rows(api, "stock", "foreign_room", **params)
    room = post_rows(api, "stock", "foreign_room", interval=interval, **params)
    last = {r["date"]: r for r in room_daily}
    assert all(r == last[r["date"]] for r in room)


def test_alternative_answer_layouts(api, sim):
    envelope = post_rows(api, "sector", "flow", ids=["8300", "9500"])
    sim.configure(investor_shape="list")
    assert api.post(endpoint("sector", "flow"), dict(BASE, ids=["8300", "9500"])).json() == envelope
    sim.configure(investor_shape="by_id")
    by_id = api.post(endpoint("sector", "flow"), dict(BASE, ids=["8300", "9500"])).json()
    assert list(by_id) == ["8300", "9500"]
    assert [dict(r, icb=k) for k, rows in by_id.items() for r in rows] == envelope


@pytest.mark.parametrize("namespace, ids, message", [
    ("market", ["VNX"], "Unknown market index VNX"),
    ("sector", ["1234"], "Unknown ICB code 1234"),
    ("stock", ["FPT", "V N M"], "Unknown symbol V N M"),
])
def test_unknown_identifiers_answer_an_error_field(api, namespace, ids, message):
    response = api.post(endpoint(namespace, "flow"), dict(BASE, ids=ids))
    assert response.status_code == 200 and response.json() == {"error": message, "data": []}


@pytest.mark.parametrize("changes", [
    {"ids": []}, {"ids": [" "]}, {"ids": None}, {"group": "retail"}, {"interval": "5m"},
    {"start": "2025-06-20", "end": "2025-06-01"}, {"start": "June"}, {"ids": ["X%d" % i for i in range(60)]},
])
def test_bad_investor_parameters_answer_400(api, changes):
    response = api.post(endpoint("stock", "flow"), {**BASE, "ids": ["FPT"], **changes})
    assert response.status_code == 400 and response.json()["detail"]


@pytest.mark.parametrize("path", ["/market-data/investor/market/foreign_room", "/market-data/investor/bond/flow", "/market-data/investor/stock"])
def test_pairs_that_do_not_exist_answer_404(api, path):
    assert api.post(path, dict(BASE, ids=["FPT"])).status_code == 404
