"""The result cache: a namespace-keyed store with expiry and in-flight counts that fold identical
fetches, and two date helpers.
"""


from dataclasses import dataclass as dataclass
from dataclasses import field as field
from datetime import date as date
from datetime import datetime as datetime
from datetime import timedelta as timedelta
from threading import RLock as RLock
from typing import Any as Any
from typing import Dict as Dict
from typing import Hashable as Hashable
from typing import Optional as Optional
from typing import Tuple as Tuple
import pandas as pd

__all__ = ['_Cache', 'CacheEntry', 'CacheKey', 'Namespace', 'to_date', 'is_today']

CacheKey = Tuple[Hashable, ...]
Namespace = str

@dataclass
class CacheEntry:
    data: pd.DataFrame
    fetched_at: datetime
    params: Dict[str, Any] = ...
    expires_at: Optional[datetime] = ...
    def is_expired(self) -> bool: ...


class _Cache:
    def __init__(self, enable_singleflight: bool = ...) -> None: ...
    def get(self, ns: Namespace, key: CacheKey) -> Optional[CacheEntry]: ...
    def set(self, ns: Namespace, key: CacheKey, data: pd.DataFrame, *, params: Optional[Dict[str, Any]] = ..., ttl: Optional[timedelta] = ...) -> CacheEntry: ...
    def clear_ns(self, ns: Namespace) -> None: ...
    def clear_all(self) -> None: ...
    def _begin_inflight(self, ns: Namespace, key: CacheKey) -> bool: ...
    def _end_inflight(self, ns: Namespace, key: CacheKey) -> None: ...

def to_date(d: Any) -> date: ...
def is_today(d: Any) -> bool: ...
