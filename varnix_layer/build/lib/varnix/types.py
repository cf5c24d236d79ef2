"""Response models of the Varnix service."""

from __future__ import annotations

from typing import List, Optional

from pydantic import BaseModel, ConfigDict, Field


class ApiKeyValidationResponse(BaseModel):
    """The service's answer to an API key validation."""

    model_config = ConfigDict(extra="allow", populate_by_name=True)

    valid: bool
    plan: Optional[str] = None
    expires_at: Optional[str] = Field(default=None, alias="expiresAt")
    messages: List[str] = Field(default_factory=list)


__all__ = ["ApiKeyValidationResponse"]
