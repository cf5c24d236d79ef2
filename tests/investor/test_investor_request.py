"""Payload rules, the query form of a payload, and the one GET fallback."""

from __future__ import annotations

import json
from datetime import date, datetime

import pytest
import requests
from werkzeug import Response

from investor_fakes import API_ROOT, FakeSession
from varnix.exceptions import HttpError

ENDPOINT = "/market-data/investor/stock/flow"
URL = API_ROOT + ENDPOINT


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


@pytest.mark.parametrize("status", [404, 405])
def test_post_refused_falls_back_to_one_get(httpserver, session, status, engine):
    httpserver.expect_ordered_request(URL, method="POST").respond_with_json({"detail": "no"}, status=status)
    httpserver.expect_ordered_request(URL, method="GET").respond_with_json([{"a": 1}])
    engine.session = session
    assert engine._request(ENDPOINT, {"ids": ["VNM"], "group": "foreign", "empty": []}) == [{"a": 1}]
    post, get = (req for req, _ in httpserver.log)
    assert json.loads(post.data) == {"ids": ["VNM"], "group": "foreign", "empty": []}
    assert get.args.to_dict(flat=False) == {"ids": ["VNM"], "group": ["foreign"]}


def test_empty_ids_go_as_empty_query_value(httpserver, session, engine):
    httpserver.expect_ordered_request(URL, method="POST").respond_with_data("", status=405)
    httpserver.expect_ordered_request(URL, method="GET", query_string="ids=").respond_with_json(None)
    engine.session = session
    assert engine._request(ENDPOINT, {"ids": []}) is None


def test_other_failures_are_not_retried(httpserver, session, engine):
    httpserver.expect_request(URL, method="POST").respond_with_json({"detail": "boom"}, status=500)
    engine.session = session
    with pytest.raises(HttpError) as err:
        engine._request(ENDPOINT, {"ids": ["VNM"]})
    assert err.value.status_code == 500 and err.value.payload == {"detail": "boom"}
    assert [req.method for req, _ in httpserver.log] == ["POST"]


def test_failed_fallback_propagates(httpserver, session, engine):
    httpserver.expect_ordered_request(URL, method="POST").respond_with_data("", status=404)
    httpserver.expect_ordered_request(URL, method="GET").respond_with_data("", status=404)
    engine.session = session
    with pytest.raises(HttpError) as err:
        engine._request(ENDPOINT, {})
    assert err.value.status_code == 404
    assert [req.method for req, _ in httpserver.log] == ["POST", "GET"]


def test_body_that_is_not_json_propagates_the_decoder_error(httpserver, session, engine):
    httpserver.expect_request(URL, method="POST").respond_with_response(Response("<html>", status=200))
    engine.session = session
    with pytest.raises(requests.JSONDecodeError):
        engine._request(ENDPOINT, {})


def test_only_http_errors_trigger_the_fallback(engine):
    def answer(method, path, sent):
        raise ConnectionError("down")

    engine.session = FakeSession(answer)
    with pytest.raises(ConnectionError):
        engine._request(ENDPOINT, {})
    assert len(engine.session.calls) == 1
