"""Fixtures of the investor engine: a recorder of the progress calls and a
real HttpSession pointed at the local test server."""

from __future__ import annotations

import pytest

from private_core.investor import flow_engine
from investor_fakes import API_ROOT
from private_core.wire_link import HttpSession


@pytest.fixture
def progress(monkeypatch):
    calls: list[tuple] = []
    monkeypatch.setattr(flow_engine, "start_progress", lambda total, label: calls.append(("start", total, label)))
    monkeypatch.setattr(flow_engine, "update_progress", lambda current: calls.append(("update", current)))
    monkeypatch.setattr(flow_engine, "finish_progress", lambda: calls.append(("finish",)))
    return calls


@pytest.fixture
def session(httpserver):
    with HttpSession("test-key", base_url=httpserver.url_for(API_ROOT)) as s:
        yield s


@pytest.fixture
def engine():
    return flow_engine.InvestorFlowEngine(None)
