"""Fixtures of the end-to-end suite: the demo client against a fresh local
simulator per test, with the simulated date pinned so every answer is fixed."""
import pytest

from demo.main import CLIENT_VERSION, DemoClient
from private_core.wire_link import HttpSession
from tests.support import API_KEY, running_simulator


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "delayed: waits out the session's time-out against a slowed simulator (about a second each)")


@pytest.fixture
def sim():
    with running_simulator() as simulator:
        yield simulator


@pytest.fixture
def session(sim):
    with HttpSession(API_KEY, base_url=sim.base_url, version=CLIENT_VERSION) as s:
        yield s


@pytest.fixture
def client(session):
    return DemoClient(session)
