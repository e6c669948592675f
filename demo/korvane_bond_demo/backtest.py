"""One run of the sample backtest as a function of its settings.

:func:`prepare` opens the settings' market data and checks the settings against them,
once: a refusal is one ``ValueError`` line, before anything runs. :meth:`Prepared.run`
runs the backtest and returns its :class:`~korvane_bond_demo.analysis.Run`, every figure
made once and read by every output; given a folder, it writes every output into it.
:meth:`Prepared.figures` makes only the statistics asked for (a sweep's point). :func:`run`
prepares and runs; :func:`run_statistics` returns the statistics only.

The analysis of the result of any backtest that uses the package, with a strategy of
one's own, is :func:`korvane_bond_demo.analysis.analyse`.
"""

import dataclasses

from korvane.environment import Environment
from korvane.runner import Backtest

from korvane_bond_demo.analysis import Run, analyse
from korvane_bond_demo.carry import CarryStrategy
from korvane_bond_demo.dataset import Dataset, data_of
from korvane_bond_demo.settings import Settings, check_against
from korvane_bond_demo.strategy import SampleBondStrategy, financing_repos, title
from korvane_mod_bond.mod import BondMod


@dataclasses.dataclass(frozen=True)
class Prepared:
    """A run of the sample backtest ready to start: its settings and their market data,
    checked against each other (made by :func:`prepare`)."""

    settings: Settings
    data: Dataset

    def run(self, out=None, progress=None):
        """Run the backtest and analyse it: its :class:`~korvane_bond_demo.analysis.Run` with
        every figure made, every output written into the folder ``out`` when given (a
        folder checked by :func:`korvane_bond_demo.files.check_output_folder`).
        ``progress`` wraps the iterable of days (a progress bar)."""
        result, strategy = self._backtest(progress)
        settings = self.settings
        return analyse(result, self.data, out, strategy.notes, strategy.exit_from, settings, title(settings))

    def figures(self, names):
        """{name: statistic} of ``names`` (attributes of
        :class:`~korvane_bond_demo.performance.Performance`) of the run, made of what they
        need alone: the run, its ledger and its returns (a sweep's point)."""
        result, strategy = self._backtest()
        return Run(result, self.data, self.settings, strategy.notes, strategy.exit_from).figures(names)

    def _backtest(self, progress=None):
        """The framework's result of the backtest, and the strategy that made it."""
        settings, data = self.settings, self.data
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
            return backtest.run(), strategy
        finally:
            Environment.clear_instance()


def prepare(settings=None):
    """The run of ``settings`` (default: today's figures), ready to start: its market data
    opened and the settings checked against them
    (:func:`korvane_bond_demo.settings.check_against`); ValueError, one line, for settings
    the data cannot run or data that cannot be read."""
    settings = Settings() if settings is None else settings
    data = data_of(settings)
    check_against(settings, data)
    return Prepared(settings, data)


def make_strategy(settings, repos, data):
    """The strategy of ``settings.strategy``; ``repos`` maps each financed bond to its repo
    (:func:`korvane_bond_demo.strategy.financing_repos`)."""
    if settings.strategy != "carry":
        return SampleBondStrategy(settings, repos, data)
    overnight = financing_repos(dataclasses.replace(settings, repo_tenor_days=1), data.instruments())
    return CarryStrategy(settings, repos, data, overnight)


def run(settings=None, out=None, progress=None):
    """Run the sample backtest with ``settings``: :func:`prepare`, then :meth:`Prepared.run`."""
    return prepare(settings).run(out, progress)


def run_statistics(settings):
    """The statistics of one run with ``settings`` (see ``stats.json``), nothing written."""
    return run(settings).stats
