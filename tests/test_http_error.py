"""An HttpError reads as the core's message plus the service's own reason, on
one short line; its message and attributes stay as the core set them."""

import pytest
from varnix.exceptions import HttpError

from private_core import daily_bars
from private_core.wire_link import HttpSession
from varnix_sim import Simulator

MESSAGE = "Varnix backend returned HTTP 400 for http://127.0.0.1:1/api/v1/varnix/x"
LOOP: list = []
LOOP.append(LOOP)


@pytest.mark.parametrize("payload, reason", [
    ({"detail": "Invalid start: expected a date as YYYY-MM-DD"}, "Invalid start: expected a date as YYYY-MM-DD"),
    ({"detail": "  ", "message": "Rate limit reached"}, "Rate limit reached"),
    ({"detail": None, "message": "  spaced \n out  "}, "spaced out"),
    ("upstream said\n\tno", "upstream said no"),
    ({"detail": [{"loc": ["query", "start"], "msg": "bad"}]}, '{"detail": [{"loc": ["query", "start"], "msg": "bad"}]}'),
    ({"error": "Giá không hợp lệ", "data": []}, '{"error": "Giá không hợp lệ", "data": []}'),
    ({("a", 1): "b"}, "{('a', 1): 'b'}"),
    (LOOP, "[[...]]"),
    ("x" * 500, "x" * 199 + "…"),
    ({"message": "word " * 100}, ("word " * 40)[:199] + "…"),
    (None, None), ("", None), (" \n ", None), ({}, None), ([], None),
])
def test_string_form_carries_the_reason(payload, reason):
    err = HttpError(MESSAGE, status_code=400, payload=payload)
    assert str(err) == (MESSAGE if reason is None else f"{MESSAGE}: {reason}")
    assert "\n" not in str(err) and len(str(err)) <= len(MESSAGE) + 2 + 200
    assert (err.message, err.args, err.status_code, err.payload) == (MESSAGE, (MESSAGE,), 400, payload)


def test_reason_of_a_real_answer():
    with Simulator(today="2025-06-30") as sim, HttpSession("key", base_url=sim.base_url) as session:
        url = sim.base_url + "/market-data/eod/ohlcv"
        with pytest.raises(HttpError) as info:
            daily_bars.fetch_ohlcv(session, "FPT", "2025/06/02", show_progress=False)
    assert info.value.message == f"Varnix backend returned HTTP 400 for {url}"
    assert str(info.value) == f"Varnix backend returned HTTP 400 for {url}: Invalid start: expected a date as YYYY-MM-DD"
