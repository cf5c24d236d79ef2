"""validate_api_key: checks the user's API key against the Varnix service and decodes its answer."""

import logging as _logging
from typing import Any

from typing import Optional as Optional
from pydantic import ValidationError as ValidationError
from varnix.exceptions import ApiKeyValidationError as ApiKeyValidationError
from varnix.exceptions import HttpError as HttpError
from varnix.types import ApiKeyValidationResponse as ApiKeyValidationResponse
from private_core.wire_link import HttpSession as HttpSession

__all__ = ['validate_api_key', 'VALIDATION_ENDPOINT']

logger: _logging.Logger
VALIDATION_ENDPOINT: str
def validate_api_key(session: HttpSession, *, client_version: str, include_messages: bool = ..., extra_context: Optional[dict[str, Any]] = ...) -> ApiKeyValidationResponse: ...
