"""The one-line progress display of the batch fetchers: start_progress, update_progress and
finish_progress.
"""

import logging as _logging
from typing import Any, Callable, Dict, Hashable, Iterable, List, Literal, Mapping, Optional, Protocol, Self, Sequence, Tuple, Union

import math
import os
import re
import shutil
import sys
import time
from dataclasses import dataclass as dataclass
from typing import List as List
from typing import Tuple as Tuple

__all__ = ['start_progress', 'update_progress', 'finish_progress']

_SPINNER: Tuple[str, ...]
_DONE_TOKEN: str
_BAR_FILLED: str
_BAR_EMPTY: str
_RESET: str
_DIM: str
_BOLD: str
_CYAN: str
_GREEN: str
_YELLOW: str
_BLUE: str
def _isatty() -> bool: ...
def _ansi_ok() -> bool: ...
def _fmt_time(seconds: float) -> str: ...
def _fmt_rate(rate: float) -> str: ...
def _term_width(default: int = ...) -> int: ...
def _compose_right(current: int, total: int, rate: float, remaining: float, elapsed: float, pal: Any, completed: bool) -> List[Tuple[str, str]]: ...
def _join_right(parts: List[str]) -> str: ...
def _strip_ansi(s: str) -> str: ...
def _len_noansi(s: str) -> int: ...
def _pad_to_width(s: str, width: int) -> str: ...

@dataclass
class _Meter:
    total: int
    start_t: float
    last_draw_t: float
    symbol: str
    enable_color: bool
    min_redraw_interval: float = ...
    def palette(self, code: str) -> str: ...

_state: Optional[_Meter]
def start_progress(total: int, symbol: str) -> None: ...
def update_progress(current: int) -> None: ...
def finish_progress() -> None: ...
def _draw_progress(current: int, force: bool = ...) -> None: ...
