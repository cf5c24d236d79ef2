"""Time-to-live rules of the result cache: whether a request reaches the latest trading day, and how
long cached results of each kind of data stay valid.
"""

import logging as _logging
from typing import Any, Callable, Dict, Hashable, Iterable, List, Literal, Mapping, Optional, Protocol, Self, Sequence, Tuple, Union

from datetime import timedelta as timedelta
from typing import Optional as Optional
from private_core.stash_store import is_today as is_today
from private_core.stash_store import to_date as to_date

__all__ = ['touches_latest_trading_day', 'ttl_intraday_live', 'ttl_intraday_history', 'ttl_orderbook_live', 'ttl_eod_latest', 'ttl_eod_history']

def touches_latest_trading_day(end: object) -> bool: ...
def ttl_intraday_live() -> timedelta: ...
def ttl_intraday_history() -> Optional[timedelta]: ...
def ttl_orderbook_live() -> timedelta: ...
def ttl_eod_latest() -> timedelta: ...
def ttl_eod_history() -> Optional[timedelta]: ...
