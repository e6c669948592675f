"""The statistics a quant reads first, from the daily ledger of a run.

Daily returns are those of the ledger's equity at market value (bonds at the full
price, repos with their accrued interest), the first day's against the initial cash.
The ratios come from ``empyrical`` (empyrical-reloaded), annualised with
:data:`TRADING_DAYS_PER_YEAR`; the risk-free return of a day is what the Shanghai
overnight reverse repo (GC001) paid over it: the previous session's closing rate
times the calendar days since, over 365. Maximum drawdown dates, leverage and the
per-bond P&L attribution are computed here.
"""

import math

import empyrical
import pandas as pd
from korvane.const import INSTRUMENT_TYPE, POSITION_DIRECTION, SIDE

from korvane_bond_demo.ledger import accrued_interest, classify, market_values, repo_interest, settled_on

LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT

# The Shanghai exchange's sessions a year (242 in 2023 and 2024, 243 in 2025).
TRADING_DAYS_PER_YEAR = 242
RISK_FREE_REPO = "204001.XSHG"  # GC001, the overnight reverse repo


def daily_returns(ledger, initial_cash):
    equity = ledger.set_index(pd.DatetimeIndex(ledger["date"]))["equity"]
    previous = equity.shift(1)
    previous.iloc[0] = initial_cash
    return equity / previous - 1.0


def risk_free_returns(days, market, repo_id=RISK_FREE_REPO):
    """Per day, what one yuan lent overnight on the previous session earned by this day."""
    values = []
    for day in days:
        before = market.previous_session(day)
        rate = market.repo_rate(repo_id, before) if before is not None else None
        values.append(0.0 if rate is None else rate * (day - before).days / 365.0)
    return pd.Series(values, index=pd.DatetimeIndex(days))


def drawdown(equity):
    """(drawdown series as fractions <= 0, peak day, trough day, recovery day or None)."""
    peak_values = equity.cummax()
    series = equity / peak_values - 1.0
    if not (series < 0).any():
        return series, None, None, None
    trough = series.idxmin()
    peak = equity.loc[:trough].idxmax()
    after = equity.loc[trough:]
    recovered = after[after >= equity.loc[peak]]
    recovery = recovered.index[0] if len(recovered) else None
    return series, peak, trough, recovery


def _number(value):
    """A float for JSON: None where the figure is undefined (NaN or infinite)."""
    value = float(value)
    return value if math.isfinite(value) else None


def _day(value):
    return None if value is None else pd.Timestamp(value).date().isoformat()


def attribution(result, market=None):
    """Where the P&L came from, per bond and for the lending of spare cash.

    A bond's line: ``price`` (its value at the end, at the full price of ``market``
    (default: the run's own) + sales + principal repaid -
    purchases, all before commission: the capital gain or loss), ``coupons``,
    ``financing`` (minus the interest, accrued to the end, of the repos that
    pledge it) and ``commissions`` (its trades' and its repos', negative). The
    lending line: the reverse repos' interest, accrued to the end, and their
    commissions. The lines add up to final equity minus initial cash.
    """
    data_proxy = result.env.data_proxy
    last_day = result.days[-1]
    lines = {}

    def line(key):
        if key not in lines:
            lines[key] = dict.fromkeys(("price", "coupons", "financing", "commissions", "other"), 0.0)
            lines[key]["principal_repaid"] = 0.0
        return lines[key]

    for booking in result.bookings:
        kind = data_proxy.instruments(booking.order_book_id).type
        if kind == INSTRUMENT_TYPE.REPO:
            continue  # from the repo trades below, with the interest accrued to the end
        parts = dict(classify(result, booking))
        entry = line(booking.order_book_id)
        entry["price"] += parts.get("bond_purchases", 0.0) + parts.get("bond_sales", 0.0)
        entry["price"] += parts.get("principal", 0.0)
        entry["principal_repaid"] += parts.get("principal", 0.0)
        entry["coupons"] += parts.get("coupons", 0.0)
        entry["commissions"] += parts.get("commissions", 0.0)
        entry["other"] += parts.get("day_start", 0.0) + parts.get("other", 0.0)
    for order_book_id, value in market_values(result, market)[-1].items():
        line(order_book_id)["price"] += value
    settled = settled_on(result)
    for trade in result.repo_trades:
        interest = repo_interest(trade) if id(trade) in settled else accrued_interest(trade, last_day.date)
        if trade.side == SIDE.FINANCING:
            entry = line(trade.bond_id)
            entry["financing"] -= interest
        else:
            entry = line("lending")
            entry["financing"] += interest
        entry["commissions"] -= trade.transaction_cost
    for entry in lines.values():
        entry["total"] = math.fsum(
            entry[k] for k in ("price", "coupons", "financing", "commissions", "other")
        )
    order = sorted(key for key in lines if key != "lending") + (["lending"] if "lending" in lines else [])
    return {key: lines[key] for key in order}


def financed_days(result, exit_from=None):
    """(days ending with a financed bond held, days on which each one held is also
    pledged in a repo that runs past the day, days of the first kind but not the
    second before ``exit_from``, the first day of the strategy's exit, when it stops
    borrowing). A financed bond is one that some repo of the run pledged."""
    pledges = {}  # bond -> [(first day, repaid on)] of its repos
    settled = settled_on(result)
    for trade in result.repo_trades:
        if trade.side == SIDE.FINANCING:
            pledges.setdefault(trade.bond_id, []).append((trade.trading_dt.date(), settled.get(id(trade))))
    bonds = set(pledges)
    held = financed = unfinanced_before_exit = 0
    for record in result.days:
        holding = [b for b in bonds if record.positions_quantity.get((b, LONG), 0) > 0]
        if not holding:
            continue
        held += 1
        day = record.date
        covered = all(
            any(first <= day and (end is None or day < end) for first, end in pledges.get(b, ()))
            for b in holding
        )
        financed += covered
        unfinanced_before_exit += not covered and (exit_from is None or day < exit_from)
    return held, financed, unfinanced_before_exit


def benchmark(returns, risk_free, initial_cash, annualization):
    """GC001 compounded: what the initial cash lent overnight every day would have made,
    and the strategy against it (its returns less GC001's, day by day)."""
    growth = (1.0 + risk_free).cumprod()
    total = float(growth.iloc[-1]) - 1.0
    excess = returns - risk_free
    return {
        "benchmark": "GC001 compounded: the initial cash lent overnight every session",
        "benchmark_total_return": total,
        "benchmark_annual_return": _number(empyrical.annual_return(risk_free, annualization=annualization)),
        "benchmark_final_equity": float(initial_cash) * float(growth.iloc[-1]),
        "excess_total_return": float((1.0 + returns).prod()) - 1.0 - total,
        "excess_annual_return": _number(
            empyrical.annual_return(returns, annualization=annualization)
            - empyrical.annual_return(risk_free, annualization=annualization)
        ),
        # the annualised volatility of the daily excess returns; the information ratio
        # against this benchmark is the Sharpe ratio
        "tracking_error": _number(empyrical.annual_volatility(excess, annualization=annualization)),
    }


def statistics(result, ledger, market, exit_from=None):
    """Every figure of ``stats.json`` (plain numbers, strings and None); ``market`` gives
    the repo rates (GC001) and the sessions; ``exit_from`` is the first day of the
    strategy's exit, if it has one."""
    days = list(ledger["date"])
    returns = daily_returns(ledger, result.initial_cash)
    risk_free = risk_free_returns(days, market)
    equity = ledger.set_index(pd.DatetimeIndex(ledger["date"]))["equity"]
    # the initial cash stands before the first day: a loss on the first day is a drawdown
    start = equity.index[0] - pd.Timedelta(days=1)
    series, peak, trough, recovery = drawdown(
        pd.concat([pd.Series([float(result.initial_cash)], [start]), equity])
    )
    series = series.iloc[1:]
    if peak == start:
        peak = equity.index[0]  # reported as the first day: the initial cash at the start
    annualization = TRADING_DAYS_PER_YEAR
    monthly = empyrical.aggregate_returns(returns, "monthly")
    yearly = empyrical.aggregate_returns(returns, "yearly")
    lines = attribution(result, market)
    pnl = float(ledger["equity"].iloc[-1]) - result.initial_cash
    leverage = ledger["leverage"]
    held, financed, unfinanced_before_exit = financed_days(result, exit_from)
    return {
        "start": days[0].isoformat(),
        "end": days[-1].isoformat(),
        "trading_days": len(days),
        "initial_cash": float(result.initial_cash),
        "final_equity": float(ledger["equity"].iloc[-1]),
        "equity": "market value: cash + bonds at the day's full price + reverse repos - repos, "
        "repos at principal plus accrued interest",
        "framework_final_equity": float(ledger["framework_equity"].iloc[-1]),
        "pnl": pnl,
        "total_return": pnl / result.initial_cash,
        "annual_return": _number(empyrical.annual_return(returns, annualization=annualization)),
        "annual_volatility": _number(empyrical.annual_volatility(returns, annualization=annualization)),
        "sharpe_ratio": _number(
            empyrical.sharpe_ratio(returns, risk_free=risk_free, annualization=annualization)
        ),
        "risk_free": "Shanghai overnight reverse repo rate (GC001), previous session's, per calendar day",
        "calmar_ratio": _number(empyrical.calmar_ratio(returns, annualization=annualization)),
        "max_drawdown": _number(series.min()),
        "max_drawdown_peak": _day(peak),
        "max_drawdown_trough": _day(trough),
        "max_drawdown_recovery": _day(recovery),
        "annualization_days": annualization,
        "monthly_returns": {f"{year}-{month:02d}": float(value) for (year, month), value in monthly.items()},
        "yearly_returns": {str(year): float(value) for year, value in yearly.items()},
        "leverage_max": _number(leverage.max()),
        "leverage_mean": _number(leverage.mean()),
        "leverage_end": _number(leverage.iloc[-1]),
        "days_holding_pledgeable_bonds": held,
        "days_financed": financed,
        "days_unfinanced_before_exit": unfinanced_before_exit,
        "attribution": lines,
        "attribution_total": math.fsum(entry["total"] for entry in lines.values()),
        **benchmark(returns, risk_free, result.initial_cash, annualization),
    }
