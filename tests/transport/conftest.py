import pytest

from private_core.wire_link import HttpSession


@pytest.fixture
def session(httpserver):
    s = HttpSession("secret-key", base_url=httpserver.url_for("/api/v1/varnix/"), version="1.2.3")
    yield s
    s.close()
