"""fetch_ohlcv and fetch_orderbook: intraday OHLCV bars and order-book tapes for one symbol or a batch."""

from typing import Literal

from typing import Any as Any
from typing import Dict as Dict
from typing import List as List
from typing import Optional as Optional
from typing import Sequence as Sequence
from typing import Union as Union
from varnix.exceptions import DataDecodingError as DataDecodingError
from private_core.wire_link import HttpSession as HttpSession
from private_core.helpers import _to_dataframe as _to_dataframe
from private_core.helpers import resample_ohlcv_multi as resample_ohlcv_multi
from private_core.progress import start_progress as start_progress
from private_core.progress import update_progress as update_progress
from private_core.progress import finish_progress as finish_progress
import pandas as pd

__all__ = ['fetch_ohlcv', 'fetch_orderbook', 'ENDPOINT', 'ORDERBOOK_ENDPOINT', 'IntervalIntraday']

IntervalIntraday = Literal['1m', '5m', '15m', '30m', '1H', '1D']
ENDPOINT: str
ORDERBOOK_ENDPOINT: str
def _normalize_symbols(symbols: Union[str, Sequence[str]]) -> List[str]: ...
def _render_progress(current: int, total: int, symbol: str) -> None: ...
def fetch_ohlcv(session: HttpSession, symbol: Union[str, Sequence[str]], start: Optional[str] = ..., end: Optional[str] = ..., interval: IntervalIntraday = ..., adjusted: Optional[bool] = ..., *, show_progress: bool = ...) -> pd.DataFrame: ...
def fetch_orderbook(session: HttpSession, symbol: Union[str, Sequence[str]], target_date: Optional[str] = ..., *, show_progress: bool = ...) -> pd.DataFrame: ...
