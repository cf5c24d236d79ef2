"""Stand-ins for the HTTP session of the investor engine, and daily rows."""

from __future__ import annotations

import pandas as pd

from varnix.exceptions import HttpError

API_ROOT = "/api/v1/varnix"


class FakeResponse:
    def __init__(self, payload=None) -> None:
        self.payload = payload

    def json(self):
        if isinstance(self.payload, Exception):
            raise self.payload
        return self.payload


class FakeSession:
    """Answers from `answer(method, path, body_or_query)`: an exception is
    raised, anything else is the decoded body.  Every call is recorded."""

    def __init__(self, answer=None) -> None:
        self.answer = answer or (lambda method, path, sent: [])
        self.calls: list[tuple[str, str, dict]] = []

    def _send(self, method, path, sent):
        self.calls.append((method, path, sent))
        result = self.answer(method, path, sent)
        if isinstance(result, HttpError):
            raise result
        return FakeResponse(result)

    def post(self, path, *, json_body=None):
        return self._send("POST", path, json_body)

    def get(self, path, *, params=None):
        return self._send("GET", path, params)


def daily_rows(ident: str, start: str, end: str, field: str = "symbol", **extra) -> list[dict]:
    """One row per calendar day: buy=1, sell=2 (so a full week sums to 7 and 14)."""
    return [
        {field: ident, "date": day.strftime("%Y-%m-%d"), "buy": 1, "sell": 2, **extra}
        for day in pd.date_range(start, end)
    ]
