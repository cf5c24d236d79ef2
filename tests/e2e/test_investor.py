"""Investor flows through the demo client: the GET fallback when the service
refuses POST, the answer layouts it may choose, and unknown identifiers."""
from http import HTTPStatus

import pandas as pd
import pytest

from demo.main import DemoClient
from tests.support import STOCK_FLOW, seen
from varnix.exceptions import HttpError

RANGE = ("2025-03-03", "2025-04-30")
QUERY = {"group": ["foreign"], "start": [RANGE[0]], "end": [RANGE[1]], "interval": ["1W"]}


@pytest.fixture
def reference(sim, session):
    """The weekly table of a well-behaved service, fetched before any switch is set."""
    table = DemoClient(session).investor_flows(["VNM", "FPT"], *RANGE)
    assert list(table["symbol"].unique()) == ["FPT", "VNM"]
    sim.clear_requests()
    return table


@pytest.mark.parametrize("status", [404, 405])
def test_refused_post_falls_back_to_get(sim, client, reference, status):
    sim.configure(investor_post_status=status)
    table = client.investor_flows(["VNM", "FPT"], *RANGE)
    pd.testing.assert_frame_equal(table, reference)
    assert seen(sim) == [("POST", STOCK_FLOW), ("GET", STOCK_FLOW)] * 2
    posts, gets = sim.requests[0::2], sim.requests[1::2]
    assert [r.json["ids"] for r in posts] == [["VNM"], ["FPT"]]
    assert [r.query for r in gets] == [dict(ids=["VNM"], **QUERY), dict(ids=["FPT"], **QUERY)]
    assert all(r.json is None for r in gets)


@pytest.mark.parametrize("status", [404, 405])
def test_single_id_falls_back_with_the_id_as_text(sim, client, reference, status):
    sim.configure(investor_post_status=status)
    table = client.investor_flows(["VNM"], *RANGE)
    pd.testing.assert_frame_equal(table, reference[reference["symbol"] == "VNM"].reset_index(drop=True))
    assert seen(sim) == [("POST", STOCK_FLOW), ("GET", STOCK_FLOW)]
    assert sim.requests[1].query == dict(ids=["VNM"], **QUERY)


@pytest.mark.parametrize("status, methods", [
    (404, ["POST", "GET"]),  # the fallback is tried once and its failure is what the user gets
    (405, ["POST", "GET"]),
    (500, ["POST"]),
    (503, ["POST"]),
])
def test_failures_that_the_fallback_cannot_mend(sim, client, status, methods):
    sim.configure(fail_paths={STOCK_FLOW: status})
    with pytest.raises(HttpError) as info:
        client.investor_flows(["VNM", "FPT"], *RANGE)
    assert str(info.value) == "Varnix backend returned HTTP %d for %s: %s" % (
        status, sim.base_url + STOCK_FLOW, HTTPStatus(status).phrase)
    assert info.value.status_code == status
    assert isinstance(info.value.payload, dict) and info.value.payload["detail"]
    # The batch stops at its first id.
    assert seen(sim) == [(m, STOCK_FLOW) for m in methods]


@pytest.mark.parametrize("shape", ["list", "by_id"])
def test_every_answer_layout_gives_the_same_table(sim, client, reference, shape):
    sim.configure(investor_shape=shape)
    pd.testing.assert_frame_equal(client.investor_flows(["VNM", "FPT"], *RANGE), reference)


def test_by_id_layout_under_get_fallback(sim, client, reference):
    sim.configure(investor_shape="by_id", investor_post_status=405)
    pd.testing.assert_frame_equal(client.investor_flows(["VNM", "FPT"], *RANGE), reference)


def test_unknown_symbol_gives_no_rows_and_no_error(sim, client, reference):
    # The service's "error" field is not read by the investor engine: an unknown
    # id simply contributes nothing to the table.
    sim.configure(unknown_symbols={"XYZ"})
    alone = client.investor_flows(["xyz"], *RANGE)
    assert alone.shape == (0, 0)
    mixed = client.investor_flows(["VNM", "XYZ"], *RANGE)
    pd.testing.assert_frame_equal(mixed, reference[reference["symbol"] == "VNM"].reset_index(drop=True))
    assert [r.json["ids"] for r in sim.requests] == [["xyz"], ["VNM"], ["XYZ"]]
