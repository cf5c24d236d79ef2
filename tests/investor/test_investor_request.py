"""Payload rules, the query form of a payload, and the one GET fallback."""

from __future__ import annotations

import json
from datetime import date, datetime

import pytest
import requests

from tests.support import API_ROOT, STOCK_FLOW, FakeSession
from varnix.exceptions import HttpError

URL = API_ROOT + STOCK_FLOW


@pytest.mark.parametrize(
    "params, expected",
    [
        ({"ids": ["VNM", " ", " FPT "], "group": None}, {"ids": ["VNM", "FPT"]}),
        ({"ids": [None, "VNM"]}, {"ids": ["None", "VNM"]}),
        ({"ids": ("A", " b ")}, {"ids": ["A", "b"]}),
        ({"ids": {"VNM"}}, {"ids": ["{'VNM'}"]}),
        ({"ids": " VNM "}, {"ids": ["VNM"]}),
        ({"ids": "  "}, {"ids": [""]}),
        ({"ids": []}, {"ids": []}),
        ({"group": " Foreign ", "interval": " 1w "}, {"group": "foreign", "interval": "1W"}),
        ({"group": "   ", "interval": ""}, {"group": "   ", "interval": ""}),
        ({"start": datetime(2024, 1, 5, 13, 45), "end": date(2024, 2, 1)}, {"start": "2024-01-05", "end": "2024-02-01"}),
        ({"start": " 2024-01-05 ", "end": 20240105}, {"start": "2024-01-05", "end": "20240105"}),
        ({"page": 0, "note": "", "skip": None, "extra": [1]}, {"page": 0, "note": "", "extra": [1]}),
    ],
)
def test_prepare_payload(engine, params, expected):
    before = dict(params)
    payload = engine._prepare_payload(params)
    assert payload == expected and list(payload) == list(expected)
    assert params == before


@pytest.mark.parametrize(
    "ids, expected",
    [(["VNM", " ", " FPT"], "VNM,FPT"), ([], ""), ([" "], ""), (("A", 1), "A,1"), ("VNM, FPT", "VNM, FPT"),
     (b"VNM", b"VNM"), (7, 7)],
)
def test_query_form_joins_ids(engine, ids, expected):
    query = engine._to_query_params({"group": "foreign", "ids": ids, "x": [1, 2]})
    assert query == {"group": "foreign", "ids": expected, "x": [1, 2]}
    assert list(query) == ["group", "ids", "x"]


@pytest.mark.parametrize(
    "post_status, get_status, outcome, methods",
    [
        (405, 200, [{"a": 1}], ["POST", "GET"]),
        (404, 200, [{"a": 1}], ["POST", "GET"]),
        (500, None, 500, ["POST"]),
        (404, 405, 405, ["POST", "GET"]),
        (200, None, requests.JSONDecodeError, ["POST"]),
    ],
)
def test_one_get_fallback_on_404_or_405(httpserver, session, engine, post_status, get_status, outcome, methods):
    post_body = "<html>" if post_status == 200 else json.dumps({"detail": "no"})
    httpserver.expect_ordered_request(URL, method="POST").respond_with_data(post_body, status=post_status)
    if get_status:
        httpserver.expect_ordered_request(URL, method="GET").respond_with_json([{"a": 1}], status=get_status)
    engine.session = session
    payload = {"ids": ["VNM"], "group": "foreign", "empty": []}
    if isinstance(outcome, list):
        assert engine._request(STOCK_FLOW, payload) == outcome
    else:
        with pytest.raises(HttpError if isinstance(outcome, int) else outcome) as err:
            engine._request(STOCK_FLOW, payload)
        assert isinstance(outcome, type) or err.value.status_code == outcome
    seen = [req for req, _ in httpserver.log]
    assert [req.method for req in seen] == methods
    assert json.loads(seen[0].data) == payload
    if len(seen) == 2:
        assert seen[1].args.to_dict(flat=False) == {"ids": ["VNM"], "group": ["foreign"]}


def test_empty_ids_go_as_empty_query_value(httpserver, session, engine):
    httpserver.expect_ordered_request(URL, method="POST").respond_with_data("", status=405)
    httpserver.expect_ordered_request(URL, method="GET", query_string="ids=").respond_with_json(None)
    engine.session = session
    assert engine._request(STOCK_FLOW, {"ids": []}) is None


@pytest.mark.parametrize("error", [ConnectionError("down"), HttpError("boom", status_code=500), HttpError("transport")])
def test_other_errors_propagate_as_they_are(engine, error):
    def answer(method, path, sent):
        raise error

    engine.session = FakeSession(answer)
    with pytest.raises(type(error)) as err:
        engine._request(STOCK_FLOW, {})
    assert err.value is error and len(engine.session.calls) == 1
