"""Exceptions raised and caught by the Varnix client and its private core."""

from __future__ import annotations

import json
from typing import Any, Optional

# How much of the service's reason the string form of an HttpError shows.
REASON_LIMIT = 200


class VarnixError(Exception):
    """Base class of every error of the Varnix client."""


class HttpError(VarnixError):
    """A request failed: the service could not be reached or answered 400 or more.

    ``status_code`` is the HTTP status and ``payload`` the decoded JSON body (or
    the body text) of the answer; both are ``None`` for a transport failure.
    The string form is ``message`` followed by the service's reason, when the
    answer carries one, on one line of at most 200 characters.
    """

    def __init__(self, message: str, *, status_code: Optional[int] = None, payload: Any = None) -> None:
        super().__init__(message)
        self.message = message
        self.status_code = status_code
        self.payload = payload

    def __str__(self) -> str:
        reason = _reason(self.payload)
        return f"{self.message}: {reason}" if reason else self.message


def _reason(payload: Any) -> str:
    """The service's own words from an error answer, as one short line."""
    if isinstance(payload, dict):
        for key in ("detail", "message"):
            if isinstance(payload.get(key), str) and payload[key].strip():
                payload = payload[key]
                break
    if not isinstance(payload, str):
        if payload is None or (isinstance(payload, (dict, list)) and not payload):
            return ""
        try:
            payload = json.dumps(payload, ensure_ascii=False, default=repr)
        except (TypeError, ValueError):  # keys JSON cannot write, or a structure that holds itself
            payload = repr(payload)
    text = " ".join(payload.split())
    return text if len(text) <= REASON_LIMIT else text[:REASON_LIMIT - 1] + "…"


class DataDecodingError(VarnixError):
    """An answer of the service could not be decoded into the expected shape."""


class ApiKeyValidationError(VarnixError):
    """The API key could not be validated, or the service rejected it."""


__all__ = ["VarnixError", "HttpError", "DataDecodingError", "ApiKeyValidationError"]
