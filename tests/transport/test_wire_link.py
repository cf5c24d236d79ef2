import logging

import pytest
import requests
from werkzeug import Response

from private_core import wire_link
from private_core.wire_link import HttpSession
from tests.support import API_ROOT, TRANSPORT_FAILURE
from varnix.exceptions import HttpError


def test_module_values():
    assert wire_link.BASE_URL.startswith("https://") and wire_link.BASE_URL.endswith("/api/v1/varnix")
    assert wire_link.DEFAULT_TIMEOUT == 30 and type(wire_link.DEFAULT_TIMEOUT) is int
    assert wire_link.logger.name == "private_core.wire_link"
    assert not hasattr(wire_link, "HttpError")


def test_default_user_agent():
    assert wire_link._default_user_agent("1.2.3") == "varnix/1.2.3"
    assert wire_link._default_user_agent.__doc__ == "_default_user_agent(str version: str) -> str"


@pytest.mark.parametrize(
    "kwargs, agent",
    [({}, "varnix/0.0.0"), ({"user_agent": ""}, "varnix/0.0.0"), ({"version": "2.0"}, "varnix/2.0"),
     ({"user_agent": "custom/9", "version": "2.0"}, "custom/9")],
)
def test_headers_sent(httpserver, kwargs, agent):
    httpserver.expect_request(f"{API_ROOT}/ping").respond_with_json({"ok": True})
    with HttpSession("k1", base_url=httpserver.url_for(API_ROOT), **kwargs) as s:
        assert s.get("/ping").json() == {"ok": True}
    req, _ = httpserver.log[0]
    assert req.headers["Authorization"] == "Bearer k1"
    assert req.headers["Accept"] == "application/json"
    assert req.headers["Content-Type"] == "application/json"
    assert req.headers["User-Agent"] == agent


def test_attributes_and_defaults_captured_at_class_build(monkeypatch):
    monkeypatch.setattr(wire_link, "BASE_URL", "http://elsewhere")
    monkeypatch.setattr(wire_link, "DEFAULT_TIMEOUT", 99)
    s = HttpSession("k")
    assert s.api_key == "k"
    assert s.base_url.startswith("https://") and s.base_url.endswith("/api/v1/varnix")
    assert s.timeout == 30
    assert isinstance(s._session, requests.Session)


@pytest.mark.parametrize("path", ["x", "/x", "//x"])
def test_prepare_url_joins_under_root(path):
    s = HttpSession("k", base_url="http://h/api/v1/varnix///")
    assert s.base_url == "http://h/api/v1/varnix"
    assert s._prepare_url(path) == "http://h/api/v1/varnix/x"


@pytest.mark.parametrize("url", ["https://other/y?q=1", "http://other/y"])
def test_prepare_url_keeps_absolute(url):
    assert HttpSession("k", base_url="http://h/r")._prepare_url(url) == url


def test_prepare_url_keeps_query():
    assert HttpSession("k", base_url="http://h/r")._prepare_url("/a?b=1") == "http://h/r/a?b=1"


class Recorder:
    def __init__(self):
        self.calls = []

    def request(self, method, url, **kwargs):
        self.calls.append((method, url, kwargs))
        resp = requests.Response()
        resp.status_code = 200
        return resp

    def close(self):
        self.calls.append(("close",))


@pytest.mark.parametrize(
    "kwargs, headers, timeout",
    [({}, None, 30), ({"headers": {}, "timeout": 0}, None, 30), ({"timeout": None}, None, 30),
     ({"headers": {"X-A": "1"}, "timeout": 5}, {"X-A": "1"}, 5)],
)
def test_request_passes_headers_and_timeout(kwargs, headers, timeout):
    s = HttpSession("k", base_url="http://h/r")
    s._session = rec = Recorder()
    s.request("GET", "p", params={"a": 1}, **kwargs)
    method, url, sent = rec.calls[0]
    assert (method, url) == ("GET", "http://h/r/p")
    assert sent == {"params": {"a": 1}, "json": None, "data": None, "headers": headers, "timeout": timeout}


def test_get_and_post_go_through_request():
    seen = []

    class Spy(HttpSession):
        def request(self, method, path, **kwargs):
            seen.append((method, path, kwargs))
            return "r"

    s = Spy("k")
    assert s.get("/g", params={"a": 1}) == "r"
    assert s.post("/p", json_body={"b": 2}, timeout=3) == "r"
    assert seen == [
        ("GET", "/g", {"params": {"a": 1}, "headers": None, "timeout": None}),
        ("POST", "/p", {"json_body": {"b": 2}, "data": None, "headers": None, "timeout": 3}),
    ]


def test_prepare_url_override_is_used():
    class Other(HttpSession):
        def _prepare_url(self, path):
            return "http://override/" + path

    s = Other("k")
    s._session = rec = Recorder()
    s.post("z", json_body={"q": 1})
    assert rec.calls[0][1] == "http://override/z"
    assert rec.calls[0][2]["json"] == {"q": 1}


def test_debug_log_record(session, httpserver, caplog):
    httpserver.expect_request(f"{API_ROOT}/x").respond_with_data("ok")
    with caplog.at_level(logging.DEBUG, logger="private_core.wire_link"):
        session.get("x", params={"symbol": "VNM"})
    rec = [r for r in caplog.records if r.name == "private_core.wire_link"][0]
    assert rec.msg == "HTTP %s %s params=%s"
    assert rec.args == ("GET", httpserver.url_for(f"{API_ROOT}/x"), {"symbol": "VNM"})


@pytest.mark.parametrize(
    "body, content_type, payload, reason",
    [('{"detail": "bad"}', "application/json", {"detail": "bad"}, ": bad"),
     ("plain words", "text/plain", "plain words", ": plain words"), ("", "text/plain", "", "")],
)
def test_status_400_raises_with_payload(session, httpserver, body, content_type, payload, reason):
    httpserver.expect_request(f"{API_ROOT}/e").respond_with_data(body, status=400, content_type=content_type)
    with pytest.raises(HttpError) as info:
        session.get("/e")
    err = info.value
    assert err.message == "Varnix backend returned HTTP 400 for " + httpserver.url_for(f"{API_ROOT}/e")
    assert str(err) == err.message + reason
    assert err.status_code == 400 and err.payload == payload
    assert err.__cause__ is None


def test_status_399_is_returned(session, httpserver):
    httpserver.expect_request(f"{API_ROOT}/odd").respond_with_response(Response("not json", status=399))
    assert session.get("/odd").status_code == 399


def test_transport_failure_has_cause():
    s = HttpSession("k", base_url="http://127.0.0.1:9", timeout=2)
    with pytest.raises(HttpError) as info:
        s.get("/x")
    assert str(info.value) == TRANSPORT_FAILURE
    assert isinstance(info.value.__cause__, requests.ConnectionError)
    assert info.value.status_code is None and info.value.payload is None


def test_other_exceptions_propagate_unchanged():
    class Boom:
        def request(self, *a, **k):
            raise KeyError("boom")

    s = HttpSession("k")
    s._session = Boom()
    with pytest.raises(KeyError):
        s.get("x")


def test_requests_global_is_looked_up_at_call_time(monkeypatch):
    class FakeRequests:
        class RequestException(Exception):
            pass

        class Session(Recorder):
            headers = {}

    monkeypatch.setattr(wire_link, "requests", FakeRequests)
    s = HttpSession("k")
    assert isinstance(s._session, FakeRequests.Session)


def test_context_manager_closes_even_on_error():
    s = HttpSession("k")
    s._session = rec = Recorder()
    with pytest.raises(RuntimeError):
        with s as inside:
            assert inside is s
            raise RuntimeError
    assert rec.calls == [("close",)]
    assert s.__exit__(None, None, None) is None


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: HttpSession(1), "Argument 'api_key' has incorrect type (expected str, got int)"),
        (lambda: HttpSession("k", timeout=None), "Argument 'timeout' has incorrect type (expected int, got NoneType)"),
        (lambda: HttpSession("k", timeout=True), "Argument 'timeout' has incorrect type (expected int, got bool)"),
        (lambda: HttpSession("k", "http://x"), "__init__() takes exactly 2 positional arguments (3 given)"),
        (lambda: HttpSession(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: HttpSession("k", nope=1), "__init__() got an unexpected keyword argument 'nope'"),
        (lambda: HttpSession("k", api_key="k"), "__init__() got multiple values for keyword argument 'api_key'"),
        (lambda: HttpSession("k").request("GET"), "request() takes exactly 3 positional arguments (2 given)"),
        (lambda: HttpSession("k").get("x", params=[("a", 1)]),
         "Argument 'params' has incorrect type (expected dict, got list)"),
        (lambda: HttpSession("k")._prepare_url(b"x"), "Argument 'path' has incorrect type (expected str, got bytes)"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_docstrings_and_metadata():
    import inspect

    assert HttpSession.__doc__ == "Lightweight wrapper around :class:`requests.Session` with Varnix defaults."
    assert HttpSession.get.__qualname__ == "HttpSession.get"
    assert HttpSession.get.__module__ == "private_core.wire_link"
    assert HttpSession.close.__doc__ == "HttpSession.close(self) -> None"
    sig = inspect.signature(HttpSession("k").post)
    assert list(sig.parameters) == ["path", "json_body", "data", "headers", "timeout"]
    assert sig.parameters["json_body"].kind is inspect.Parameter.KEYWORD_ONLY


def test_rebound_error_class_that_is_no_exception(monkeypatch):
    import varnix.exceptions

    s = HttpSession("k", base_url="http://127.0.0.1:9", timeout=2)
    monkeypatch.setattr(varnix.exceptions, "HttpError", lambda *a, **k: "not an exception")
    with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
        s.get("/x")
