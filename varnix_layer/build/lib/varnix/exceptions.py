"""Exceptions raised and caught by the Varnix client and its private core."""

from __future__ import annotations

from typing import Any, Optional


class VarnixError(Exception):
    """Base class of every error of the Varnix client."""


class HttpError(VarnixError):
    """A request failed: the service could not be reached or answered 400 or more.

    ``status_code`` is the HTTP status and ``payload`` the decoded JSON body (or
    the body text) of the answer; both are ``None`` for a transport failure.
    """

    def __init__(self, message: str, *, status_code: Optional[int] = None, payload: Any = None) -> None:
        super().__init__(message)
        self.message = message
        self.status_code = status_code
        self.payload = payload


class DataDecodingError(VarnixError):
    """An answer of the service could not be decoded into the expected shape."""


class ApiKeyValidationError(VarnixError):
    """The API key could not be validated, or the service rejected it."""


__all__ = ["VarnixError", "HttpError", "DataDecodingError", "ApiKeyValidationError"]
