"""InvestorFlowEngine: builds and sends investor-flow requests, normalises the answers into tables
and resamples them to weekly or monthly buckets.
"""


from datetime import date as date
from datetime import datetime as datetime
from typing import Any as Any
from typing import Iterable as Iterable
from typing import Mapping as Mapping
import pandas as pd
from varnix.exceptions import DataDecodingError as DataDecodingError
from varnix.exceptions import HttpError as HttpError
from private_core.wire_link import HttpSession as HttpSession
from private_core.progress import finish_progress as finish_progress
from private_core.progress import start_progress as start_progress
from private_core.progress import update_progress as update_progress

__all__ = ['InvestorFlowEngine', 'Namespace', 'Operation']

Namespace = str
Operation = str
def _strict_str(value: Any) -> str: ...

class InvestorFlowEngine:
    _NAMESPACE_OPS: Mapping[Namespace, set[Operation]]
    _ID_FIELD: Mapping[Namespace, str]
    session: HttpSession
    def __init__(self, session: HttpSession) -> None: ...
    def fetch_df(self, namespace: Namespace, op: Operation, params: dict[str, Any]) -> pd.DataFrame: ...
    def _prepare_payload(self, params: dict[str, Any]) -> dict[str, Any]: ...
    def _request(self, endpoint: str, payload: dict[str, Any]) -> Any: ...
    def _to_query_params(self, payload: dict[str, Any]) -> dict[str, Any]: ...
    def _normalise_records(self, payload: Any, namespace: Namespace) -> list[dict[str, Any]]: ...
    def _ensure_mapping(self, entry: Any, namespace: Namespace, identifier: str | None = ...) -> dict[str, Any]: ...
    def _to_dataframe(self, rows: list[dict[str, Any]], namespace: Namespace) -> pd.DataFrame: ...
    def _resample_frame(self, frame: pd.DataFrame, namespace: Namespace, interval: str) -> pd.DataFrame: ...
