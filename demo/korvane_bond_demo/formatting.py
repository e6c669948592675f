"""How the summary and ``report.html`` write figures, and the one list of statistics rows
that both lay out (the CSV files and ``stats.json`` keep full precision instead)."""

import unicodedata

from korvane_bond_demo.parameters import as_options

MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")
ATTRIBUTION_COLUMNS = ("price", "coupons", "financing", "commissions", "total")


def money(value):
    """Yuan to the fen, with thousands separators; never "-0.00"."""
    return f"{round(value, 2) + 0.0:,.2f}"


def percent(value, digits=2, sign="+"):
    return "n/a" if value is None else f"{value:{sign}.{digits}%}"


def ratio(value, digits=2):
    return "n/a" if value is None else f"{value:.{digits}f}"


def pad(text, width):
    """``text`` left-aligned in ``width`` terminal columns (CJK characters take two)."""
    used = sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)
    return text + " " * max(0, width - used)


HASH_DIGITS = 12  # of the data's content hash, where a reader compares two runs' data


def data_text(data):
    """The data a run used, as ``stats.json`` records them, in one line."""
    return (
        f"{data['name']}, {data['first_session']} to {data['last_session']} "
        f"(content sha256 {data['sha256'][:HASH_DIGITS]})"
    )


def settings_text(settings):
    """The settings a run used (each as its option writes it), in one line: the options
    that differ from the defaults."""
    options = as_options(settings)
    return (" ".join(options) if options else "the defaults") + " (every setting in run.json)"


def days_text(count):
    return f"{count:,} trading day" + ("" if count == 1 else "s")


def unfinanced_note(stats):
    """Where the days without financing fall: all in the exit, or how many before it."""
    unfinanced = stats["days_holding_pledgeable_bonds"] - stats["days_financed"]
    if unfinanced <= 0:
        return ""
    before = stats["days_unfinanced_before_exit"]
    if before == 0:
        return " (the rest in the exit, when no repo is opened)"
    return f" ({before:,} unfinanced before the exit)"


def _drawdown_note(stats):
    if not stats["max_drawdown_trough"]:
        return ""
    recovery = stats["max_drawdown_recovery"]
    recovered = f"recovered {recovery}" if recovery else "not recovered by the end"
    return f"peak {stats['max_drawdown_peak']}, trough {stats['max_drawdown_trough']}, {recovered}"


def _collateral_note(stats):
    flagged = stats["collateral_shortfalls"]
    if not flagged:
        return "every repo's loan within the lent share of its collateral's face"
    worst = max(flagged, key=lambda f: f["shortfall"])
    return (
        f"repos lending more than the lent share of their collateral's face; largest "
        f"{money(worst['shortfall'])} yuan ({worst['repo']} of {worst['trade_date']} on {worst['bond']})"
    )


def statistics_rows(stats):
    """[(key, label, value, note)] of the statistics: the summary and report.html lay out
    these rows, and only these."""
    rows = [
        ("total_return", "total return", percent(stats["total_return"]), f"P&L {money(stats['pnl'])} yuan"),
        (
            "annual_return",
            "annualised return",
            percent(stats["annual_return"]),
            f"{stats['annualization_days']} sessions a year",
        ),
        (
            "annual_volatility",
            "annualised volatility",
            percent(stats["annual_volatility"], sign=""),
            "of daily equity returns",
        ),
        (
            "sharpe_ratio",
            "Sharpe ratio",
            ratio(stats["sharpe_ratio"]),
            "against the GC001 overnight repo rate",
        ),
        (
            "calmar_ratio",
            "Calmar ratio",
            ratio(stats["calmar_ratio"]),
            "annualised return / maximum drawdown",
        ),
        ("max_drawdown", "maximum drawdown", percent(stats["max_drawdown"], sign=""), _drawdown_note(stats)),
        (
            "benchmark_total_return",
            "benchmark (GC001 compounded)",
            percent(stats["benchmark_total_return"]),
            f"{percent(stats['benchmark_annual_return'])} a year: the initial cash lent overnight",
        ),
        (
            "excess_total_return",
            "excess return",
            percent(stats["excess_total_return"]),
            f"{percent(stats['excess_annual_return'])} a year over the benchmark",
        ),
        (
            "tracking_error",
            "tracking error",
            percent(stats["tracking_error"], sign=""),
            "annualised volatility of the daily returns less GC001's",
        ),
        (
            "leverage_max",
            "leverage, maximum",
            ratio(stats["leverage_max"]),
            f"repo owed (principal + accrued) / equity; mean {ratio(stats['leverage_mean'])}, "
            f"at the end {ratio(stats['leverage_end'])}",
        ),
        (
            "dv01_max",
            "book DV01, maximum",
            money(stats["dv01_max"]),
            f"yuan a basis point; mean {money(stats['dv01_mean'])}, at the end {money(stats['dv01_end'])}",
        ),
        (
            "days_financed",
            "days financed",
            f"{stats['days_financed']:,}",
            f"of {stats['days_holding_pledgeable_bonds']:,} holding the pledged bonds"
            + unfinanced_note(stats),
        ),
        (
            "collateral_shortfalls",
            "collateral short",
            f"{len(stats['collateral_shortfalls']):,}",
            _collateral_note(stats),
        ),
    ]
    return rows


def risk_rows(stats):
    """[(bond, date, quantity, yield, modified duration, DV01 per bond, DV01)] texts, per
    bond on the last day it was held."""
    return [
        (
            bond,
            figures["date"],
            f"{figures['quantity']:,.0f}",
            percent(figures["yield"], digits=3, sign=""),
            ratio(figures["modified_duration"], 3),
            ratio(figures["dv01_per_bond"], 4),
            money(figures["dv01"]),
        )
        for bond, figures in stats["risk_by_bond"].items()
    ]


RISK_HEADER = ("bond", "last held", "quantity", "yield", "modified duration", "DV01 a bond", "DV01, yuan")
SHORTFALL_HEADER = ("repo opened", "repo", "bond", "principal", "face at open", "lent share", "lowest face",
                    "from", "short by")  # fmt: skip


def shortfall_rows(stats):
    return [
        (
            f["trade_date"],
            f["repo"],
            f["bond"],
            money(f["principal"]),
            money(f["face_value_at_open"]),
            percent(f["lent_share"], sign=""),
            money(f["face_value_low"]),
            f["low_from"],
            money(f["shortfall"]),
        )
        for f in stats["collateral_shortfalls"]
    ]
