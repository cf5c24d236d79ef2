import importlib.util
import sys
from pathlib import Path

import pytest

from tests.support import COMPANY_TYPES, STATEMENTS, VALIDATE


def client_model():
    """The public package's answer model, from the installed package or the source tree."""
    try:
        from varnix.types import ApiKeyValidationResponse
    except ImportError:
        source = Path(__file__).resolve().parents[2] / "python" / "varnix" / "types.py"
        spec = importlib.util.spec_from_file_location("_sim_varnix_types", source)
        module = importlib.util.module_from_spec(spec)
        sys.modules[spec.name] = module
        spec.loader.exec_module(module)
        ApiKeyValidationResponse = module.ApiKeyValidationResponse
    return ApiKeyValidationResponse


def statement(api, **overrides):
    body = {"symbol": ["FPT"], "statement_id": 2, "start_year": 2022, "end_year": 2023, "period": "year"}
    body.update(overrides)
    return api.post(STATEMENTS, body)


def by_period(rows):
    table = {}
    for row in rows:
        table.setdefault((row["symbol"], row["year"], row["quarter"]), {})[row["item_code"]] = row["value"]
    return table


@pytest.mark.parametrize("include, expect_messages", [(True, True), (False, False)])
def test_key_validation_answer_fits_the_client_model(api, include, expect_messages):
    body = {"apiKey": "test-key", "clientVersion": "1.2.3", "includeMessages": include, "context": {"app": "x"}}
    response = api.post(VALIDATE, body)
    assert response.status_code == 200
    payload = response.json()
    assert payload["valid"] is True and payload["plan"] and payload["expiresAt"]
    assert bool(payload["messages"]) is expect_messages
    model = client_model().model_validate(payload)
    assert model.valid and model.expires_at == payload["expiresAt"]


@pytest.mark.parametrize("body", [None, [], {"clientVersion": "1"}, {"apiKey": "k"}, {"apiKey": "k", "clientVersion": "1", "context": 3}])
def test_key_validation_refuses_incomplete_bodies(api, body):
    response = api.post(VALIDATE, body)
    assert response.status_code == 400 and response.json()["detail"]


def test_company_types_take_repeated_symbols(api, sim):
    sim.configure(unknown_symbols={"ZZZ"})
    response = api.get(COMPANY_TYPES, symbol=["fpt", "VCB", "ssi", "zzz", "BVH"])
    assert sim.requests[-1].query["symbol"] == ["fpt", "VCB", "ssi", "zzz", "BVH"]
    payload = response.json()
    assert [(d["symbol"], d["valid"], d["company_type"]) for d in payload["data"]] == [
        ("FPT", True, "company"), ("VCB", True, "bank"), ("SSI", True, "securities"),
        ("ZZZ", False, None), ("BVH", True, "insurance"),
    ]
    assert payload["invalid"] == ["ZZZ"]
    assert api.get(COMPANY_TYPES).status_code == 400


def test_quarterly_flows_add_up_to_the_year(api):
    for statement_id in (2, 3):
        years = by_period(statement(api, statement_id=statement_id).json()["data"])
        quarters = by_period(statement(api, statement_id=statement_id, period="quarter").json()["data"])
        assert len(quarters) == 8 and len(years) == 2
        for (symbol, year, _), values in years.items():
            for code, value in values.items():
                assert value == sum(quarters[(symbol, year, q)][code] for q in (1, 2, 3, 4))


def test_balance_sheet_balances_and_year_is_fourth_quarter(api):
    years = by_period(statement(api, statement_id=1, symbol=["HPG", "VNM"]).json()["data"])
    quarters = by_period(statement(api, statement_id=1, symbol=["HPG", "VNM"], period="quarter").json()["data"])
    assert {k[0] for k in years} == {"HPG", "VNM"}
    for (symbol, year, _), v in years.items():
        assert v == quarters[(symbol, year, 4)]
    for v in list(years.values()) + list(quarters.values()):
        assert v["total_assets"] == v["current_assets"] + v["non_current_assets"] == v["liabilities"] + v["equity"]
        assert v["current_assets"] == v["cash"] + v["receivables"] + v["inventory"] + v["other_current_assets"]
        assert all(value % 1_000_000 == 0 for value in v.values())


def test_statement_rows_and_published_periods(api):
    payload = statement(api, statement_id=4, start_year=2024, end_year=2025, period="quarter").json()
    assert payload["statement"] == "ratios"
    # With the simulated date at 30 June 2025, 2025's first quarter is out and its second is not.
    assert sorted({(r["year"], r["quarter"]) for r in payload["data"]}) == [(2024, 1), (2024, 2), (2024, 3), (2024, 4), (2025, 1)]
    row = payload["data"][0]
    assert set(row) == {"symbol", "statement_id", "period", "year", "quarter", "item_id", "item_code", "item_name", "value"}
    years = statement(api, start_year=2024, end_year=2025).json()["data"]
    assert {r["year"] for r in years} == {2024} and {r["quarter"] for r in years} == {None}
    assert statement(api).json() == statement(api).json()


@pytest.mark.parametrize("overrides", [
    {"statement_id": 5}, {"statement_id": True}, {"statement_id": "2"},
    {"start_year": 2024, "end_year": 2023}, {"start_year": 1800},
    {"period": "month"}, {"symbol": []}, {"symbol": [3]}, {"end_year": None},
])
def test_statement_bad_bodies_answer_400(api, overrides):
    response = statement(api, **overrides)
    assert response.status_code == 400 and response.json()["detail"]
