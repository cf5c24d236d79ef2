import pytest

from tests.support import ServiceClient, running_simulator

TODAY = "2025-06-30"  # a Monday


@pytest.fixture(scope="session")
def simulator():
    with running_simulator(TODAY) as sim:
        yield sim


@pytest.fixture
def sim(simulator):
    simulator.reset()
    simulator.configure(today=TODAY)
    yield simulator
    assert simulator.faults == []


@pytest.fixture
def api(sim):
    client = ServiceClient(sim.base_url)
    yield client
    client.close()
