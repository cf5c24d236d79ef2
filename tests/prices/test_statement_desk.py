"""Company types and statement values: the wire, symbol coercion, error
messages that name the endpoint, and fresh result dictionaries."""

from __future__ import annotations

import json
import types

import pytest

from private_core import statement_desk
from tests.support import API_ROOT, COMPANY_TYPES, STATEMENTS, FakeResponse, FakeSession
from varnix.exceptions import DataDecodingError


def test_company_types_over_http(httpserver, session):
    answer = {"FPT": "non_financial", "VCB": "bank", "unsupported": []}
    httpserver.expect_request(API_ROOT + COMPANY_TYPES, method="GET").respond_with_json(answer)
    result = statement_desk.validate_company_types(session, [" fpt ", "", "vcb", "fpt"])
    (request, _), = httpserver.log
    # Blanks dropped; order and repeats kept; one query key per symbol.
    assert request.args.getlist("symbol") == ["FPT", "VCB", "FPT"]
    assert result == answer and type(result) is dict


def test_statement_values_over_http(httpserver, session):
    answer = {"data": {"FPT": {"2023": {"revenue": 52618}}}, "meta": {"period": "year"}}
    httpserver.expect_request(API_ROOT + STATEMENTS, method="POST").respond_with_json(answer)
    result = statement_desk.fetch_statement_values(
        session, symbols=("fpt", "  ", "Vnm"), statement_id=2, start_year=2019, end_year=2023, period="year")
    (request, _), = httpserver.log
    assert list(json.loads(request.data).items()) == [
        ("symbol", ["FPT", "VNM"]), ("statement_id", 2), ("start_year", 2019), ("end_year", 2023), ("period", "year")]
    assert request.headers["Content-Type"] == "application/json"
    assert result == answer


@pytest.mark.parametrize("symbols, expected", [
    ([" fpt ", "", "vcb", "fpt"], ["FPT", "VCB", "FPT"]),
    ("VNM", ["V", "N", "M"]),
    ([123, " x\t"], ["123", "X"]),
    ((s for s in ["a", "b"]), ["A", "B"]),
])
def test_coerce_symbols(symbols, expected):
    assert statement_desk._coerce_symbols(symbols) == expected


@pytest.mark.parametrize("symbols", [[], ["", "  "], ""])
def test_no_symbol_left(symbols):
    s = FakeSession()
    for call in (lambda: statement_desk.validate_company_types(s, symbols),
                 lambda: statement_desk.fetch_statement_values(s, symbols=symbols, statement_id=1, start_year=2020,
                                                               end_year=2021, period="year")):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "symbols must contain at least one non-empty value."
    assert s.calls == []


CALLS = [
    (COMPANY_TYPES, lambda s: statement_desk.validate_company_types(s, ["FPT"])),
    (STATEMENTS, lambda s: statement_desk.fetch_statement_values(s, symbols=["FPT"], statement_id=1, start_year=2020,
                                                              end_year=2021, period="quarter")),
]


@pytest.mark.parametrize("endpoint, call", CALLS)
@pytest.mark.parametrize("body", [None, [], "text", 3])
def test_not_an_object(endpoint, call, body):
    with pytest.raises(DataDecodingError) as info:
        call(FakeSession(body))
    assert str(info.value) == f"Unexpected payload structure for {endpoint}."


@pytest.mark.parametrize("endpoint, call", CALLS)
def test_not_json(endpoint, call):
    bad = ValueError("Expecting value")
    with pytest.raises(DataDecodingError) as info:
        call(FakeSession(FakeResponse(bad)))
    assert str(info.value) == f"Unable to decode JSON response for {endpoint}."
    assert info.value.__cause__ is bad


@pytest.mark.parametrize("endpoint, call", CALLS)
def test_result_is_a_new_dict(endpoint, call):
    held = {"FPT": {"type": "bank"}}
    s = FakeSession(held)
    result = call(s)
    result["extra"] = 1
    assert held == {"FPT": {"type": "bank"}} and s.calls[0][1] == endpoint


def test_any_mapping_is_accepted():
    proxy = types.MappingProxyType({"a": 1})
    out = statement_desk._ensure_json_dict(proxy, context="here")
    assert out == {"a": 1} and type(out) is dict


def values(s, **changes):
    full = {"symbols": ["FPT"], "statement_id": 1, "start_year": 2020, "end_year": 2021, "period": "year", **changes}
    return statement_desk.fetch_statement_values(s, **{k: v for k, v in full.items() if v is not ...})


@pytest.mark.parametrize("call, message", [
    (lambda s: values(s, statement_id=True), "Argument 'statement_id' has incorrect type (expected int, got bool)"),
    (lambda s: values(s, end_year=2021.0), "Argument 'end_year' has incorrect type (expected int, got float)"),
    (lambda s: values(s, period=None), "Argument 'period' has incorrect type (expected str, got NoneType)"),
    (lambda s: values(s, end_year=...), "fetch_statement_values() needs keyword-only argument end_year"),
    (lambda s: statement_desk.fetch_statement_values(s, ["FPT"]),
     "fetch_statement_values() takes exactly 1 positional argument (2 given)"),
    (lambda s: statement_desk.validate_company_types(s),
     "validate_company_types() takes exactly 2 positional arguments (1 given)"),
    (lambda s: statement_desk._ensure_json_dict({}), "_ensure_json_dict() needs keyword-only argument context"),
])
def test_bad_arguments(call, message):
    s = FakeSession()
    with pytest.raises(TypeError) as info:
        call(s)
    assert str(info.value) == message and s.calls == []
