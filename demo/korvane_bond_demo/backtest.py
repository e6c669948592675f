"""One run of the sample backtest as a function of its settings, and the analysis of any run.

:func:`run` returns everything a run leaves (the framework's result, the daily ledger,
the summary, the statistics and the files written when asked to); :func:`run_statistics`
only the statistics, for runs made side by side in worker processes. :func:`analyse`
does the same for the result of any backtest that uses the package, with a strategy of
one's own: the ledger, summary, statistics, risk, collateral and report read only what
the framework records.
"""

import dataclasses
import math

from korvane.environment import Environment
from korvane.runner import Backtest

from korvane_bond_demo import collateral, risk
from korvane_bond_demo.dataset import data_of
from korvane_bond_demo.ledger import build_ledger
from korvane_bond_demo.outputs import write_outputs
from korvane_bond_demo.settings import Settings, check_against
from korvane_bond_demo.stats import risk_free_returns, statistics
from korvane_bond_demo.strategy import financing_repos, make_strategy, title
from korvane_bond_demo.summary import summarize
from korvane_mod_bond.mod import BondMod


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
    Raises :class:`NotFinite` when the run's totals overflowed."""
    ledger = build_ledger(result, data)
    _check_finite(result, ledger)
    summary = summarize(result, ledger)
    stats = statistics(result, ledger, data, exit_from)
    daily, by_bond = risk.book_risk(result, data)
    found = collateral.pledges(result, data)
    dv01 = [day["dv01"] for day in daily]
    stats.update(
        {
            "risk": "QuantLib on the day's full price: yield compounded annually, actual/actual (ISDA); "
            "DV01 in yuan for a yield one basis point lower",
            "dv01_max": max(dv01),
            "dv01_mean": math.fsum(dv01) / len(dv01),
            "dv01_end": dv01[-1],
            "modified_duration_end": daily[-1]["modified_duration"],
            "risk_by_bond": by_bond,
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


def run(settings=None, out=None, progress=None):
    """Run the sample backtest; write the outputs into the folder ``out`` when given (a
    folder checked by :func:`korvane_bond_demo.files.check_output_folder`). ``progress``
    wraps the iterable of days (a progress bar). Raises ValueError, one line, for
    settings the data cannot run (:func:`korvane_bond_demo.settings.check_against`)."""
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
    try:
        result = backtest.run()
        return analyse(result, data, out, strategy.notes, strategy.exit_from, settings, title(settings))
    finally:
        Environment.clear_instance()


def run_statistics(settings):
    """The statistics of one run with ``settings`` (see ``stats.json``), nothing written."""
    return run(settings).stats
