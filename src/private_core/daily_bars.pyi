"""fetch_ohlcv: end-of-day OHLCV bars for one symbol or a batch, as one pandas DataFrame."""

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

__all__ = ['fetch_ohlcv', 'ENDPOINT', 'Interval']

Interval = Literal['1D', '1W', '1M']
ENDPOINT: str
def _normalize_symbols(symbols: Union[str, Sequence[str]]) -> List[str]: ...
def _render_progress(current: int, total: int, symbol: str) -> None: ...
def fetch_ohlcv(session: HttpSession, symbol: Union[str, Sequence[str]], start: Optional[str] = ..., end: Optional[str] = ..., interval: Interval = ..., *, show_progress: bool = ...) -> pd.DataFrame: ...
