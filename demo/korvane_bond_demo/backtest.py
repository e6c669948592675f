"""One run of the sample backtest as a function of its settings.

:func:`run` returns everything a run leaves (the framework's result, the daily
ledger, the summary, the statistics and the files written when asked to);
:func:`run_statistics` only the statistics, for runs made side by side in worker
processes.
"""

import dataclasses

from korvane.environment import Environment
from korvane.runner import Backtest

from korvane_bond_demo.ledger import build_ledger
from korvane_bond_demo.market import bundled_instruments, bundled_market
from korvane_bond_demo.report import summarize, write_outputs
from korvane_bond_demo.settings import Settings
from korvane_bond_demo.stats import statistics
from korvane_bond_demo.strategy import SampleBondStrategy, financing_repos
from korvane_mod_bond.mod import BondMod


@dataclasses.dataclass
class Run:
    settings: Settings
    result: object  # korvane.runner.BacktestResult
    ledger: object  # pandas.DataFrame, see korvane_bond_demo.ledger.build_ledger
    summary: object  # korvane_bond_demo.report.Summary
    stats: dict
    paths: list  # the files written; empty when no folder was given

    @property
    def notes(self):
        return self.result.backtest.strategy.notes


def check_dates(settings, market=None):
    """Raise ValueError when the settings' dates fall outside the bundled data or hold
    no session (the market's sessions are the run's calendar over the data)."""
    market = bundled_market() if market is None else market
    if settings.start < market.first_date or settings.end > market.last_date:
        raise ValueError(
            f"the bundled market data covers {market.first_date} to {market.last_date}; "
            f"choose dates inside it (asked for {settings.start} to {settings.end})"
        )
    if not any(settings.start <= day <= settings.end for day in market.sessions):
        raise ValueError(f"no trading day between {settings.start} and {settings.end}")


def run(settings=None, out=None, progress=None):
    """Run the sample backtest; write the outputs into the folder ``out`` when given (a
    folder checked by :func:`korvane_bond_demo.files.check_output_folder`). ``progress``
    wraps the iterable of days (a progress bar)."""
    settings = Settings() if settings is None else settings
    market = bundled_market()
    check_dates(settings, market)
    instruments = bundled_instruments()
    backtest = Backtest(
        SampleBondStrategy(settings, financing_repos(settings, instruments)),
        settings.start,
        settings.end,
        cash=settings.cash,
        instruments=instruments,
        market=market,
        mods=[BondMod(*settings.commission)],
        sessions=market.sessions,  # the exchange's sessions over the data: one calendar for the run
        progress=progress,
    )
    try:
        result = backtest.run()
        ledger = build_ledger(result)
        summary = summarize(result, ledger)
        stats = statistics(result, ledger, market)
        notes = result.backtest.strategy.notes
        paths = write_outputs(result, summary, stats, ledger, out, notes) if out is not None else []
    finally:
        Environment.clear_instance()
    return Run(settings, result, ledger, summary, stats, paths)


def run_statistics(settings):
    """The statistics of one run with ``settings`` (see ``stats.json``), nothing written."""
    return run(settings).stats
