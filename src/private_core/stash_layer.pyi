"""BaseStashLayer: the mixin that gives each client object its own result cache and the get-or-fetch
routine that folds concurrent identical fetches.
"""

from typing import Hashable, Tuple

from datetime import timedelta as timedelta
from typing import Any as Any
from typing import Callable as Callable
from typing import Dict as Dict
from typing import Optional as Optional
import pandas as pd
from private_core.stash_store import _Cache as _Cache

__all__ = ['BaseStashLayer']

CacheKey = Tuple[Hashable, ...]
Namespace = str

class BaseStashLayer:
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def clear_cache(self, ns: Optional[str] = ...) -> None: ...
    def _fetch_with_cache(self, namespace: Namespace, key: CacheKey, *, live: bool, fetcher: Callable[[], pd.DataFrame], ttl_live: Optional[timedelta], ttl_history: Optional[timedelta], params: Optional[Dict[str, Any]] = ..., wait_timeout: float = ..., wait_interval: float = ...) -> pd.DataFrame: ...
