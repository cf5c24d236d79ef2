"""The progress display written in plain Python, statement by statement as
the native module is meant to run: the hostile scenarios run against both and
must end alike (same exception and message, or same output)."""

import math
import os  # noqa: F401  (a module name the native module binds too)
import re
import shutil
import sys
import time
from dataclasses import dataclass
from typing import List, Tuple

_SPINNER = ("-", "\\", "|", "/")
_DONE_TOKEN = "OK"
_BAR_FILLED = "#"
_BAR_EMPTY = "."
_RESET = "\x1b[0m"
_DIM = "\x1b[2m"
_BOLD = "\x1b[1m"
_CYAN = "\x1b[36m"
_GREEN = "\x1b[38;2;93;105;244m"
_YELLOW = "\x1b[33m"
_BLUE = "\x1b[34m"


def _exact(name, value, tp):
    """The typed-argument check of the native functions."""
    if type(value) is not tp:
        raise TypeError(f"Argument '{name}' has incorrect type (expected {tp.__name__}, got {type(value).__name__})")


def _isatty() -> bool:
    return sys.stdout.isatty()


def _ansi_ok() -> bool:
    return _isatty()


def _fmt_time(seconds: float) -> str:
    seconds = float(seconds)
    if math.isinf(seconds) or seconds < 0:
        return "--:--"
    s = int(seconds + 0.5)
    m, s = divmod(s, 60)
    if m >= 100:
        h, m = divmod(m, 60)
        return format(h, "d") + "h" + format(m, "02d") + "m"
    return format(m, "02d") + ":" + format(s, "02d")


def _fmt_rate(rate: float) -> str:
    rate = float(rate)
    if not math.isfinite(rate) or rate <= 0:
        return "--/s"
    if rate < 1:
        return format(rate, "0.2f") + "/s"
    if rate < 10:
        return format(rate, "0.1f") + "/s"
    return format(rate, "0.0f") + "/s"


def _term_width(default: int = 80) -> int:
    _exact("default", default, int)
    try:
        return shutil.get_terminal_size(fallback=(default, 24)).columns
    except Exception:
        return default


def _compose_right(current: int, total: int, rate: float, remaining: float, elapsed: float, pal,
                   completed: bool) -> List[Tuple[str, str]]:
    _exact("current", current, int)
    _exact("total", total, int)
    percent = int(current / total * 100) if total else 0
    return [
        ("progress", pal(_DIM) + str(current) + "/" + str(total) + pal(_RESET)),
        ("percent", pal(_BLUE) + format(percent, "3d") + "%" + pal(_RESET)),
        ("rate", pal(_YELLOW) + _fmt_rate(rate) + pal(_RESET)),
        ("eta", pal(_GREEN) + "done" + pal(_RESET)) if completed
        else ("eta", "ETA " + pal(_YELLOW) + _fmt_time(remaining) + pal(_RESET)),
        ("elapsed", pal(_DIM) + "+" + _fmt_time(elapsed) + pal(_RESET)),
    ]


def _join_right(parts: List[str]) -> str:
    _exact("parts", parts, list)
    return "  ".join([p for p in parts if p])


def _strip_ansi(s: str) -> str:
    _exact("s", s, str)
    return re.sub("\x1b\\[[0-9;]*[a-zA-Z]", "", s)


def _len_noansi(s: str) -> int:
    _exact("s", s, str)
    return len(_strip_ansi(s))


def _pad_to_width(s: str, width: int) -> str:
    _exact("s", s, str)
    _exact("width", width, int)
    s_len = _len_noansi(s)
    if s_len < width:
        return s + " " * (width - s_len)
    return s


@dataclass
class _Meter:
    total: int
    start_t: float
    last_draw_t: float
    symbol: str
    enable_color: bool
    min_redraw_interval: float = 1 / 24

    def palette(self, code: str) -> str:
        _exact("code", code, str)
        return code if self.enable_color else ""


_state = None


def start_progress(total: int, symbol: str) -> None:
    global _state
    _exact("total", total, int)
    _exact("symbol", symbol, str)
    if total <= 0 or not _isatty():
        _state = None
        return
    start_t = time.perf_counter()
    _state = _Meter(total=total, start_t=start_t, last_draw_t=0.0, symbol=symbol, enable_color=_ansi_ok())
    _draw_progress(0, force=True)


def update_progress(current: int) -> None:
    _exact("current", current, int)
    if _state is None:
        return
    now = time.perf_counter()
    if current < _state.total and now - _state.last_draw_t < _state.min_redraw_interval:
        return
    _draw_progress(current)


def finish_progress() -> None:
    if _state is None:
        return
    _draw_progress(_state.total, force=True)
    sys.stdout.write("\n")
    sys.stdout.flush()


def _draw_progress(current: int, force: bool = False) -> None:
    _exact("current", current, int)

    def build_right(items: List[Tuple[str, str]]) -> str:
        _exact("items", items, list)
        return _join_right([text for _, text in items if text])

    m = _state
    if m is None:
        return
    bar_min = 10
    drop_priority = ("elapsed", "eta", "rate", "percent")
    current = max(0, min(current, m.total))
    now = time.perf_counter()
    elapsed = max(1e-9, now - m.start_t)
    rate = current / elapsed
    remaining = (m.total - current) / rate if rate > 0 else float("inf")
    spin = _DONE_TOKEN if current == m.total else _SPINNER[int(now * 10) % len(_SPINNER)]
    pal = m.palette
    completed = current == m.total
    left = pal(_BOLD) + spin + pal(_RESET) + " " + pal(_CYAN) + m.symbol + pal(_RESET)
    right_items = _compose_right(current, m.total, rate, remaining, elapsed, pal, completed)
    visible_items = right_items[:]
    width = max(40, _term_width())
    right = build_right(visible_items)
    budget_right_bar = max(bar_min, width - _len_noansi(left) - 4)
    room = budget_right_bar - _len_noansi(right)
    for label in drop_priority:
        if room >= bar_min:
            break
        for i, (key, text) in enumerate(visible_items):
            if key == label and text:
                visible_items[i] = (key, "")
                break
        right = build_right(visible_items)
        room = budget_right_bar - _len_noansi(right)
    bar_w = max(bar_min, room)
    right = build_right(visible_items)
    frac = 0 if m.total == 0 else current / m.total
    filled = bar_w if completed else min(bar_w, int(bar_w * frac))
    bar = pal(_GREEN) + _BAR_FILLED * filled + pal(_RESET)
    if bar_w - filled > 0:
        bar += pal(_DIM) + _BAR_EMPTY * (bar_w - filled) + pal(_RESET)
    line = left + " [" + bar + "]"
    if right:
        line = line + " " + right
    sys.stdout.write("\r" + _pad_to_width(line, width))
    sys.stdout.flush()
    m.last_draw_t = now
