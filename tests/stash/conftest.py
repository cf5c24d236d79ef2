"""Fixtures of the result-cache tests: a client mixing in the cache layer,
and a hand-driven clock for the layer's waiting."""

import pytest

from private_core import stash_layer
from tests.support import FakeTime, StashClient


@pytest.fixture
def client():
    return StashClient()


@pytest.fixture
def fake_time(monkeypatch):
    clock = FakeTime()
    monkeypatch.setattr(stash_layer, "time", clock)
    return clock
