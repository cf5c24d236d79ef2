"""The service's endpoints: parameter parsing and answers.

Handlers take a :class:`Call` and return the JSON value of a 200 answer, or
raise :class:`ApiError` for a refused request.  They know nothing of HTTP
transport; the server module does the rest.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from datetime import date, datetime, time, timedelta
from typing import Any, Callable, Dict, List, Optional, Tuple

from . import fundamentals, investors, prices
from .trading import EPOCH, last_trading_day

API_ROOT = "/api/v1/varnix"

_SYMBOL = re.compile(r"^[A-Z0-9][A-Z0-9._-]{0,19}$")
_DAILY_INTERVALS = {"1D": "1D", "1d": "1D", "D": "1D", "1W": "1W", "1w": "1W", "W": "1W", "1M": "1M", "M": "1M"}
_MINUTE_INTERVALS = {"1m": 1, "5m": 5, "15m": 15, "30m": 30, "1H": 60, "1h": 60}
_INVESTOR_INTERVALS = {"1D", "1W", "1M"}
MAX_INTRADAY_DAYS = 31
MAX_INVESTOR_DAYS = 3660
MAX_IDS = 50
MARKET_CLOSE = time(15, 0)


class ApiError(Exception):
    """A refused request: HTTP status and the text of its "detail" field."""

    def __init__(self, status: int, detail: str) -> None:
        super().__init__(detail)
        self.status = status
        self.detail = detail


@dataclass
class Call:
    method: str
    query: Dict[str, List[str]]
    body: Any
    unknown_symbols: frozenset
    now: datetime
    investor_shape: str = "envelope"
    plan: str = "pro"

    @property
    def today(self) -> date:
        return self.now.date()

    def last_complete_day(self) -> date:
        day = self.today if self.now.time() >= MARKET_CLOSE else self.today - timedelta(days=1)
        return last_trading_day(day)

    def param(self, name: str) -> Optional[str]:
        values = self.query.get(name)
        if not values:
            return None
        value = values[-1].strip()
        return value or None


# -- parameter helpers -------------------------------------------------------

def parse_date(text: str, name: str) -> date:
    """A date given as YYYY-MM-DD; a date with a time of day gives its date."""
    text = text.strip()
    try:
        return date.fromisoformat(text)
    except ValueError:
        pass
    try:
        return datetime.fromisoformat(text.replace(" ", "T")).date()
    except ValueError:
        raise ApiError(400, "Invalid " + name + ": expected a date as YYYY-MM-DD") from None


def parse_moment(text: str, name: str, end_of_day: bool) -> datetime:
    text = text.strip()
    if len(text) == 10:
        day = parse_date(text, name)
        return datetime.combine(day, time(23, 59, 59) if end_of_day else time(0, 0))
    try:
        return datetime.fromisoformat(text.replace("T", " "))
    except ValueError:
        raise ApiError(400, "Invalid " + name + ": expected YYYY-MM-DD or YYYY-MM-DD HH:MM:SS") from None


def clean_symbol(value: Any, name: str = "symbol") -> str:
    if not isinstance(value, str) or not value.strip():
        raise ApiError(400, name + " is required")
    symbol = value.strip().upper()
    if not _SYMBOL.match(symbol):
        raise ApiError(400, "Invalid " + name + ": " + value.strip())
    return symbol


def unknown(symbol: str) -> dict:
    return {"error": "Unknown symbol " + symbol, "data": []}


def _required_symbol(call: Call) -> str:
    return clean_symbol(call.param("symbol") or "")


# -- key validation ----------------------------------------------------------

def auth_validate(call: Call) -> Any:
    body = call.body
    if not isinstance(body, dict):
        raise ApiError(400, "Request body must be a JSON object")
    key = body.get("apiKey")
    if not isinstance(key, str) or not key.strip():
        raise ApiError(400, "apiKey is required")
    version = body.get("clientVersion")
    if not isinstance(version, str) or not version.strip():
        raise ApiError(400, "clientVersion is required")
    include = body.get("includeMessages", True)
    context = body.get("context")
    if context is not None and not isinstance(context, dict):
        raise ApiError(400, "context must be a JSON object")
    messages: List[str] = []
    if include:
        messages.append("Xin chào! Khóa API hợp lệ cho gói " + call.plan + ".")
        messages.append("Client version " + version.strip() + " is supported.")
    return {
        "valid": True,
        "plan": call.plan,
        "expiresAt": date(call.today.year + 1, 12, 31).isoformat() + "T23:59:59Z",
        "messages": messages,
    }


# -- prices ------------------------------------------------------------------

def eod_ohlcv(call: Call) -> Any:
    symbol = _required_symbol(call)
    raw_interval = call.param("interval") or "1D"
    interval = _DAILY_INTERVALS.get(raw_interval)
    if interval is None:
        raise ApiError(400, "Unsupported interval " + raw_interval + " for daily bars")
    latest = call.last_complete_day()
    end_text, start_text = call.param("end"), call.param("start")
    end = parse_date(end_text, "end") if end_text else latest
    start = parse_date(start_text, "start") if start_text else end - timedelta(days=365)
    if start > end:
        raise ApiError(400, "start must not be after end")
    if symbol in call.unknown_symbols:
        return unknown(symbol)
    bars = prices.daily_bars(symbol, max(start, EPOCH), min(end, latest))
    return {"error": None, "symbol": symbol, "interval": interval, "data": prices.aggregate_daily(bars, interval)}


def _flag(call: Call, name: str) -> Optional[bool]:
    value = call.param(name)
    if value is None:
        return None
    lowered = value.lower()
    if lowered not in ("true", "false"):
        raise ApiError(400, "Invalid " + name + ": expected true or false")
    return lowered == "true"


def intraday_ohlcv(call: Call) -> Any:
    symbol = _required_symbol(call)
    raw_interval = call.param("interval") or "1m"
    step = _MINUTE_INTERVALS.get(raw_interval)
    if step is None:
        raise ApiError(400, "Unsupported interval " + raw_interval + " for intraday bars")
    _flag(call, "adjusted")  # no corporate actions are simulated: adjusted equals raw
    start_text, end_text = call.param("start"), call.param("end")
    if start_text:
        start = parse_moment(start_text, "start", end_of_day=False)
        end = parse_moment(end_text, "end", end_of_day=True) if end_text else datetime.combine(start.date(), time(23, 59, 59))
    elif end_text:
        end = parse_moment(end_text, "end", end_of_day=True)
        start = datetime.combine(end.date(), time(0, 0))
    else:
        day = last_trading_day(call.today)
        start, end = datetime.combine(day, time(0, 0)), datetime.combine(day, time(23, 59, 59))
    if start > end:
        raise ApiError(400, "start must not be after end")
    if (end.date() - start.date()).days >= MAX_INTRADAY_DAYS:
        raise ApiError(400, "Intraday range is limited to " + str(MAX_INTRADAY_DAYS) + " days")
    if symbol in call.unknown_symbols:
        return unknown(symbol)
    bars = []
    day = max(start.date(), EPOCH)
    while day <= min(end.date(), call.today):
        for bar in prices.minute_bars(symbol, day):
            # A bar is served once its minute is over.
            if start <= bar.moment <= end and bar.moment + timedelta(minutes=1) <= call.now:
                bars.append(bar)
        day += timedelta(days=1)
    return {"error": None, "symbol": symbol, "interval": raw_interval, "data": prices.aggregate_minutes(bars, step)}


def intraday_orderbook(call: Call) -> Any:
    symbol = _required_symbol(call)
    target_text = call.param("target_date")
    target = parse_date(target_text, "target_date") if target_text else last_trading_day(call.today)
    if symbol in call.unknown_symbols:
        return unknown(symbol)
    entries: List[dict] = []
    if EPOCH <= target <= call.today:
        until = call.now - timedelta(minutes=1) if target == call.today else None
        entries = prices.tape(symbol, target, until)
    return {"error": None, "symbol": symbol, "target_date": target.isoformat(), "data": entries}


# -- reporting ---------------------------------------------------------------

def company_types(call: Call) -> Any:
    raw: List[str] = []
    for value in call.query.get("symbol", []):
        raw.extend(part for part in value.split(","))
    symbols = [clean_symbol(s) for s in raw if s.strip()]
    if not symbols:
        raise ApiError(400, "symbol is required")
    if len(symbols) > 100:
        raise ApiError(400, "At most 100 symbols per request")
    data, invalid = [], []
    for symbol in symbols:
        if symbol in call.unknown_symbols:
            data.append({"symbol": symbol, "valid": False, "company_type": None, "message": "Unknown symbol " + symbol})
            invalid.append(symbol)
        else:
            data.append({"symbol": symbol, "valid": True, "company_type": fundamentals.company_type(symbol), "message": None})
    return {"error": None, "data": data, "invalid": invalid}


def _int_field(body: dict, name: str) -> int:
    value = body.get(name)
    if not isinstance(value, int) or isinstance(value, bool):
        raise ApiError(400, name + " must be an integer")
    return value


def statement_values(call: Call) -> Any:
    body = call.body
    if not isinstance(body, dict):
        raise ApiError(400, "Request body must be a JSON object")
    raw = body.get("symbol")
    if isinstance(raw, str):
        raw = [raw]
    if not isinstance(raw, list) or not raw:
        raise ApiError(400, "symbol must be a non-empty list of strings")
    symbols = [clean_symbol(s) for s in raw]
    if len(symbols) > 100:
        raise ApiError(400, "At most 100 symbols per request")
    statement_id = _int_field(body, "statement_id")
    if statement_id not in fundamentals.STATEMENTS:
        raise ApiError(400, "statement_id must be one of 1, 2, 3, 4")
    start_year, end_year = _int_field(body, "start_year"), _int_field(body, "end_year")
    if start_year < 1900 or end_year > 2100:
        raise ApiError(400, "Years must lie between 1900 and 2100")
    if start_year > end_year:
        raise ApiError(400, "start_year must not be after end_year")
    period = body.get("period")
    if period not in ("year", "quarter"):
        raise ApiError(400, "period must be 'year' or 'quarter'")
    for symbol in symbols:
        if symbol in call.unknown_symbols:
            return unknown(symbol)
    rows: List[dict] = []
    for symbol in symbols:
        rows.extend(fundamentals.statement_rows(symbol, statement_id, start_year, end_year, period, call.today))
    return {
        "error": None,
        "statement_id": statement_id,
        "statement": fundamentals.STATEMENTS[statement_id],
        "period": period,
        "unit": "VND",
        "data": rows,
    }


# -- investors ---------------------------------------------------------------

def _investor_params(call: Call) -> Dict[str, Any]:
    if call.method == "POST":
        if not isinstance(call.body, dict):
            raise ApiError(400, "Request body must be a JSON object")
        return dict(call.body)
    params: Dict[str, Any] = {}
    for name, values in call.query.items():
        if name == "ids":
            params[name] = [part for v in values for part in v.split(",")]
        else:
            params[name] = values[-1]
    return params


def _investor_ids(namespace: str, value: Any) -> List[str]:
    if isinstance(value, str):
        value = value.split(",")
    if not isinstance(value, list):
        raise ApiError(400, "ids must be a list of identifiers")
    ids = [str(v).strip() for v in value if v is not None and str(v).strip()]
    if not ids:
        raise ApiError(400, "ids is required")
    if len(ids) > MAX_IDS:
        raise ApiError(400, "At most " + str(MAX_IDS) + " ids per request")
    if namespace == "sector":
        return ids
    return [i.upper() for i in ids]


def _id_error(namespace: str, ident: str, call: Call) -> Optional[str]:
    if namespace == "sector":
        if ident in call.unknown_symbols or ident not in investors.SECTORS:
            return "Unknown ICB code " + ident
        return None
    if ident in call.unknown_symbols or not _SYMBOL.match(ident):
        return "Unknown symbol " + ident
    if namespace == "market" and ident not in investors.MARKETS:
        return "Unknown market index " + ident
    return None


def investor(namespace: str, operation: str) -> Callable[[Call], Any]:
    def handler(call: Call) -> Any:
        params = _investor_params(call)
        ids = _investor_ids(namespace, params.get("ids"))
        group = str(params.get("group") or "all").strip().lower()
        if group not in investors.GROUPS:
            raise ApiError(400, "Unknown investor group " + group)
        interval = str(params.get("interval") or "1D").strip().upper()
        if interval not in _INVESTOR_INTERVALS:
            raise ApiError(400, "Unsupported interval " + interval)
        latest = call.last_complete_day()
        end = parse_date(str(params["end"]), "end") if params.get("end") else latest
        start = parse_date(str(params["start"]), "start") if params.get("start") else end - timedelta(days=30)
        if start > end:
            raise ApiError(400, "start must not be after end")
        if (end - start).days > MAX_INVESTOR_DAYS:
            raise ApiError(400, "Date range is limited to " + str(MAX_INVESTOR_DAYS) + " days")
        for ident in ids:
            message = _id_error(namespace, ident, call)
            if message:
                return {"error": message, "data": []}
        field_name = investors.ID_FIELD[namespace]
        lo, hi = max(start, EPOCH), min(end, latest)
        per_id: List[Tuple[str, List[dict]]] = []
        for ident in ids:
            rows = investors.rows_for(namespace, operation, ident, group, lo, hi)
            per_id.append((ident, investors.roll_up(rows, interval)))
        if call.investor_shape == "list":
            return [row for _, rows in per_id for row in rows]
        if call.investor_shape == "by_id":
            return {ident: [{k: v for k, v in row.items() if k != field_name} for row in rows] for ident, rows in per_id}
        return {"error": None, "data": [row for _, rows in per_id for row in rows]}

    handler.__name__ = "investor_" + namespace + "_" + operation
    return handler


ROUTES: Dict[str, Dict[str, Callable[[Call], Any]]] = {
    "/auth/validate": {"POST": auth_validate},
    "/market-data/eod/ohlcv": {"GET": eod_ohlcv},
    "/market-data/intraday/ohlcv": {"GET": intraday_ohlcv},
    "/market-data/intraday/orderbook": {"GET": intraday_orderbook},
    "/reporting/meta/company-types/validate": {"GET": company_types},
    "/reporting/statements/values": {"POST": statement_values},
}
INVESTOR_PREFIX = "/market-data/investor/"
for _ns, _ops in investors.OPERATIONS.items():
    for _op in _ops:
        _h = investor(_ns, _op)
        ROUTES[INVESTOR_PREFIX + _ns + "/" + _op] = {"POST": _h, "GET": _h}
