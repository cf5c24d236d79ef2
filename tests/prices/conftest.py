"""Fixtures of the price, order-book and statement fetchers: a fake session
that answers per symbol, a recorder of the progress calls, and a real
HttpSession pointed at the local test server."""

from __future__ import annotations

import pytest

from price_fakes import API_ROOT, FakeSession
from private_core import daily_bars, tick_bars
from private_core.wire_link import HttpSession


@pytest.fixture
def fake_session():
    return FakeSession


@pytest.fixture
def progress(monkeypatch):
    """Replaces the progress calls of both bar modules; the list records them."""
    calls: list[tuple] = []
    for module in (daily_bars, tick_bars):
        monkeypatch.setattr(module, "start_progress", lambda total, label: calls.append(("start", total, label)))
        monkeypatch.setattr(module, "update_progress", lambda current: calls.append(("update", current)))
        monkeypatch.setattr(module, "finish_progress", lambda: calls.append(("finish",)))
    return calls


@pytest.fixture
def session(httpserver):
    with HttpSession("test-key", base_url=httpserver.url_for(API_ROOT)) as s:
        yield s
