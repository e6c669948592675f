"""The returns of a run and the statistics a quant reads first, each defined once.

Daily returns are those of the ledger's equity at market value (bonds at the full
price, repos with their accrued interest), the first day's against the initial cash,
annualised with :data:`TRADING_DAYS_PER_YEAR`; the risk-free return of a day is what the
Shanghai overnight reverse repo (GC001) paid over it: the previous session's closing rate
times the calendar days since, over 365. The benchmark is GC001 compounded: the initial
cash lent overnight every session. Drawdown counts the initial cash as the first peak.

The ratios are the field's, as ``empyrical`` (empyrical-reloaded) computes them, with the
same NumPy and Bottleneck operations in the same order, so that they equal its figures to
the last bit (a test holds each one to empyrical's): importing empyrical imports SciPy,
which took a fifth of a whole run's CPU time for these five formulas.

:class:`Performance` makes each series once, on first use, and each statistic from
them: ``stats.json``, the summary, the report, the chart and a sweep's point all read
its figures (a sweep's point only the few its table keeps,
:data:`korvane_bond_demo.sweep.STATISTICS`).
"""

import functools
import itertools
import math

import bottleneck as bn
import numpy as np
import pandas as pd

# The Shanghai exchange's sessions a year (242 in 2023 and 2024, 243 in 2025).
TRADING_DAYS_PER_YEAR = 242
RISK_FREE_REPO = "204001.XSHG"  # GC001, the overnight reverse repo


def number(value):
    """A float for JSON: None where the figure is undefined (NaN or infinite)."""
    value = float(value)
    return value if math.isfinite(value) else None


def day_text(value):
    return None if value is None else pd.Timestamp(value).date().isoformat()


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


def annual_return(returns):
    """The compound annual growth of daily ``returns``: their product's root of the years
    they span (empyrical's ``annual_return``)."""
    if len(returns) < 1:
        return math.nan
    years = len(returns) / TRADING_DAYS_PER_YEAR
    return np.nanprod(returns + 1, axis=0) ** (1 / years) - 1


def annual_volatility(returns):
    """The standard deviation of daily ``returns`` (one degree of freedom), annualised by the
    square root of the sessions a year (empyrical's ``annual_volatility``)."""
    if len(returns) < 2:
        return math.nan
    return float(np.multiply(bn.nanstd(returns, ddof=1, axis=0), TRADING_DAYS_PER_YEAR ** (1.0 / 2.0)))


def sharpe_ratio(returns, risk_free):
    """The mean of daily ``returns`` less the day's ``risk_free`` return over their standard
    deviation, annualised (empyrical's ``sharpe_ratio``). Excess returns that are all equal
    deviate by nothing, exactly: the ratio is then infinite (or NaN), as empyrical 0.7 has
    it, not the quotient of their mean by a rounding residue of 1e-18 (about 1e15), as
    empyrical 0.5 (the last release for Python 3.9 and 3.10) had it."""
    if len(returns) < 2:
        return math.nan
    adjusted = np.asanyarray(returns - risk_free)
    deviation = bn.nanstd(adjusted, ddof=1, axis=0)
    with np.errstate(invalid="ignore"):
        if bn.nanmax(adjusted, axis=0) == bn.nanmin(adjusted, axis=0) and math.isfinite(deviation):
            deviation = 0.0
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.divide(bn.nanmean(adjusted, axis=0), deviation)
        return float(np.multiply(ratio, np.sqrt(TRADING_DAYS_PER_YEAR)))


def max_drawdown_of(returns):
    """The deepest fall of 100 compounded by daily ``returns`` from its running peak, a
    fraction <= 0 (empyrical's ``max_drawdown``, which :func:`calmar_ratio` divides by)."""
    if len(returns) < 1:
        return math.nan
    values = np.asanyarray(returns)
    if np.isnan(values).any():
        values = np.where(np.isnan(values), 0.0, values)
    path = np.empty(len(values) + 1)
    path[0] = 100
    grown = path[1:]
    np.add(values, 1, out=grown)
    grown.cumprod(axis=0, out=grown)
    np.multiply(grown, 100, out=grown)
    peaks = np.fmax.accumulate(path, axis=0)
    np.divide(path - peaks, peaks, out=path)
    return bn.nanmin(path[1:], axis=0)


def calmar_ratio(returns):
    """The annual return over the maximum drawdown of daily ``returns``; NaN without a
    drawdown (empyrical's ``calmar_ratio``)."""
    deepest = max_drawdown_of(returns)
    if not deepest < 0:
        return math.nan
    ratio = annual_return(returns) / abs(deepest)
    return math.nan if np.isinf(ratio) else ratio


def compounded(returns, key):
    """{key(day): the daily ``returns`` of the days with that key compounded} in the order of
    the days, which must group the keys (empyrical's ``aggregate_returns``)."""
    found = {}
    values = returns.to_numpy()
    values = np.where(np.isnan(values), 0.0, values)  # a missing return compounds as none
    for period, days in itertools.groupby(zip(returns.index, values), lambda day: key(day[0])):
        growth = np.add([value for _, value in days], 1)
        found[period] = growth.cumprod(axis=0)[-1] - 1
    return found


class Performance:
    """The daily returns of equity at market value, GC001's, the drawdown, and every
    statistic of them; ``ledger`` is a run's daily ledger, ``market`` gives the repo
    rates (GC001) and the sessions."""

    def __init__(self, ledger, initial_cash, market):
        self.initial_cash = initial_cash
        self.days = list(ledger["date"])
        self.equity = ledger.set_index(pd.DatetimeIndex(ledger["date"]))["equity"]
        self.leverage = ledger["leverage"]
        self.market = market

    # the series -------------------------------------------------------------------

    @functools.cached_property
    def returns(self):
        previous = self.equity.shift(1)
        previous.iloc[0] = self.initial_cash
        return self.equity / previous - 1.0

    @functools.cached_property
    def risk_free(self):
        return risk_free_returns(self.days, self.market)

    @functools.cached_property
    def growth(self):
        """What one yuan lent overnight every session (GC001 compounded) is worth each day."""
        return (1.0 + self.risk_free).cumprod()

    @functools.cached_property
    def drawdowns(self):
        """(the drawdown each day from the running peak, the initial cash the first peak;
        the maximum drawdown's peak, trough and recovery days, None when there is none)."""
        # the initial cash stands before the first day: a loss on the first day is a drawdown
        start = self.equity.index[0] - pd.Timedelta(days=1)
        series, peak, trough, recovery = drawdown(
            pd.concat([pd.Series([float(self.initial_cash)], [start]), self.equity])
        )
        if peak == start:
            peak = self.equity.index[0]  # reported as the first day: the initial cash at the start
        return series.iloc[1:], peak, trough, recovery

    # the statistics -----------------------------------------------------------------

    @property
    def final_equity(self):
        return float(self.equity.iloc[-1])

    @property
    def pnl(self):
        return self.final_equity - self.initial_cash

    @property
    def total_return(self):
        return self.pnl / self.initial_cash if self.initial_cash else None

    @property
    def annual_return(self):
        return number(annual_return(self.returns))

    @property
    def annual_volatility(self):
        return number(annual_volatility(self.returns))

    @property
    def sharpe_ratio(self):
        return number(sharpe_ratio(self.returns, self.risk_free))

    @property
    def calmar_ratio(self):
        return number(calmar_ratio(self.returns))

    @property
    def max_drawdown(self):
        return number(self.drawdowns[0].min())

    @property
    def monthly_returns(self):
        monthly = compounded(self.returns, lambda day: (day.year, day.month))
        return {f"{year}-{month:02d}": float(value) for (year, month), value in monthly.items()}

    @property
    def yearly_returns(self):
        yearly = compounded(self.returns, lambda day: day.year)
        return {str(year): float(value) for year, value in yearly.items()}

    @property
    def leverage_max(self):
        return number(self.leverage.max())

    @property
    def leverage_mean(self):
        return number(self.leverage.mean())

    @property
    def leverage_end(self):
        return number(self.leverage.iloc[-1])

    @property
    def benchmark_total_return(self):
        return float(self.growth.iloc[-1]) - 1.0

    @property
    def benchmark_annual_return(self):
        return number(annual_return(self.risk_free))

    @property
    def benchmark_final_equity(self):
        return float(self.initial_cash) * float(self.growth.iloc[-1])

    @property
    def benchmark_equity(self):
        """GC001 compounded, in yuan, each day."""
        return [float(self.initial_cash) * g for g in self.growth.tolist()]

    @property
    def excess_total_return(self):
        return float((1.0 + self.returns).prod()) - 1.0 - self.benchmark_total_return

    @property
    def excess_annual_return(self):
        return number(annual_return(self.returns) - annual_return(self.risk_free))

    @property
    def tracking_error(self):
        """The annualised volatility of the daily excess returns; the information ratio
        against this benchmark is the Sharpe ratio."""
        return number(annual_volatility(self.returns - self.risk_free))
