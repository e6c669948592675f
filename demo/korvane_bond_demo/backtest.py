"""One run of the sample backtest as a function of its settings, and the analysis of any run.

:func:`run` returns everything a run leaves (the framework's result, the daily ledger,
the summary, the statistics and the files written when asked to); :func:`run_statistics`
only the statistics. :func:`point_statistics` is a sweep's point: the run, its ledger
and the few statistics a sweep's table keeps, nothing else (no summary, no risk
figures, no file). :func:`analyse` does the same for the result of any backtest that
uses the package, with a strategy of one's own: the ledger, summary, statistics, risk,
collateral and report read only what the framework records.

The risk figures (QuantLib) and the outputs (matplotlib) are imported by the analysis
that needs them, not with this module: a sweep's worker never loads them.
"""

import dataclasses
import math

from korvane.environment import Environment
from korvane.runner import Backtest

from korvane_bond_demo.carry import CarryStrategy
from korvane_bond_demo.dataset import data_of
from korvane_bond_demo.ledger import build_ledger
from korvane_bond_demo.settings import Settings, check_against
from korvane_bond_demo.stats import risk_free_returns, statistics
from korvane_bond_demo.strategy import SampleBondStrategy, financing_repos, title
from korvane_mod_bond.mod import BondMod

# The statistics a sweep's point keeps (the columns of sweep.csv; keys of stats.json).
POINT_STATISTICS = (
    "pnl",
    "total_return",
    "annual_return",
    "annual_volatility",
    "max_drawdown",
    "sharpe_ratio",
    "leverage_max",
    "leverage_mean",
)


class NotFinite(ValueError):
    """A run whose totals are not finite numbers (an amount overflowed)."""


@dataclasses.dataclass
class Run:
    settings: object  # Settings, or None for a run of another strategy
    result: object  # korvane.runner.BacktestResult
    ledger: object  # pandas.DataFrame, see korvane_bond_demo.ledger.build_ledger
    summary: object  # korvane_bond_demo.summary.Summary
    stats: dict
    paths: list  # the files written; empty when no folder was given
    notes: list = dataclasses.field(default_factory=list)  # what the strategy chose not to do
    pledges: list = dataclasses.field(default_factory=list)  # korvane_bond_demo.collateral.Pledge
    dv01: list = dataclasses.field(default_factory=list)  # per day: {"date", "dv01", "modified_duration"}
    benchmark: list = dataclasses.field(default_factory=list)  # per day: GC001 compounded, in yuan


def analyse(result, data, out=None, notes=(), exit_from=None, settings=None, title="Bond-and-repo backtest"):
    """The ledger, summary, statistics, risk and collateral of ``result``, the result of a
    backtest on ``data`` (a :class:`korvane_bond_demo.dataset.Dataset`) that uses the
    package, whatever its strategy; the outputs are written into the folder ``out`` when
    given. ``exit_from`` is the first day of the strategy's exit, if it has one.
    Raises :class:`NotFinite` when the run's totals overflowed. A risk figure QuantLib
    cannot solve for a bond and day is missing for that bond and day (``risk_missing``
    in the statistics, a note in the summary), the rest of the analysis unchanged."""
    from korvane_bond_demo import collateral, risk
    from korvane_bond_demo.outputs import write_outputs
    from korvane_bond_demo.summary import summarize

    ledger = build_ledger(result, data)
    _check_finite(result, ledger)
    summary = summarize(result, ledger)
    stats = statistics(result, ledger, data, exit_from)
    daily, by_bond, missing = risk.book_risk(result, data)
    found = collateral.pledges(result, data)
    dv01 = [day["dv01"] for day in daily]
    notes = [*notes, *risk.missing_notes(missing)]
    stats.update(
        {
            "risk": "QuantLib on the day's full price: yield compounded annually, actual/actual (ISDA); "
            "DV01 in yuan for a yield one basis point lower",
            "dv01_max": max(dv01),
            "dv01_mean": math.fsum(dv01) / len(dv01),
            "dv01_end": dv01[-1],
            "modified_duration_end": daily[-1]["modified_duration"],
            "risk_by_bond": by_bond,
            "risk_missing": missing,
            "collateral_shortfalls": collateral.shortfalls(found),
        }
    )
    growth = (1.0 + risk_free_returns(list(ledger["date"]), data)).cumprod()
    benchmark = [float(result.initial_cash) * g for g in growth.tolist()]
    done = Run(settings, result, ledger, summary, stats, [], list(notes), found, daily, benchmark)
    if out is not None:
        done.paths = write_outputs(done, out, title)
    return done


def _check_finite(result, ledger):
    columns = ("cash", "bonds_value", "equity")
    totals = [result.initial_cash, result.final_cash] + [float(ledger[c].abs().max()) for c in columns]
    if not all(math.isfinite(value) for value in totals):
        raise NotFinite(
            "the run's totals are not finite numbers (an amount overflowed); "
            f"nothing is reconciled: start with less cash than {result.initial_cash:g}"
        )


def make_strategy(settings, repos, data):
    """The strategy of ``settings.strategy``."""
    if settings.strategy != "carry":
        return SampleBondStrategy(settings, repos, data)
    overnight = financing_repos(dataclasses.replace(settings, repo_tenor_days=1), data.instruments())
    return CarryStrategy(settings, repos, data, overnight)


def _backtest(settings, progress=None):
    """The backtest of ``settings`` on their data, checked: (backtest, strategy, data)."""
    settings = Settings() if settings is None else settings
    data = data_of(settings)
    check_against(settings, data)
    instruments = data.instruments()
    data.install()
    strategy = make_strategy(settings, financing_repos(settings, instruments), data)
    backtest = Backtest(
        strategy,
        settings.start,
        settings.end,
        cash=settings.cash,
        instruments=instruments,
        market=data,
        mods=[BondMod(*settings.commission)],
        sessions=data.sessions,  # the exchange's sessions over the data: one calendar for the run
        progress=progress,
    )
    return backtest, strategy, data


def run(settings=None, out=None, progress=None):
    """Run the sample backtest; write the outputs into the folder ``out`` when given (a
    folder checked by :func:`korvane_bond_demo.files.check_output_folder`). ``progress``
    wraps the iterable of days (a progress bar). Raises ValueError, one line, for
    settings the data cannot run (:func:`korvane_bond_demo.settings.check_against`)."""
    settings = Settings() if settings is None else settings
    backtest, strategy, data = _backtest(settings, progress)
    try:
        result = backtest.run()
        return analyse(result, data, out, strategy.notes, strategy.exit_from, settings, title(settings))
    finally:
        Environment.clear_instance()


def run_statistics(settings):
    """The statistics of one run with ``settings`` (see ``stats.json``), nothing written."""
    return run(settings).stats


def point_statistics(settings):
    """The statistics of :data:`POINT_STATISTICS` of one run with ``settings``, equal to
    those of :func:`run_statistics` to the last digit, made with only what they need: the
    run and its ledger. Raises :class:`NotFinite` when the run's totals overflowed."""
    import pandas as pd

    from korvane_bond_demo import stats as st

    backtest, _, data = _backtest(settings)
    try:
        result = backtest.run()
    finally:
        Environment.clear_instance()
    ledger = build_ledger(result, data)
    _check_finite(result, ledger)
    days = list(ledger["date"])
    initial = float(result.initial_cash)
    returns = st.daily_returns(ledger, result.initial_cash)
    risk_free = st.risk_free_returns(days, data)
    equity = ledger.set_index(pd.DatetimeIndex(ledger["date"]))["equity"]
    start = equity.index[0] - pd.Timedelta(days=1)  # the initial cash, the first peak
    drawdown = st.drawdown(pd.concat([pd.Series([initial], [start]), equity]))[0].iloc[1:]
    pnl = float(ledger["equity"].iloc[-1]) - result.initial_cash
    leverage = ledger["leverage"]
    annualization = st.TRADING_DAYS_PER_YEAR
    figures = {
        "pnl": pnl,
        "total_return": pnl / result.initial_cash,
        "annual_return": st._number(st.empyrical.annual_return(returns, annualization=annualization)),
        "annual_volatility": st._number(st.empyrical.annual_volatility(returns, annualization=annualization)),
        "max_drawdown": st._number(drawdown.min()),
        "sharpe_ratio": st._number(
            st.empyrical.sharpe_ratio(returns, risk_free=risk_free, annualization=annualization)
        ),
        "leverage_max": st._number(leverage.max()),
        "leverage_mean": st._number(leverage.mean()),
    }
    return {name: figures[name] for name in POINT_STATISTICS}
