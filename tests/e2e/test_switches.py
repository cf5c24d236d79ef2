"""Each misbehaviour of the service, and exactly what the user gets from it:
exception type, message, cause and the requests that were sent."""
import pytest
import requests

from demo.main import CLIENT_VERSION, DemoClient
from private_core import daily_bars, statement_desk
from private_core.key_gate import validate_api_key
from private_core.wire_link import HttpSession
from tests.support import (API_KEY, COMPANY_TYPES, EOD, INTRADAY, ORDERBOOK, STATEMENTS, STOCK_FLOW,
                           TRANSPORT_FAILURE, VALIDATE, seen)
from varnix.exceptions import ApiKeyValidationError, DataDecodingError, HttpError
from varnix_sim.server import DEFAULT_NON_JSON_BODY


def validate(session):
    return validate_api_key(session, client_version=CLIENT_VERSION)


# One call of every endpoint, as the user makes it, with the path it reaches.
CALLS = {
    "daily": (lambda c, sym="VNM": c.daily([sym], "2025-06-02", "2025-06-06"), EOD),
    "intraday": (lambda c, sym="VNM": c.intraday(sym, "2025-06-02", "2025-06-02", "5m"), INTRADAY),
    "orderbook": (lambda c, sym="VNM": c.orderbook(sym, "2025-06-03"), ORDERBOOK),
    "types": (lambda c, sym="VNM": statement_desk.validate_company_types(c.session, [sym]), COMPANY_TYPES),
    "statements": (lambda c, sym="VNM": statement_desk.fetch_statement_values(
        c.session, symbols=[sym], statement_id=1, start_year=2023, end_year=2024, period="quarter"), STATEMENTS),
    "investor": (lambda c, sym="VNM": c.investor_flows([sym], "2025-03-03", "2025-03-31"), STOCK_FLOW),
}
PRICE_CALLS = ["daily", "intraday", "orderbook"]


def http_error_message(sim, path, status):
    return "Varnix backend returned HTTP %d for %s" % (status, sim.base_url + path)


# -- unknown symbols -----------------------------------------------------------

@pytest.mark.parametrize("name", PRICE_CALLS)
@pytest.mark.parametrize("given", ["XYZ", " xyz "])
def test_unknown_symbol_in_a_price_call(sim, client, name, given):
    sim.configure(unknown_symbols={"XYZ"})
    call, path = CALLS[name]
    with pytest.raises(DataDecodingError) as info:
        call(client, given)
    assert str(info.value) == "Backend returned error for XYZ: Unknown symbol XYZ"
    assert info.value.__cause__ is None
    assert seen(sim) == [("GET", path)]
    assert sim.requests[0].params["symbol"] == "XYZ"


def test_unknown_symbol_ends_the_whole_batch(sim, client):
    sim.configure(unknown_symbols={"XYZ"})
    with pytest.raises(DataDecodingError) as info:
        client.daily(["VNM", "xyz", "FPT"], "2025-06-02", "2025-06-06")
    assert str(info.value) == "Backend returned error for XYZ: Unknown symbol XYZ"
    symbols = [r.params["symbol"] for r in sim.requests]
    assert symbols[-1] == "XYZ" and len(symbols) == len(set(symbols))
    # Nothing of the batch was kept: the next call asks again.
    sim.configure(unknown_symbols=())
    assert len(client.daily(["VNM", "xyz", "FPT"], "2025-06-02", "2025-06-06")) == 15


def test_unknown_symbol_in_company_types_is_reported_in_the_answer(sim, client):
    sim.configure(unknown_symbols={"XYZ"})
    assert statement_desk.validate_company_types(client.session, ["fpt", " xyz "]) == {
        "error": None,
        "data": [
            {"symbol": "FPT", "valid": True, "company_type": "company", "message": None},
            {"symbol": "XYZ", "valid": False, "company_type": None, "message": "Unknown symbol XYZ"},
        ],
        "invalid": ["XYZ"],
    }


def test_unknown_symbol_in_statements_is_returned_as_the_service_said_it(sim, client):
    sim.configure(unknown_symbols={"XYZ"})
    call, _ = CALLS["statements"]
    assert call(client, "xyz") == {"error": "Unknown symbol XYZ", "data": []}
    assert sim.requests[0].json["symbol"] == ["XYZ"]


# -- rejected and missing keys --------------------------------------------------

@pytest.mark.parametrize("rejected", [{API_KEY}, "*"])
@pytest.mark.parametrize("detail, message", [
    ("Invalid API key", "Invalid API key"),
    ("Khóa API đã hết hạn", "Khóa API đã hết hạn"),
    ("", "Backend rejected API key validation (HTTP 401)"),
    (None, "Backend rejected API key validation (HTTP 401)"),
    (["expired"], "Backend rejected API key validation (HTTP 401)"),
    (123, "Backend rejected API key validation (HTTP 401)"),
])
def test_rejected_key_at_validation(sim, session, rejected, detail, message):
    sim.configure(rejected_keys=rejected, reject_detail=detail)
    with pytest.raises(ApiKeyValidationError) as info:
        validate(session)
    assert str(info.value) == message
    cause = info.value.__cause__
    assert isinstance(cause, HttpError)
    assert cause.status_code == 401 and cause.payload == {"detail": detail}
    assert cause.message == http_error_message(sim, VALIDATE, 401)
    assert seen(sim) == [("POST", VALIDATE)]


def test_only_the_rejected_key_is_refused(sim, session):
    sim.configure(rejected_keys={"someone-else"})
    assert validate(session).valid is True


@pytest.mark.parametrize("name", list(CALLS))
def test_rejected_key_on_a_data_call(sim, client, name):
    sim.configure(rejected_keys={API_KEY}, reject_detail="Khóa API không hợp lệ")
    call, path = CALLS[name]
    with pytest.raises(HttpError) as info:
        call(client)
    assert str(info.value) == http_error_message(sim, path, 401) + ": Khóa API không hợp lệ"
    assert info.value.status_code == 401
    assert info.value.payload == {"detail": "Khóa API không hợp lệ"}
    assert info.value.__cause__ is None
    # Neither a retry nor, for the investor call, a GET fallback.
    assert len(sim.requests) == 1


def test_require_auth_accepts_every_call_with_a_key(sim, client):
    sim.configure(require_auth=True)
    assert validate(client.session).valid is True
    for name, (call, _) in CALLS.items():
        result = call(client)
        assert len(result["data"] if isinstance(result, dict) else result) > 0, name


def test_require_auth_with_an_empty_key(sim):
    sim.configure(require_auth=True)
    with HttpSession("", base_url=sim.base_url, version=CLIENT_VERSION) as keyless:
        with pytest.raises(ApiKeyValidationError) as info:
            validate(keyless)
        assert str(info.value) == "apiKey is required"
        assert info.value.__cause__.status_code == 400
        with pytest.raises(HttpError) as info:
            DemoClient(keyless).daily(["VNM"], "2025-06-02", "2025-06-06")
        assert str(info.value) == http_error_message(sim, EOD, 401) + ": Missing API key"
        assert info.value.payload == {"detail": "Missing API key"}
    assert [r.headers.get("Authorization") for r in sim.requests] == ["Bearer "] * 2


# -- forced error answers -------------------------------------------------------

@pytest.mark.parametrize("target", ["*", "own path"])
@pytest.mark.parametrize("name", list(CALLS))
def test_server_error_on_a_data_call(sim, client, name, target):
    call, path = CALLS[name]
    sim.configure(fail_paths={"*" if target == "*" else path: 500})
    with pytest.raises(HttpError) as info:
        call(client)
    assert str(info.value) == http_error_message(sim, path, 500) + ": Internal Server Error"
    assert info.value.status_code == 500
    assert info.value.payload == {"detail": "Internal Server Error"}
    assert info.value.__cause__ is None
    assert seen(sim) == [(sim.requests[0].method, path)]


def test_failing_path_leaves_the_others_alone(sim, client):
    sim.configure(fail_paths={EOD: 500})
    assert validate(client.session).valid is True
    assert len(client.intraday("VNM", "2025-06-02", "2025-06-02", "5m")) > 0
    with pytest.raises(HttpError):
        client.daily(["VNM"], "2025-06-02", "2025-06-06")


@pytest.mark.parametrize("status, message", [
    (500, "Internal Server Error"),
    (502, "Bad Gateway"),
    (503, "Service Unavailable"),
])
def test_server_error_at_validation(sim, session, status, message):
    sim.configure(fail_paths={VALIDATE: status})
    with pytest.raises(ApiKeyValidationError) as info:
        validate(session)
    assert str(info.value) == message
    cause = info.value.__cause__
    assert isinstance(cause, HttpError) and cause.status_code == status
    assert str(cause) == http_error_message(sim, VALIDATE, status) + ": " + message


# -- bodies that are not JSON -----------------------------------------------------

@pytest.mark.parametrize("name, message", [
    ("daily", "Unable to decode OHLCV response as JSON"),
    ("intraday", "Unable to decode OHLCV response as JSON"),
    ("orderbook", "Unable to decode orderbook response as JSON"),
    ("types", "Unable to decode JSON response for /reporting/meta/company-types/validate."),
    ("statements", "Unable to decode JSON response for /reporting/statements/values."),
])
def test_non_json_success_on_a_data_call(sim, client, name, message):
    call, path = CALLS[name]
    sim.configure(non_json_paths={path: 200})
    with pytest.raises(DataDecodingError) as info:
        call(client)
    assert str(info.value) == message
    assert isinstance(info.value.__cause__, ValueError)
    assert len(sim.requests) == 1


def test_non_json_success_on_the_investor_call(sim, client):
    # The investor engine lets the decoder's own error through.
    sim.configure(non_json_paths={STOCK_FLOW: 200})
    call, _ = CALLS["investor"]
    with pytest.raises(requests.exceptions.JSONDecodeError) as info:
        call(client)
    assert str(info.value) == "Expecting value: line 1 column 1 (char 0)"
    assert seen(sim) == [("POST", STOCK_FLOW)]


def test_non_json_success_at_validation(sim, session):
    sim.configure(non_json_paths={VALIDATE: 200})
    with pytest.raises(ApiKeyValidationError) as info:
        validate(session)
    assert str(info.value) == "Backend returned invalid JSON payload"
    assert isinstance(info.value.__cause__, ValueError)


@pytest.mark.parametrize("name", list(CALLS))
def test_non_json_error_answer_on_a_data_call(sim, client, name):
    call, path = CALLS[name]
    sim.configure(non_json_paths={path: 502})
    with pytest.raises(HttpError) as info:
        call(client)
    assert str(info.value) == http_error_message(sim, path, 502) + ": " + DEFAULT_NON_JSON_BODY
    assert info.value.status_code == 502
    assert info.value.payload == DEFAULT_NON_JSON_BODY


@pytest.mark.parametrize("body, message", [
    (DEFAULT_NON_JSON_BODY, DEFAULT_NON_JSON_BODY),
    ("  Hệ thống đang bảo trì \n", "Hệ thống đang bảo trì"),
    ("   ", "Backend rejected API key validation (HTTP 503)"),
])
def test_non_json_error_answer_at_validation(sim, session, body, message):
    sim.configure(non_json_paths={VALIDATE: 503}, non_json_body=body)
    with pytest.raises(ApiKeyValidationError) as info:
        validate(session)
    assert str(info.value) == message
    assert info.value.__cause__.payload == body


# -- a service slower than the session's time-out ---------------------------------

@pytest.fixture
def impatient(sim):
    sim.configure(delay=1.5)
    with HttpSession(API_KEY, base_url=sim.base_url, version=CLIENT_VERSION, timeout=1) as s:
        yield s


def assert_transport_failure(error):
    assert isinstance(error, HttpError)
    assert str(error) == TRANSPORT_FAILURE
    assert error.status_code is None and error.payload is None
    assert isinstance(error.__cause__, requests.exceptions.Timeout)


@pytest.mark.delayed
def test_time_out_on_a_data_call(sim, impatient):
    with pytest.raises(HttpError) as info:
        daily_bars.fetch_ohlcv(impatient, ["VNM", "FPT"], "2025-06-02", "2025-06-06", show_progress=False)
    assert_transport_failure(info.value)
    assert len(sim.requests) == 1


@pytest.mark.delayed
def test_time_out_on_the_investor_call_is_not_retried_as_get(sim, impatient):
    call, _ = CALLS["investor"]
    with pytest.raises(HttpError) as info:
        call(DemoClient(impatient))
    assert_transport_failure(info.value)
    assert seen(sim) == [("POST", STOCK_FLOW)]


@pytest.mark.delayed
def test_time_out_at_validation(sim, impatient):
    with pytest.raises(ApiKeyValidationError) as info:
        validate(impatient)
    assert str(info.value) == "Unable to validate API key"
    assert_transport_failure(info.value.__cause__)


# -- the simulated date ---------------------------------------------------------------

@pytest.mark.parametrize("today, last_bar", [
    (None, "2026-01-15"),           # the fixture's date, a Thursday
    ("2025-06-30", "2025-06-30"),   # a Monday
    ("2025-07-06", "2025-07-04"),   # a Sunday: the Friday before
])
def test_open_ended_request_ends_at_the_services_today(sim, session, today, last_bar):
    if today:
        sim.configure(today=today)
    df = daily_bars.fetch_ohlcv(session, "VNM", "2025-06-01", None, show_progress=False)
    assert df["time"].max().strftime("%Y-%m-%d") == last_bar
