"""Financial statements: company-type validation and statement values, as plain dictionaries."""


from typing import Any as Any
from typing import Dict as Dict
from typing import Iterable as Iterable
from typing import List as List
from typing import Mapping as Mapping
from typing import Sequence as Sequence
from varnix.exceptions import DataDecodingError as DataDecodingError
from private_core.wire_link import HttpSession as HttpSession

__all__ = ['validate_company_types', 'fetch_statement_values', 'JsonDict']

_COMPANY_TYPE_ENDPOINT: str
_STATEMENT_ENDPOINT: str
JsonDict = Dict[str, Any]
def _ensure_json_dict(payload: Any, *, context: str) -> JsonDict: ...
def _decode_response(response: Any, *, context: str) -> JsonDict: ...
def _coerce_symbols(symbols: Sequence[str]) -> List[str]: ...
def validate_company_types(session: HttpSession, symbols: Sequence[str]) -> JsonDict: ...
def fetch_statement_values(session: HttpSession, *, symbols: Sequence[str], statement_id: int, start_year: int, end_year: int, period: str) -> JsonDict: ...
