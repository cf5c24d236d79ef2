"""Synthetic investor flows per group, for stocks, market indices and sectors.

Every matched share has one buyer and one seller, so on each trading day the
buy side and the sell side of the five disjoint groups both add up to the
day's matched volume and the net flows of all groups sum to zero.  A stock's
matched volume is the volume of its daily bar.
"""

from __future__ import annotations

import math
from datetime import date
from typing import Dict, List, Optional, Sequence, Tuple

from .fundamentals import company_type
from .prices import daily_bar, profile, typical_price
from .trading import BOARD_LOT, round_to_tick, seeded, split_lots, trading_days

# Disjoint groups and their mean share of a day's buying (or selling).
PARTITION: Tuple[Tuple[str, float], ...] = (
    ("proprietary", 0.04),
    ("local_institutional", 0.07),
    ("local_individual", 0.80),
    ("foreign_institutional", 0.08),
    ("foreign_individual", 0.01),
)
# Groups as a client names them; "foreign" is both foreign groups together.
GROUPS = ("foreign", "proprietary", "local_institutional", "local_individual",
          "foreign_institutional", "foreign_individual", "all")
_MEMBERS: Dict[str, Tuple[str, ...]] = {name: (name,) for name, _ in PARTITION}
_MEMBERS["foreign"] = ("foreign_institutional", "foreign_individual")
_MEMBERS["all"] = tuple(name for name, _ in PARTITION)

MARKETS = {"VNINDEX": 8_000_000, "VN30": 3_000_000, "HNXINDEX": 1_000_000,
           "HNX30": 400_000, "UPCOMINDEX": 600_000}
SECTORS = {
    "0500": "Dầu khí", "1300": "Hóa chất", "1700": "Tài nguyên cơ bản",
    "2300": "Xây dựng và vật liệu", "2700": "Hàng và dịch vụ công nghiệp",
    "3300": "Ô tô và phụ tùng", "3500": "Thực phẩm và đồ uống",
    "3700": "Hàng cá nhân và gia dụng", "4500": "Y tế", "5300": "Bán lẻ",
    "5500": "Truyền thông", "5700": "Du lịch và giải trí", "6500": "Viễn thông",
    "7500": "Điện, nước và xăng dầu khí đốt", "8300": "Ngân hàng",
    "8500": "Bảo hiểm", "8600": "Bất động sản", "8700": "Dịch vụ tài chính",
    "9500": "Công nghệ thông tin",
}

ID_FIELD = {"stock": "symbol", "market": "symbol", "sector": "icb"}
OPERATIONS = {
    "stock": ("flow", "breakdown", "foreign_room"),
    "market": ("flow", "breakdown"),
    "sector": ("flow", "breakdown", "foreign_room"),
}


def _activity(namespace: str, ident: str, day: date) -> Optional[Tuple[int, int]]:
    """Matched volume (in lots) and average price of a trading day."""
    if namespace == "stock":
        bar = daily_bar(ident, day)
        if bar is None:
            return None
        return bar.volume // BOARD_LOT, typical_price(bar)
    base = MARKETS.get(ident, 500_000) if namespace == "market" else 150_000
    rng = seeded("activity", namespace, ident, day.isoformat())
    phase = seeded("phase", namespace, ident).uniform(0, 2 * math.pi)
    level = 1 + 0.25 * math.sin(day.toordinal() / 120 + phase)
    volume = max(1, int(base * level * math.exp(rng.gauss(0, 0.25))))
    price = round_to_tick(22_000 * (1 + 0.15 * math.sin(day.toordinal() / 300 + phase)) * math.exp(rng.gauss(0, 0.02)))
    return volume, price


def _split(namespace: str, ident: str, day: date, volume_lots: int) -> Dict[str, Tuple[int, int]]:
    rng = seeded("groups", namespace, ident, day.isoformat())
    buy_w = [share * math.exp(rng.gauss(0, 0.3)) for _, share in PARTITION]
    sell_w = [share * math.exp(rng.gauss(0, 0.3)) for _, share in PARTITION]
    buys = split_lots(volume_lots, buy_w)
    sells = split_lots(volume_lots, sell_w)
    return {name: (buys[i], sells[i]) for i, (name, _) in enumerate(PARTITION)}


def _group_figures(split: Dict[str, Tuple[int, int]], group: str, price: int) -> Dict[str, int]:
    buy = sum(split[m][0] for m in _MEMBERS[group]) * BOARD_LOT
    sell = sum(split[m][1] for m in _MEMBERS[group]) * BOARD_LOT
    return {
        "buy_volume": buy, "sell_volume": sell, "net_volume": buy - sell,
        "buy_value": buy * price, "sell_value": sell * price, "net_value": (buy - sell) * price,
    }


def _days(namespace: str, ident: str, start: date, end: date):
    for day in trading_days(start, end):
        act = _activity(namespace, ident, day)
        if act is not None:
            yield day, act


def flow_rows(namespace: str, ident: str, group: str, start: date, end: date) -> List[dict]:
    field = ID_FIELD[namespace]
    rows = []
    for day, (volume, price) in _days(namespace, ident, start, end):
        split = _split(namespace, ident, day, volume)
        row = {"date": day.isoformat(), field: ident, "group": group}
        row.update(_group_figures(split, group, price))
        rows.append(row)
    return rows


def breakdown_rows(namespace: str, ident: str, group: str, start: date, end: date) -> List[dict]:
    """One row per day with buy, sell and net value and net volume of each group."""
    field = ID_FIELD[namespace]
    groups = [g for g in GROUPS if g != "all"] if group == "all" else [group]
    rows = []
    for day, (volume, price) in _days(namespace, ident, start, end):
        split = _split(namespace, ident, day, volume)
        row: Dict[str, object] = {"date": day.isoformat(), field: ident}
        for g in groups:
            fig = _group_figures(split, g, price)
            row[g + "_buy_value"] = fig["buy_value"]
            row[g + "_sell_value"] = fig["sell_value"]
            row[g + "_net_value"] = fig["net_value"]
            row[g + "_net_volume"] = fig["net_volume"]
        rows.append(row)
    return rows


def _outstanding(namespace: str, ident: str) -> Tuple[int, float]:
    if namespace == "stock":
        ratio = 0.30 if company_type(ident) == "bank" else 0.49
        return profile(ident).outstanding, ratio
    rng = seeded("sector-shares", ident)
    return int(rng.uniform(5e9, 6e10)) // 1000 * 1000, 0.45


def foreign_room_rows(namespace: str, ident: str, start: date, end: date) -> List[dict]:
    field = ID_FIELD[namespace]
    outstanding, ratio = _outstanding(namespace, ident)
    limit = int(outstanding * ratio)
    rng = seeded("room", namespace, ident)
    base, phase1, phase2 = rng.uniform(0.2, 0.95), rng.uniform(0, 6.3), rng.uniform(0, 6.3)
    rows = []
    for day, _ in _days(namespace, ident, start, end):
        t = day.toordinal()
        used = base + 0.08 * math.sin(t / 58 + phase1) + 0.03 * math.sin(t / 11 + phase2)
        holding = int(limit * min(1.0, max(0.0, used)))
        rows.append({
            "date": day.isoformat(),
            field: ident,
            "outstanding_shares": outstanding,
            "foreign_limit_ratio": ratio,
            "foreign_limit_shares": limit,
            "foreign_holding_shares": holding,
            "foreign_room_shares": limit - holding,
            "foreign_ownership_ratio": round(holding / outstanding, 4),
        })
    return rows


def rows_for(namespace: str, operation: str, ident: str, group: str, start: date, end: date) -> List[dict]:
    if operation == "flow":
        return flow_rows(namespace, ident, group, start, end)
    if operation == "breakdown":
        return breakdown_rows(namespace, ident, group, start, end)
    return foreign_room_rows(namespace, ident, start, end)


_SNAPSHOT = {"outstanding_shares", "foreign_limit_ratio", "foreign_limit_shares",
             "foreign_holding_shares", "foreign_room_shares", "foreign_ownership_ratio"}


def roll_up(rows: Sequence[dict], interval: str) -> List[dict]:
    """Daily rows rolled up to weeks or months, per identifier.

    Flows are summed; holdings are taken from the last day.  A bucket is
    labelled with its last trading day.
    """
    if interval == "1D":
        return list(rows)
    out: List[dict] = []
    current: Optional[tuple] = None
    for row in rows:
        day = date.fromisoformat(row["date"])
        bucket = tuple(day.isocalendar()[:2]) if interval == "1W" else (day.year, day.month)
        ident = row.get("symbol", row.get("icb"))
        key = (ident, bucket)
        if key != current:
            current = key
            out.append(dict(row))
            continue
        last = out[-1]
        for name, value in row.items():
            if name == "date" or name in _SNAPSHOT:
                last[name] = value
            elif isinstance(value, int) and not isinstance(value, bool):
                last[name] += value
    return out
