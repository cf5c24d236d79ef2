"""Synthetic price data: daily bars, one-minute bars and the matched-order tape.

A symbol's daily walk starts at ``EPOCH`` from a price drawn from its own
seed and moves one trading day at a time, so the bar of a given day never
depends on the range that was asked for.  Intraday bars of a day are a
bridge from that day's open to its close inside its high/low, and their
volumes add up to the day's volume; the tape of a minute adds up to the
minute's volume.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from datetime import date, datetime, timedelta
from functools import lru_cache
from typing import Callable, Iterable, List, Optional, Sequence, Tuple

from .trading import (
    BOARD_LOT,
    EPOCH,
    price_band,
    round_to_tick,
    seeded,
    session_minutes,
    split_lots,
    tick_size,
    trading_days,
)


@dataclass(frozen=True)
class Profile:
    base_price: float
    sigma: float
    base_lots: float
    outstanding: int


@dataclass(frozen=True)
class DailyBar:
    day: date
    reference: int
    open: int
    high: int
    low: int
    close: int
    volume: int

    def as_json(self) -> dict:
        return {
            "time": self.day.isoformat(),
            "open": self.open,
            "high": self.high,
            "low": self.low,
            "close": self.close,
            "volume": self.volume,
        }


@dataclass(frozen=True)
class MinuteBar:
    moment: datetime
    open: int
    high: int
    low: int
    close: int
    volume: int

    def as_json(self) -> dict:
        return {
            "time": self.moment.strftime("%Y-%m-%d %H:%M:%S"),
            "open": self.open,
            "high": self.high,
            "low": self.low,
            "close": self.close,
            "volume": self.volume,
        }


def _clamp(value: int, low: int, high: int) -> int:
    return max(low, min(high, value))


@lru_cache(maxsize=1024)
def profile(symbol: str) -> Profile:
    rng = seeded("profile", symbol)
    base_price = math.exp(rng.uniform(math.log(6_000), math.log(120_000)))
    sigma = rng.uniform(0.012, 0.028)
    base_lots = math.exp(rng.uniform(math.log(800), math.log(60_000)))
    outstanding = int(math.exp(rng.uniform(math.log(1e8), math.log(5e9)))) // 1000 * 1000
    return Profile(base_price, sigma, base_lots, outstanding)


@lru_cache(maxsize=128)
def _series_through_year(symbol: str, year: int) -> Tuple[DailyBar, ...]:
    prof = profile(symbol)
    rng = seeded("daily", symbol)
    anchor = math.log(prof.base_price)
    sigma = prof.sigma
    prev_close = round_to_tick(prof.base_price)
    bars: List[DailyBar] = []
    for day in trading_days(EPOCH, date(year, 12, 31)):
        ref = prev_close
        floor, ceiling = price_band(ref)
        # Five draws per day, always, so the stream stays aligned.
        ret = rng.gauss(0.0, sigma) + 0.008 * (anchor - math.log(ref))
        gap = rng.gauss(0.0, sigma / 3)
        up = abs(rng.gauss(0.0, sigma / 2))
        down = abs(rng.gauss(0.0, sigma / 2))
        noise = rng.gauss(0.0, 0.45)
        close = _clamp(round_to_tick(ref * math.exp(ret)), floor, ceiling)
        open_ = _clamp(round_to_tick(ref * math.exp(gap)), floor, ceiling)
        top, bottom = max(open_, close), min(open_, close)
        high = _clamp(round_to_tick(top * (1 + up)), top, ceiling)
        low = _clamp(round_to_tick(bottom * (1 - down)), floor, bottom)
        move = abs(close - ref) / ref
        volume_lots = max(1, int(prof.base_lots * math.exp(noise) * (1 + 8 * move)))
        bars.append(DailyBar(day, ref, open_, high, low, close, volume_lots * BOARD_LOT))
        prev_close = close
    return tuple(bars)


def daily_bars(symbol: str, start: date, end: date) -> List[DailyBar]:
    """Daily bars of ``symbol`` for the trading days in [start, end]."""
    if end < EPOCH or start > end:
        return []
    series = _series_through_year(symbol, end.year)
    return [bar for bar in series if start <= bar.day <= end]


def daily_bar(symbol: str, day: date) -> Optional[DailyBar]:
    found = daily_bars(symbol, day, day)
    return found[0] if found else None


def _bucket_key(interval: str) -> Callable[[date], tuple]:
    if interval == "1W":
        return lambda d: tuple(d.isocalendar()[:2])
    if interval == "1M":
        return lambda d: (d.year, d.month)
    return lambda d: (d,)


def aggregate_daily(bars: Sequence[DailyBar], interval: str) -> List[dict]:
    """Daily bars as JSON objects, rolled up to weeks or months when asked.

    A rolled-up bar is labelled with the first trading day of its bucket.
    """
    if interval == "1D":
        return [bar.as_json() for bar in bars]
    key = _bucket_key(interval)
    out: List[dict] = []
    current: Optional[tuple] = None
    for bar in bars:
        k = key(bar.day)
        if k != current:
            current = k
            out.append(bar.as_json())
            continue
        last = out[-1]
        last["high"] = max(last["high"], bar.high)
        last["low"] = min(last["low"], bar.low)
        last["close"] = bar.close
        last["volume"] += bar.volume
    return out


@lru_cache(maxsize=256)
def minute_bars(symbol: str, day: date) -> Tuple[MinuteBar, ...]:
    """One-minute bars of a trading day; minutes without trades are left out."""
    bar = daily_bar(symbol, day)
    if bar is None:
        return ()
    minutes = session_minutes(day)
    n = len(minutes)
    rng = seeded("intraday", symbol, day.isoformat())

    # Price path: a bridge from open to close, kept inside the day's range.
    walk = [0.0]
    for _ in range(n):
        walk.append(walk[-1] + rng.gauss(0.0, 1.0))
    spread = max(bar.high - bar.low, tick_size(bar.close))
    scale = spread / (1.2 * math.sqrt(n))
    path = []
    for i in range(n + 1):
        frac = i / n
        bridge = walk[i] - frac * walk[n]
        level = bar.open + (bar.close - bar.open) * frac + scale * bridge
        path.append(_clamp(round_to_tick(level), bar.low, bar.high))
    path[0], path[n] = bar.open, bar.close

    # Volume: U-shaped over the session, adding up to the day's volume.
    weights = []
    for i in range(n):
        x = (i - n / 2) / (n / 2)
        weights.append((1 + 1.5 * x * x) * math.exp(rng.gauss(0.0, 0.5)))
    parts = split_lots(bar.volume // BOARD_LOT, weights)
    for edge in (0, n - 1):
        if parts[edge] == 0:
            donor = max(range(n), key=lambda i: parts[i])
            if parts[donor] > 1:
                parts[donor] -= 1
                parts[edge] += 1
    traded = [i for i in range(n) if parts[i] > 0]
    hit_high = traded[rng.randrange(len(traded))]
    hit_low = traded[rng.randrange(len(traded))]

    out: List[MinuteBar] = []
    for i in traded:
        o, c = path[i], path[i + 1]
        step = tick_size(max(o, c))
        h = _clamp(max(o, c) + step * rng.randrange(3), bar.low, bar.high)
        lo = _clamp(min(o, c) - step * rng.randrange(3), bar.low, bar.high)
        if i == hit_high:
            h = bar.high
        if i == hit_low:
            lo = bar.low
        out.append(MinuteBar(minutes[i], o, h, lo, c, parts[i] * BOARD_LOT))
    return tuple(out)


def aggregate_minutes(bars: Iterable[MinuteBar], minutes: int) -> List[dict]:
    """Minute bars rolled up to ``minutes``-long buckets counted from the hour."""
    if minutes == 1:
        return [bar.as_json() for bar in bars]
    out: List[dict] = []
    current: Optional[datetime] = None
    for bar in bars:
        m = bar.moment
        start = m.replace(minute=(m.minute // minutes) * minutes if minutes < 60 else 0, second=0)
        if start != current:
            current = start
            row = bar.as_json()
            row["time"] = start.strftime("%Y-%m-%d %H:%M:%S")
            out.append(row)
            continue
        last = out[-1]
        last["high"] = max(last["high"], bar.high)
        last["low"] = min(last["low"], bar.low)
        last["close"] = bar.close
        last["volume"] += bar.volume
    return out


def tape(symbol: str, day: date, until: Optional[datetime] = None) -> List[dict]:
    """Matched orders of a trading day, each with time, price, volume and side."""
    entries: List[dict] = []
    last_price: Optional[int] = None
    for bar in minute_bars(symbol, day):
        if until is not None and bar.moment >= until:
            break
        rng = seeded("tape", symbol, bar.moment.isoformat())
        lots_total = bar.volume // BOARD_LOT
        count = min(lots_total, 1 + rng.randrange(4))
        weights = [rng.uniform(0.2, 1.0) for _ in range(count)]
        parts = [1 + p for p in split_lots(lots_total - count, weights)]
        seconds = sorted(rng.sample(range(60), count))
        step = tick_size(bar.low)
        span = (bar.high - bar.low) // step if step else 0
        for k in range(count):
            if k == 0:
                price = bar.open
            elif k == count - 1:
                price = bar.close
            else:
                price = round_to_tick(bar.low + step * rng.randint(0, span))
                price = _clamp(price, bar.low, bar.high)
            if last_price is None or price == last_price:
                side = "buy" if rng.random() < 0.5 else "sell"
            else:
                side = "buy" if price > last_price else "sell"
            moment = bar.moment + timedelta(seconds=seconds[k])
            entries.append({
                "time": moment.strftime("%Y-%m-%d %H:%M:%S"),
                "price": price,
                "volume": parts[k] * BOARD_LOT,
                "side": side,
            })
            last_price = price
    return entries


def typical_price(bar: DailyBar) -> int:
    return round_to_tick((bar.high + bar.low + bar.close) / 3)


__all__ = [
    "DailyBar",
    "MinuteBar",
    "Profile",
    "aggregate_daily",
    "aggregate_minutes",
    "daily_bar",
    "daily_bars",
    "minute_bars",
    "profile",
    "tape",
    "typical_price",
]
