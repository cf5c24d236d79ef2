import json
import logging

import pytest

from private_core import key_gate
from private_core.key_gate import validate_api_key
from private_core.wire_link import HttpSession
from tests.support import API_ROOT, VALIDATE, FakeResponse, FakeSession
from varnix.exceptions import ApiKeyValidationError, HttpError
from varnix.types import ApiKeyValidationResponse

VALID = {"valid": True, "plan": "pro", "messages": ["welcome"]}


def expect(httpserver, *args, **kwargs):
    return httpserver.expect_request(API_ROOT + VALIDATE, method="POST").respond_with_data(*args, **kwargs)


def sent_body(httpserver):
    return json.loads(httpserver.log[-1][0].get_data())


def test_module_values():
    assert key_gate.VALIDATION_ENDPOINT == "/auth/validate"
    assert key_gate.logger.name == "private_core.key_gate"
    assert validate_api_key.__doc__.endswith("\n\nValidate the provided API key with the backend.")


@pytest.mark.parametrize(
    "kwargs, body",
    [
        ({}, {"apiKey": "secret-key", "clientVersion": "1.0", "includeMessages": True}),
        ({"include_messages": False, "extra_context": {}},
         {"apiKey": "secret-key", "clientVersion": "1.0", "includeMessages": False}),
        ({"extra_context": {"app": "notebook", "n": 2}},
         {"apiKey": "secret-key", "clientVersion": "1.0", "includeMessages": True,
          "context": {"app": "notebook", "n": 2}}),
    ],
)
def test_success_sends_body_and_returns_model(session, httpserver, caplog, kwargs, body):
    expect(httpserver, json.dumps(VALID), content_type="application/json")
    with caplog.at_level(logging.DEBUG, logger="private_core.key_gate"):
        result = validate_api_key(session, client_version="1.0", **kwargs)
    assert isinstance(result, ApiKeyValidationResponse) and result.valid and result.plan == "pro"
    got = sent_body(httpserver)
    assert got == body and list(got) == list(body)
    rec = [r for r in caplog.records if r.name == "private_core.key_gate"]
    assert [(r.levelno, r.msg, r.args) for r in rec] == [
        (logging.DEBUG, "API key validated successfully for version %s", ("1.0",))]


@pytest.mark.parametrize(
    "status, body, content_type, message",
    [
        (401, {"detail": "Key revoked"}, None, "Key revoked"),
        (401, {"detail": "", "message": "Try again later"}, None, "Try again later"),
        (401, {"detail": None, "message": "Quota exceeded"}, None, "Quota exceeded"),
        (403, {"other": 1}, None, "Backend rejected API key validation (HTTP 403)"),
        (401, [1, 2], None, "Backend rejected API key validation (HTTP 401)"),
        (401, "  plain words  ", "text/plain", "plain words"),
        (401, "   ", "text/plain", "Backend rejected API key validation (HTTP 401)"),
        (401, "", "text/plain", "Backend rejected API key validation (HTTP 401)"),
        (500, "server is down", "text/plain", "server is down"),
        # A JSON string body is text too.
        (401, json.dumps(" quoted "), "application/json", "quoted"),
        # Framework-style validation errors: not text, so the generic message.
        (422, {"detail": [{"loc": ["body", "apiKey"], "msg": "field required"}]}, None,
         "Backend rejected API key validation (HTTP 422)"),
        (400, {"detail": "", "message": 42}, None, "Backend rejected API key validation (HTTP 400)"),
    ],
)
def test_rejections(session, httpserver, caplog, status, body, content_type, message):
    if content_type is None:
        expect(httpserver, json.dumps(body), status=status, content_type="application/json")
    else:
        expect(httpserver, body, status=status, content_type=content_type)
    with caplog.at_level(logging.ERROR, logger="private_core.key_gate"):
        with pytest.raises(ApiKeyValidationError) as info:
            validate_api_key(session, client_version="1.0")
    assert str(info.value) == message
    assert isinstance(info.value.__cause__, HttpError)
    assert info.value.__cause__.status_code == status
    rec = [r for r in caplog.records if r.name == "private_core.key_gate"]
    assert len(rec) == 1 and rec[0].levelno == logging.ERROR
    assert rec[0].msg == "Backend rejected API key validation (status=%s, payload=%s)"
    assert rec[0].args[0] == status


def test_transport_failure_is_not_reported_as_rejection(caplog):
    s = HttpSession("k", base_url="http://127.0.0.1:9", timeout=2)
    with caplog.at_level(logging.ERROR, logger="private_core.key_gate"):
        with pytest.raises(ApiKeyValidationError) as info:
            validate_api_key(s, client_version="1.0")
    assert str(info.value) == "Unable to validate API key"
    assert isinstance(info.value.__cause__, HttpError)
    rec = [r for r in caplog.records if r.name == "private_core.key_gate"]
    assert [(r.msg, r.args) for r in rec] == [
        ("Backend rejected API key validation (status=%s, payload=%s)", (None, None))]


def test_unexpected_failure_logs_traceback(caplog):
    boom = RuntimeError("socket exploded")
    with caplog.at_level(logging.ERROR, logger="private_core.key_gate"):
        with pytest.raises(ApiKeyValidationError) as info:
            validate_api_key(FakeSession(boom), client_version="1.0")
    assert str(info.value) == "Unable to validate API key"
    assert info.value.__cause__ is boom
    rec = [r for r in caplog.records if r.name == "private_core.key_gate"]
    assert len(rec) == 1 and rec[0].msg == "Failed to validate API key with Varnix backend"
    assert rec[0].exc_info[1] is boom


def test_base_exceptions_are_not_swallowed():
    with pytest.raises(KeyboardInterrupt):
        validate_api_key(FakeSession(KeyboardInterrupt()), client_version="1.0")


@pytest.mark.parametrize(
    "value, message, cause",
    [
        (ValueError("no json"), "Backend returned invalid JSON payload", ValueError),
        ({"valid": "not-a-bool-at-all"}, "Backend response did not match expected schema", None),
        ([1, 2, 3], "Backend response did not match expected schema", None),
    ],
)
def test_bad_success_bodies(caplog, value, message, cause):
    from pydantic import ValidationError

    with caplog.at_level(logging.DEBUG, logger="private_core.key_gate"):
        with pytest.raises(ApiKeyValidationError) as info:
            validate_api_key(FakeSession(FakeResponse(value)), client_version="1.0")
    assert str(info.value) == message
    assert isinstance(info.value.__cause__, cause or ValidationError)
    assert not [r for r in caplog.records if r.name == "private_core.key_gate"]


def test_real_invalid_json_over_http(session, httpserver):
    expect(httpserver, "<html>", status=200, content_type="text/html")
    with pytest.raises(ApiKeyValidationError, match="^Backend returned invalid JSON payload$"):
        validate_api_key(session, client_version="1.0")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: validate_api_key(s), "validate_api_key() needs keyword-only argument client_version"),
        (lambda s: validate_api_key(s, "1.0"), "validate_api_key() takes exactly 1 positional argument (2 given)"),
        (lambda s: validate_api_key(client_version="1.0"),
         "validate_api_key() takes exactly 1 positional argument (0 given)"),
        (lambda s: validate_api_key(s, client_version=1),
         "Argument 'client_version' has incorrect type (expected str, got int)"),
        (lambda s: validate_api_key(s, client_version="1", extra_context=[]),
         "Argument 'extra_context' has incorrect type (expected dict, got list)"),
        (lambda s: validate_api_key(s, client_version="1", verbose=True),
         "validate_api_key() got an unexpected keyword argument 'verbose'"),
        (lambda s: validate_api_key(s, session=s, client_version="1"),
         "validate_api_key() got multiple values for keyword argument 'session'"),
    ],
)
def test_argument_errors_before_any_request(call, message):
    fake = FakeSession(FakeResponse(VALID))
    with pytest.raises(TypeError) as info:
        call(fake)
    assert str(info.value) == message
    assert fake.calls == []


def test_names_looked_up_at_call_time(monkeypatch):
    class Custom(Exception):
        pass

    monkeypatch.setattr(key_gate, "ApiKeyValidationError", Custom)
    with pytest.raises(Custom):
        validate_api_key(FakeSession(FakeResponse(ValueError())), client_version="1.0")


@pytest.mark.parametrize(
    "status, body, content_type, message",
    [
        (422, {"detail": [{"loc": ["body", "apiKey"], "input": {"apiKey": "secret-key", "n": 1}}]}, None,
         "Backend rejected API key validation (HTTP 422)"),
        (401, {"detail": "Key secret-key revoked"}, None, "Key *** revoked"),
        (400, "bad key: secret-key", "text/plain", "bad key: ***"),
    ],
)
def test_an_echoed_key_is_masked_in_logs_and_errors(session, httpserver, caplog, status, body, content_type, message):
    import traceback
    data = json.dumps(body) if content_type is None else body
    expect(httpserver, data, status=status, content_type=content_type or "application/json")
    with caplog.at_level(logging.DEBUG, logger="private_core.key_gate"), \
            pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(session, client_version="1.0")
    assert str(info.value) == message
    shown = "".join(traceback.format_exception(info.value)) + caplog.text
    shown += "".join(r.getMessage() for r in caplog.records)
    assert "secret-key" not in shown
    if isinstance(body, dict) and isinstance(body["detail"], list):
        # Same shape, only the key replaced.
        logged = caplog.records[-1].args[1]
        assert logged == {"detail": [{"loc": ["body", "apiKey"], "input": {"apiKey": "***", "n": 1}}]}


def test_an_answer_without_the_key_is_logged_as_it_is(session, httpserver, caplog):
    expect(httpserver, json.dumps({"detail": [{"msg": "bad"}]}), status=422, content_type="application/json")
    with caplog.at_level(logging.ERROR, logger="private_core.key_gate"), pytest.raises(ApiKeyValidationError) as info:
        validate_api_key(session, client_version="1.0")
    assert caplog.records[-1].args[1] is info.value.__cause__.payload
