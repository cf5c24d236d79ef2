"""Exchange rules of the simulated market: calendar, ticks, limits, sessions.

Everything here is pure and deterministic; the data generators build on it.
"""

from __future__ import annotations

import random
import zlib
from datetime import date, datetime, time, timedelta
from typing import Iterator, List

# The first trading day the simulator knows; price walks start here.
EPOCH = date(2010, 1, 4)

BOARD_LOT = 100
PRICE_LIMIT = 0.07

# Fixed-date closures (month, day).
FIXED_HOLIDAYS = {(1, 1), (4, 30), (5, 1), (9, 2)}

# First day of the lunar new year; the exchange closes from the day before
# through the fourth day of the new year.
LUNAR_NEW_YEAR = {
    2015: date(2015, 2, 19), 2016: date(2016, 2, 8), 2017: date(2017, 1, 28),
    2018: date(2018, 2, 16), 2019: date(2019, 2, 5), 2020: date(2020, 1, 25),
    2021: date(2021, 2, 12), 2022: date(2022, 2, 1), 2023: date(2023, 1, 22),
    2024: date(2024, 2, 10), 2025: date(2025, 1, 29), 2026: date(2026, 2, 17),
}

MORNING = (time(9, 15), time(11, 30))
AFTERNOON = (time(13, 0), time(14, 45))


def seeded(*parts: object) -> random.Random:
    """A random generator seeded from the text of ``parts`` (stable across runs)."""
    text = "|".join(str(p) for p in parts)
    data = text.encode("utf-8")
    seed = (zlib.crc32(data) << 32) | zlib.adler32(data)
    return random.Random(seed)


def _lunar_closure(day: date) -> bool:
    first = LUNAR_NEW_YEAR.get(day.year)
    if first is None:
        return False
    return first - timedelta(days=1) <= day <= first + timedelta(days=3)


def is_trading_day(day: date) -> bool:
    if day.weekday() >= 5:
        return False
    if (day.month, day.day) in FIXED_HOLIDAYS:
        return False
    return not _lunar_closure(day)


def trading_days(start: date, end: date) -> Iterator[date]:
    """Trading days from ``start`` to ``end``, both included."""
    day = start
    one = timedelta(days=1)
    while day <= end:
        if is_trading_day(day):
            yield day
        day += one


def last_trading_day(on_or_before: date) -> date:
    day = on_or_before
    while not is_trading_day(day):
        day -= timedelta(days=1)
    return day


def tick_size(price: float) -> int:
    """Price step in VND for a price level."""
    if price < 10_000:
        return 10
    if price < 50_000:
        return 50
    return 100


def round_to_tick(price: float) -> int:
    step = tick_size(price)
    return int(round(price / step)) * step


def floor_to_tick(price: float) -> int:
    step = tick_size(price)
    return int(price // step) * step


def ceil_to_tick(price: float) -> int:
    step = tick_size(price)
    return -int(-price // step) * step


def on_tick(price: int) -> bool:
    return price > 0 and price % tick_size(price) == 0


def price_band(reference: int) -> tuple[int, int]:
    """Floor and ceiling prices of a day whose reference price is ``reference``."""
    ceiling = floor_to_tick(reference * (1 + PRICE_LIMIT))
    floor = ceil_to_tick(reference * (1 - PRICE_LIMIT))
    return floor, ceiling


def session_minutes(day: date) -> List[datetime]:
    """Start times of the one-minute bars of a trading day (lunch break excluded)."""
    minutes: List[datetime] = []
    for begin, finish in (MORNING, AFTERNOON):
        moment = datetime.combine(day, begin)
        stop = datetime.combine(day, finish)
        while moment < stop:
            minutes.append(moment)
            moment += timedelta(minutes=1)
    return minutes


def in_session(moment: datetime) -> bool:
    clock = moment.time()
    return any(begin <= clock < finish for begin, finish in (MORNING, AFTERNOON))


def lots(volume_in_lots: int) -> int:
    return volume_in_lots * BOARD_LOT


def split_lots(total: int, weights: List[float]) -> List[int]:
    """Split ``total`` whole units by ``weights`` (largest remainder, exact sum)."""
    if total <= 0 or not weights:
        return [0] * len(weights)
    mass = sum(weights)
    raw = [total * w / mass for w in weights]
    parts = [int(r) for r in raw]
    rest = total - sum(parts)
    order = sorted(range(len(raw)), key=lambda i: (raw[i] - parts[i], -i), reverse=True)
    for i in order[:rest]:
        parts[i] += 1
    return parts
