"""Stand-ins for the HTTP session and its responses, shared by the price tests."""

from __future__ import annotations

API_ROOT = "/api/v1/varnix"


class FakeResponse:
    def __init__(self, payload=None, error: Exception | None = None) -> None:
        self.payload = payload
        self.error = error

    def json(self):
        if self.error is not None:
            raise self.error
        return self.payload


class FakeSession:
    """Answers GET and POST from `answer(path, params_or_body)`; records every call."""

    def __init__(self, answer=None) -> None:
        self.answer = answer or (lambda path, params: {"error": None, "data": []})
        self.calls: list[tuple[str, str, dict]] = []

    def _respond(self, result):
        return result if isinstance(result, FakeResponse) else FakeResponse(result)

    def get(self, path, *, params=None):
        self.calls.append(("GET", path, dict(params)))
        return self._respond(self.answer(path, params))

    def post(self, path, *, json_body=None):
        self.calls.append(("POST", path, dict(json_body)))
        return self._respond(self.answer(path, json_body))

    @property
    def symbols(self) -> list[str]:
        return [params["symbol"] for _, _, params in self.calls]


def bars_for(table: dict[str, list[dict]]):
    """An answer function serving `table[symbol]` as the bars of each symbol."""
    return lambda path, params: {"error": None, "data": [dict(b) for b in table.get(params["symbol"], [])]}
