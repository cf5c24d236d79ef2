"""Fixtures of the investor engine: its progress calls recorded, and an
engine without a session."""

import pytest

from private_core.investor import flow_engine
from tests.support import replace_progress


@pytest.fixture
def progress(monkeypatch):
    return replace_progress(monkeypatch, flow_engine)


@pytest.fixture
def engine():
    return flow_engine.InvestorFlowEngine(None)
