"""Many calls, success and error paths: memory must stay flat (no leaked
references in the C++ modules)."""

import logging

import pytest
import requests

from private_core.key_gate import validate_api_key
from private_core.wire_link import HttpSession
from tests.support import raising, repeat, traced_growth
from varnix.exceptions import ApiKeyValidationError, HttpError

N = 100_000


class Pool:
    """Stands in for requests.Session: answers from a fixed list."""

    headers = {}

    def __init__(self, response):
        self.response = response

    def request(self, *args, **kwargs):
        return self.response

    def close(self):
        pass


def ok_response():
    r = requests.Response()
    r.status_code = 200
    r._content = b'{"valid": true}'
    return r


def bad_response():
    r = requests.Response()
    r.status_code = 401
    r._content = b'{"detail": "no"}'
    return r


@pytest.mark.slow
@pytest.mark.parametrize(
    "name",
    ["prepare_url", "request_ok", "request_400", "type_error", "count_error", "validate_ok", "validate_rejected"],
)
def test_memory_stays_flat(name, monkeypatch):
    # Log records would pile up in pytest's capture handler; keep them out.
    monkeypatch.setattr(logging.getLogger("private_core.key_gate"), "disabled", True)
    good = HttpSession("k", base_url="http://h/r")
    good._session = Pool(ok_response())
    bad = HttpSession("k", base_url="http://h/r")
    bad._session = Pool(bad_response())
    calls = {
        "prepare_url": lambda: good._prepare_url("/market-data/eod/ohlcv"),
        "request_ok": lambda: good.get("/x", params={"symbol": "VNM"}, headers={"X": "1"}),
        "request_400": raising(HttpError, lambda: bad.post("/x", json_body={"a": 1})),
        "type_error": raising(TypeError, lambda: good.get("/x", params=[1])),
        "count_error": raising(TypeError, lambda: HttpSession("k", "b", "c")),
        "validate_ok": lambda: validate_api_key(good, client_version="1.0", extra_context={"a": 1}),
        "validate_rejected": raising(ApiKeyValidationError, lambda: validate_api_key(bad, client_version="1.0")),
    }
    call = calls[name]
    call()  # warm caches (interned names, imports)
    assert traced_growth(lambda: repeat(N, call)) < 256 * 1024
