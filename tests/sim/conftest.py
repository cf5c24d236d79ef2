import pytest
import requests

from varnix_sim import Simulator

TODAY = "2025-06-30"  # a Monday


@pytest.fixture(scope="session")
def simulator():
    with Simulator(today=TODAY) as sim:
        yield sim


@pytest.fixture
def sim(simulator):
    simulator.reset()
    simulator.configure(today=TODAY)
    yield simulator
    assert simulator.faults == []


class Client:
    def __init__(self, base_url):
        self.base_url = base_url
        self.http = requests.Session()
        self.http.headers.update({"Authorization": "Bearer test-key", "User-Agent": "varnix/0.0.0"})

    def get(self, path, **params):
        return self.http.get(self.base_url + path, params=params, timeout=10)

    def post(self, path, body=None, **kwargs):
        return self.http.post(self.base_url + path, json=body, timeout=10, **kwargs)

    def data(self, path, **params):
        response = self.get(path, **params)
        assert response.status_code == 200, response.text
        payload = response.json()
        assert payload["error"] is None
        return payload["data"]


@pytest.fixture
def api(sim):
    client = Client(sim.base_url)
    yield client
    client.http.close()
