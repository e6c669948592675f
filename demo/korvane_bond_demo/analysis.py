"""A run and every figure made of it, each made once and read by every output.

:class:`Run` holds what a backtest that uses the package left (the framework's result,
whatever its strategy), the market data it ran on and the settings that made it, and
makes each figure of it the first time something asks: the bookings' categories, the
bonds' market values, the daily ledger, the performance (returns, drawdown, benchmark
and the statistics of them), the summary, the attribution, the risk figures, the
collateral, ``stats.json``'s figures and the record of the settings and the data. The
text summary, the report, the chart, the CSV files, ``stats.json``, ``run.json`` and a
sweep's row all read them there; a sweep's point makes only the few it keeps.

:func:`analyse` makes the :class:`Run` of a result with every figure, and writes its
outputs.
"""

import functools
import math

from korvane_bond_demo import attribution, collateral, ledger
from korvane_bond_demo.parameters import settings_text
from korvane_bond_demo.performance import TRADING_DAYS_PER_YEAR, Performance, day_text
from korvane_bond_demo.summary import summarize

TITLE = "Bond-and-repo backtest"


class NotFinite(ValueError):
    """A run whose totals are not finite numbers (an amount overflowed)."""


class Run:
    """A run of a backtest on ``data`` (a :class:`korvane_bond_demo.dataset.Dataset`) that
    uses the package: ``result`` is the framework's; ``settings`` the
    :class:`~korvane_bond_demo.settings.Settings` that made it (None for a strategy of
    one's own); ``notes`` what the strategy chose not to do; ``exit_from`` the first day
    of its exit, if it has one; ``title`` how the outputs name it. Raises
    :class:`NotFinite` when its totals overflowed: no figure is made of them."""

    def __init__(self, result, data, settings=None, notes=(), exit_from=None, title=TITLE):
        self.result = result
        self.data = data
        self.settings = settings
        self.strategy_notes = list(notes)
        self.exit_from = exit_from
        self.title = title
        self.paths = []  # the files written, once they are
        self.text = None  # the summary as text (summary.txt), once the outputs are written
        self._check_finite()

    def _check_finite(self):
        result, frame = self.result, self.ledger
        columns = ("cash", "bonds_value", "equity")
        totals = [result.initial_cash, result.final_cash] + [float(frame[c].abs().max()) for c in columns]
        if not all(math.isfinite(value) for value in totals):
            raise NotFinite(
                "the run's totals are not finite numbers (an amount overflowed); "
                f"nothing is reconciled: start with less cash than {result.initial_cash:g}"
            )

    # what the bookings and the days were -------------------------------------------

    @functools.cached_property
    def parts(self):
        """The (category, amount) parts of each booking, in booking order."""
        return [ledger.classify(self.result, booking) for booking in self.result.bookings]

    @functools.cached_property
    def market_values(self):
        """Each day's bonds held at the full price (:func:`korvane_bond_demo.ledger.market_values`)."""
        return ledger.market_values(self.result, self.data)

    @functools.cached_property
    def ledger(self):
        """The daily ledger (a frame, :data:`korvane_bond_demo.ledger.LEDGER_COLUMNS`)."""
        return ledger.build_ledger(self.result, self.parts, self.market_values)

    # the figures -------------------------------------------------------------------

    @functools.cached_property
    def performance(self):
        return Performance(self.ledger, self.result.initial_cash, self.data)

    @functools.cached_property
    def summary(self):
        return summarize(self.result, self.parts, self.ledger)

    @functools.cached_property
    def attribution(self):
        return attribution.attribution(self.result, self.parts, self.market_values[-1])

    @functools.cached_property
    def risk(self):
        """(daily book DV01 and duration, each bond's figures on its last day held, the
        bonds and days QuantLib could not solve): :func:`korvane_bond_demo.risk.book_risk`."""
        from korvane_bond_demo import risk  # QuantLib: imported by a run that needs the risk figures

        return risk.book_risk(self.result, self.data)

    @property
    def dv01(self):
        """Per day: {"date", "dv01", "modified_duration"} of the book."""
        return self.risk[0]

    @property
    def benchmark(self):
        """Per day: GC001 compounded, in yuan."""
        return self.performance.benchmark_equity

    @functools.cached_property
    def pledges(self):
        """Every repo's collateral over its life (:class:`korvane_bond_demo.collateral.Pledge`)."""
        return collateral.pledges(self.result, self.data)

    @property
    def notes(self):
        """What the strategy chose not to do, and the risk figures QuantLib could not solve."""
        from korvane_bond_demo.risk import missing_notes

        return [*self.strategy_notes, *missing_notes(self.risk[2])]

    @functools.cached_property
    def record(self):
        """What made the outputs: the settings, each as its option writes it (None for a
        strategy of one's own), and the data (folder, sessions, content fingerprint)."""
        settings = None if self.settings is None else settings_text(self.settings)
        return {"settings": settings, "data": self.data.description()}

    @functools.cached_property
    def stats(self):
        """Every figure of ``stats.json``: plain numbers, strings and None."""
        p = self.performance
        _, peak, trough, recovery = p.drawdowns
        days = p.days
        lines = self.attribution
        held, financed, unfinanced_before_exit = attribution.financed_days(self.result, self.exit_from)
        daily, by_bond, missing = self.risk
        dv01 = [day["dv01"] for day in daily]
        return {
            "start": days[0].isoformat(),
            "end": days[-1].isoformat(),
            "trading_days": len(days),
            "initial_cash": float(self.result.initial_cash),
            "final_equity": p.final_equity,
            "equity": "market value: cash + bonds at the day's full price + reverse repos - repos, "
            "repos at principal plus accrued interest",
            "framework_final_equity": float(self.ledger["framework_equity"].iloc[-1]),
            "pnl": p.pnl,
            "total_return": p.total_return,
            "annual_return": p.annual_return,
            "annual_volatility": p.annual_volatility,
            "sharpe_ratio": p.sharpe_ratio,
            "risk_free": "Shanghai overnight reverse repo rate (GC001), previous session's, per calendar day",
            "calmar_ratio": p.calmar_ratio,
            "max_drawdown": p.max_drawdown,
            "max_drawdown_peak": day_text(peak),
            "max_drawdown_trough": day_text(trough),
            "max_drawdown_recovery": day_text(recovery),
            "annualization_days": TRADING_DAYS_PER_YEAR,
            "monthly_returns": p.monthly_returns,
            "yearly_returns": p.yearly_returns,
            "leverage_max": p.leverage_max,
            "leverage_mean": p.leverage_mean,
            "leverage_end": p.leverage_end,
            "days_holding_pledgeable_bonds": held,
            "days_financed": financed,
            "days_unfinanced_before_exit": unfinanced_before_exit,
            "attribution": lines,
            "attribution_total": math.fsum(entry["total"] for entry in lines.values()),
            "benchmark": "GC001 compounded: the initial cash lent overnight every session",
            "benchmark_total_return": p.benchmark_total_return,
            "benchmark_annual_return": p.benchmark_annual_return,
            "benchmark_final_equity": p.benchmark_final_equity,
            "excess_total_return": p.excess_total_return,
            "excess_annual_return": p.excess_annual_return,
            "tracking_error": p.tracking_error,
            "risk": "QuantLib on the day's full price: yield compounded annually, actual/actual (ISDA); "
            "DV01 in yuan for a yield one basis point lower",
            "dv01_max": max(dv01),
            "dv01_mean": math.fsum(dv01) / len(dv01),
            "dv01_end": dv01[-1],
            "modified_duration_end": daily[-1]["modified_duration"],
            "risk_by_bond": by_bond,
            "risk_missing": missing,
            "collateral_shortfalls": collateral.shortfalls(self.pledges),
            **self.record,
        }

    def complete(self):
        """Make every figure now (what the outputs read, the risk figures with the statistics);
        this run."""
        _ = self.summary, self.stats  # each kept by its property
        return self

    def figures(self, names):
        """{name: the statistic} of ``names``, attributes of :attr:`performance`."""
        return {name: getattr(self.performance, name) for name in names}


def analyse(result, data, out=None, notes=(), exit_from=None, settings=None, title=TITLE):
    """The :class:`Run` of ``result``, the result of a backtest on ``data`` (a
    :class:`korvane_bond_demo.dataset.Dataset`) that uses the package, whatever its
    strategy; every output is written into the folder ``out`` when given (checked
    beforehand, :func:`korvane_bond_demo.files.check_output_folder`). ``exit_from`` is the
    first day of the strategy's exit, if it has one. Raises :class:`NotFinite` when the
    run's totals overflowed. A risk figure QuantLib cannot solve for a bond and day is
    missing for that bond and day (``risk_missing`` in the statistics, a note in the
    summary), the rest of the analysis unchanged."""
    done = Run(result, data, settings, notes, exit_from, title).complete()
    if out is not None:
        from korvane_bond_demo.outputs import write_outputs

        done.paths = write_outputs(done, out)
    return done
