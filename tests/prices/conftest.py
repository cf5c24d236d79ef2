"""The price fetchers' progress calls, recorded."""

import pytest

from private_core import daily_bars, tick_bars
from tests.support import replace_progress


@pytest.fixture
def progress(monkeypatch):
    return replace_progress(monkeypatch, daily_bars, tick_bars)
