"""Fixtures of the result-cache tests: a client class mixing in the cache
layer, and a hand-driven clock for the layer's waiting."""

import threading

import pytest

from private_core import stash_layer


class Client(stash_layer.BaseStashLayer):
    pass


@pytest.fixture
def client():
    return Client()


class FakeTime:
    """Stands in for the layer's `time`: sleeping advances the clock."""

    def __init__(self):
        self.now = 100.0
        self.sleeps = []

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds
        threading.Event().wait(0.001)  # let other threads run


@pytest.fixture
def fake_time(monkeypatch):
    clock = FakeTime()
    monkeypatch.setattr(stash_layer, "time", clock)
    return clock


def wait_until(predicate, timeout=10.0):
    """Bounded wait for a condition another thread brings about."""
    pause = threading.Event()
    for _ in range(int(timeout / 0.002)):
        if predicate():
            return True
        pause.wait(0.002)
    return predicate()
