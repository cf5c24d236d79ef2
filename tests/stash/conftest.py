"""Fixtures of the result-cache tests: the three modules, a client class that
mixes in the cache layer, and a hand-driven clock."""

import threading

import pytest

from private_core import stash_layer, stash_rules, stash_store


@pytest.fixture
def store():
    return stash_store


@pytest.fixture
def rules():
    return stash_rules


@pytest.fixture
def layer():
    return stash_layer


class Client(stash_layer.BaseStashLayer):
    pass


@pytest.fixture
def client():
    return Client()


class FakeTime:
    """Stands in for the `time` module of the cache layer: `sleep` advances
    the monotonic reading instead of waiting, and yields the interpreter so
    other threads keep running."""

    def __init__(self, start=100.0):
        self.now = start
        self.sleeps = []
        self._lock = threading.Lock()

    def monotonic(self):
        with self._lock:
            return self.now

    def sleep(self, seconds):
        with self._lock:
            self.sleeps.append(seconds)
            self.now += seconds
        threading.Event().wait(0.001)


@pytest.fixture
def fake_time(monkeypatch):
    clock = FakeTime()
    monkeypatch.setattr(stash_layer, "time", clock)
    return clock


def wait_until(predicate, timeout=10.0):
    """Bounded wait for a condition another thread brings about."""
    done = threading.Event()
    for _ in range(int(timeout / 0.002)):
        if predicate():
            return True
        done.wait(0.002)
    return predicate()
