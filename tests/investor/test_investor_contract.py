"""The structural contract of an investor engine and its argument aliases."""

from __future__ import annotations

import typing
from types import SimpleNamespace

import pytest

from private_core.investor import FlowEngineContract as contract
from private_core.investor.flow_engine import InvestorFlowEngine
from tests.child import assert_clean_exit, run_child

Contract = contract.FlowEngineContract


@pytest.mark.parametrize(
    "alias, expected",
    [
        ("Interval", ("1D", "1W", "1M")),
        ("SymbolArg", (str, typing.Sequence[str])),
        ("InvestorGroup", ("foreign", "proprietary", "local_institutional", "local_individual",
                           "foreign_institutional", "foreign_individual", "all")),
    ],
)
def test_aliases(alias, expected):
    assert typing.get_args(getattr(contract, alias)) == expected


class OnlyFetch:
    def fetch_df(self, namespace, op, params):
        return None


@pytest.mark.parametrize(
    "candidate, expected",
    [
        (OnlyFetch(), False),
        (SimpleNamespace(session=None, fetch_df=1), True),
        (SimpleNamespace(session=1), False),
        (InvestorFlowEngine(object()), True),
    ],
)
def test_isinstance_is_the_runtime_protocol_check(candidate, expected):
    assert isinstance(candidate, Contract) is expected


def test_class_texts():
    assert Contract.__annotations__ == {"session": "'HttpSession'"}
    assert Contract.__doc__.startswith("\n    Contract mà private_core phải tuân theo cho investor.*.\n\n")
    assert Contract.__doc__.endswith("        BẮT BUỘC trả DataFrame (client sẽ không tự convert).\n    ")
    method = Contract.fetch_df
    assert method.__annotations__ == {"namespace": "str", "op": "str", "params": "dict", "return": "pd.DataFrame"}
    assert method.__qualname__ == "FlowEngineContract.fetch_df"
    assert method.__module__ == "private_core.investor.FlowEngineContract"


class DictChild(dict):
    pass


def test_fetch_df_checks_then_does_nothing():
    assert Contract.fetch_df(None, "stock", "flow", {}) is None
    for namespace, op, params, name, got in [
        ("stock", "flow", DictChild(), "params", "DictChild"),
        (None, "flow", {}, "namespace", "NoneType"),
        ("stock", b"flow", {}, "op", "bytes"),
    ]:
        expected = f"Argument '{name}' has incorrect type (expected {'dict' if name == 'params' else 'str'}, got {got})"
        with pytest.raises(TypeError) as err:
            Contract.fetch_df(None, namespace, op, params)
        assert str(err.value) == expected


def test_import_does_not_load_the_transport():
    assert_clean_exit(run_child("import sys, private_core.investor.FlowEngineContract as c\n"
                                "print('private_core.wire_link' in sys.modules, hasattr(c, 'HttpSession'))"),
                      "False False")
