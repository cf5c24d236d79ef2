"""Synthetic company data: company types and financial statements.

Quarterly figures are drawn per (symbol, year, quarter); the yearly figures
of the flow statements (income, cash flow) are the sums of their quarters,
and the yearly balance sheet is the fourth-quarter one.  Values are in VND,
rounded to the million.
"""

from __future__ import annotations

import math
from datetime import date
from functools import lru_cache
from typing import Dict, List, Optional, Tuple

from .prices import profile
from .trading import seeded

BANKS = {"VCB", "BID", "CTG", "TCB", "MBB", "ACB", "VPB", "STB", "HDB", "TPB", "VIB", "SHB", "EIB", "LPB", "MSB", "OCB", "SSB"}
SECURITIES = {"SSI", "VND", "HCM", "VCI", "SHS", "MBS", "FTS", "BSI", "CTS", "VIX"}
INSURANCE = {"BVH", "BMI", "PVI", "MIG", "BIC", "PTI", "VNR"}

STATEMENTS = {
    1: "balance_sheet",
    2: "income_statement",
    3: "cash_flow",
    4: "ratios",
}

ITEMS: Dict[int, List[Tuple[str, str]]] = {
    1: [
        ("cash", "Tiền và tương đương tiền"),
        ("receivables", "Các khoản phải thu ngắn hạn"),
        ("inventory", "Hàng tồn kho"),
        ("other_current_assets", "Tài sản ngắn hạn khác"),
        ("current_assets", "Tài sản ngắn hạn"),
        ("non_current_assets", "Tài sản dài hạn"),
        ("total_assets", "Tổng cộng tài sản"),
        ("short_term_debt", "Vay ngắn hạn"),
        ("long_term_debt", "Vay dài hạn"),
        ("liabilities", "Nợ phải trả"),
        ("equity", "Vốn chủ sở hữu"),
        ("total_liabilities_and_equity", "Tổng cộng nguồn vốn"),
    ],
    2: [
        ("revenue", "Doanh thu thuần"),
        ("cost_of_goods_sold", "Giá vốn hàng bán"),
        ("gross_profit", "Lợi nhuận gộp"),
        ("selling_expenses", "Chi phí bán hàng"),
        ("admin_expenses", "Chi phí quản lý doanh nghiệp"),
        ("financial_income", "Doanh thu hoạt động tài chính"),
        ("financial_expenses", "Chi phí tài chính"),
        ("operating_profit", "Lợi nhuận thuần từ hoạt động kinh doanh"),
        ("other_profit", "Lợi nhuận khác"),
        ("profit_before_tax", "Tổng lợi nhuận kế toán trước thuế"),
        ("income_tax", "Chi phí thuế thu nhập doanh nghiệp"),
        ("net_profit", "Lợi nhuận sau thuế"),
    ],
    3: [
        ("operating_cash_flow", "Lưu chuyển tiền thuần từ hoạt động kinh doanh"),
        ("investing_cash_flow", "Lưu chuyển tiền thuần từ hoạt động đầu tư"),
        ("financing_cash_flow", "Lưu chuyển tiền thuần từ hoạt động tài chính"),
        ("net_cash_flow", "Lưu chuyển tiền thuần trong kỳ"),
    ],
    4: [
        ("gross_margin", "Biên lợi nhuận gộp"),
        ("net_margin", "Biên lợi nhuận ròng"),
        ("roa", "ROA"),
        ("roe", "ROE"),
        ("debt_to_equity", "Nợ vay trên vốn chủ sở hữu"),
        ("eps", "Lợi nhuận trên mỗi cổ phiếu"),
    ],
}

_MILLION = 1_000_000
_SEASON = (0.92, 1.0, 1.0, 1.12)


def company_type(symbol: str) -> str:
    if symbol in BANKS:
        return "bank"
    if symbol in SECURITIES:
        return "securities"
    if symbol in INSURANCE:
        return "insurance"
    return "company"


def first_year(symbol: str) -> int:
    return 2006 + seeded("listing", symbol).randrange(11)


def _m(value: float) -> int:
    return int(round(value / _MILLION)) * _MILLION


@lru_cache(maxsize=2048)
def _quarter(symbol: str, year: int, quarter: int) -> Dict[int, Dict[str, float]]:
    base_rng = seeded("fundamentals", symbol)
    base_revenue = math.exp(base_rng.uniform(math.log(1e11), math.log(2e13)))
    growth = base_rng.gauss(0.08, 0.05)
    margin = base_rng.uniform(0.12, 0.35)
    asset_turn = base_rng.uniform(0.8, 2.5)
    leverage = base_rng.uniform(0.3, 0.7)

    rng = seeded("quarter", symbol, year, quarter)
    t = (year - 2010) + (quarter - 1) / 4
    revenue = _m(base_revenue * (1 + growth) ** t * _SEASON[quarter - 1] * math.exp(rng.gauss(0, 0.08)))
    cogs = _m(revenue * (1 - margin * math.exp(rng.gauss(0, 0.1))))
    gross = revenue - cogs
    selling = _m(revenue * rng.uniform(0.02, 0.06))
    admin = _m(revenue * rng.uniform(0.02, 0.05))
    fin_income = _m(revenue * rng.uniform(0.0, 0.03))
    fin_expenses = _m(revenue * rng.uniform(0.0, 0.04))
    operating = gross - selling - admin + fin_income - fin_expenses
    other = _m(revenue * rng.gauss(0, 0.005))
    pbt = operating + other
    tax = _m(pbt * 0.2) if pbt > 0 else 0
    net = pbt - tax
    income = {
        "revenue": revenue, "cost_of_goods_sold": cogs, "gross_profit": gross,
        "selling_expenses": selling, "admin_expenses": admin,
        "financial_income": fin_income, "financial_expenses": fin_expenses,
        "operating_profit": operating, "other_profit": other,
        "profit_before_tax": pbt, "income_tax": tax, "net_profit": net,
    }

    total_assets = _m(revenue * 4 * asset_turn * math.exp(rng.gauss(0, 0.03)))
    current = _m(total_assets * rng.uniform(0.35, 0.7))
    cash = _m(current * rng.uniform(0.1, 0.3))
    receivables = _m(current * rng.uniform(0.2, 0.35))
    inventory = _m(current * rng.uniform(0.1, 0.3))
    liabilities = _m(total_assets * leverage * math.exp(rng.gauss(0, 0.03)))
    short_debt = _m(liabilities * rng.uniform(0.2, 0.4))
    long_debt = _m(liabilities * rng.uniform(0.1, 0.3))
    balance = {
        "cash": cash, "receivables": receivables, "inventory": inventory,
        "other_current_assets": current - cash - receivables - inventory,
        "current_assets": current, "non_current_assets": total_assets - current,
        "total_assets": total_assets, "short_term_debt": short_debt,
        "long_term_debt": long_debt, "liabilities": liabilities,
        "equity": total_assets - liabilities,
        "total_liabilities_and_equity": total_assets,
    }

    ocf = _m(net * rng.uniform(0.6, 1.4))
    icf = -_m(revenue * rng.uniform(0.01, 0.08))
    fcf = _m(revenue * rng.gauss(0, 0.04))
    cash_flow = {
        "operating_cash_flow": ocf, "investing_cash_flow": icf,
        "financing_cash_flow": fcf, "net_cash_flow": ocf + icf + fcf,
    }
    return {1: balance, 2: income, 3: cash_flow}


def _ratios(symbol: str, balance: Dict[str, float], income: Dict[str, float], quarters: int) -> Dict[str, float]:
    revenue = income["revenue"] or 1
    equity = balance["equity"] or 1
    shares = profile(symbol).outstanding or 1
    # Quarterly returns are annualised.
    scale = 4 / quarters
    return {
        "gross_margin": round(income["gross_profit"] / revenue, 4),
        "net_margin": round(income["net_profit"] / revenue, 4),
        "roa": round(income["net_profit"] * scale / (balance["total_assets"] or 1), 4),
        "roe": round(income["net_profit"] * scale / equity, 4),
        "debt_to_equity": round((balance["short_term_debt"] + balance["long_term_debt"]) / equity, 4),
        "eps": round(income["net_profit"] / shares, 2),
    }


def period_values(symbol: str, statement_id: int, year: int, quarter: Optional[int]) -> Dict[str, float]:
    """Values of one statement for one year (``quarter`` None) or one quarter."""
    if quarter is not None:
        figures = _quarter(symbol, year, quarter)
        if statement_id == 4:
            return _ratios(symbol, figures[1], figures[2], 1)
        return dict(figures[statement_id])
    quarters = [_quarter(symbol, year, q) for q in (1, 2, 3, 4)]
    balance = dict(quarters[3][1])
    income = {k: sum(q[2][k] for q in quarters) for k in quarters[0][2]}
    if statement_id == 1:
        return balance
    if statement_id == 2:
        return income
    if statement_id == 3:
        return {k: sum(q[3][k] for q in quarters) for k in quarters[0][3]}
    return _ratios(symbol, balance, income, 4)


def available_periods(symbol: str, start_year: int, end_year: int, period: str, today: date) -> List[Tuple[int, Optional[int]]]:
    """Reporting periods of ``symbol`` in the years asked that have been published."""
    first = first_year(symbol)
    out: List[Tuple[int, Optional[int]]] = []
    for year in range(max(start_year, first), end_year + 1):
        if period == "year":
            # The annual report comes out in the first quarter of the next year.
            if date(year + 1, 3, 31) <= today:
                out.append((year, None))
            continue
        for q in (1, 2, 3, 4):
            end_month = 3 * q
            published = date(year + (1 if q == 4 else 0), 1 if q == 4 else end_month + 1, 30)
            if published <= today:
                out.append((year, q))
    return out


def statement_rows(symbol: str, statement_id: int, start_year: int, end_year: int, period: str, today: date) -> List[dict]:
    rows: List[dict] = []
    names = ITEMS[statement_id]
    for year, quarter in available_periods(symbol, start_year, end_year, period, today):
        values = period_values(symbol, statement_id, year, quarter)
        for item_id, (code, name) in enumerate(names, start=1):
            rows.append({
                "symbol": symbol,
                "statement_id": statement_id,
                "period": period,
                "year": year,
                "quarter": quarter,
                "item_id": item_id,
                "item_code": code,
                "item_name": name,
                "value": values[code],
            })
    return rows
