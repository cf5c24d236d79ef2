"""HttpSession: the authenticated session through which every request to the Varnix service goes
(headers, URL joining, time-out, error mapping).
"""

import logging as _logging
from typing import Self
from types import TracebackType

import requests
from typing import TYPE_CHECKING as TYPE_CHECKING
from typing import Any as Any
from typing import Dict as Dict
from typing import Optional as Optional
from urllib.parse import urljoin as urljoin

__all__ = ['BASE_URL', 'DEFAULT_TIMEOUT', 'HttpSession']

logger: _logging.Logger
BASE_URL: str
DEFAULT_TIMEOUT: int
def _default_user_agent(version: str) -> str: ...

class HttpSession:
    api_key: str
    base_url: str
    timeout: int
    def __init__(self, api_key: str, *, base_url: str = ..., version: str = ..., timeout: int = ..., user_agent: Optional[str] = ...) -> None: ...
    def _prepare_url(self, path: str) -> str: ...
    def request(self, method: str, path: str, *, params: Optional[Dict[str, Any]] = ..., json_body: Optional[Dict[str, Any]] = ..., data: Optional[Any] = ..., headers: Optional[Dict[str, str]] = ..., timeout: Optional[int] = ...) -> requests.Response: ...
    def get(self, path: str, *, params: Optional[Dict[str, Any]] = ..., headers: Optional[Dict[str, str]] = ..., timeout: Optional[int] = ...) -> requests.Response: ...
    def post(self, path: str, *, json_body: Optional[Dict[str, Any]] = ..., data: Optional[Any] = ..., headers: Optional[Dict[str, str]] = ..., timeout: Optional[int] = ...) -> requests.Response: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, exc_type: type[BaseException] | None, exc_value: BaseException | None, traceback: TracebackType | None) -> None: ...
