"""The run's summary as text (printed, and ``summary.txt``): it reads the run's summary,
statistics and notes (:class:`korvane_bond_demo.analysis.Run`), and computes nothing."""

import textwrap

from korvane_bond_demo.formatting import (
    ATTRIBUTION_COLUMNS,
    MONTHS,
    RISK_HEADER,
    data_text,
    days_text,
    money,
    pad,
    risk_rows,
    settings_text,
    shortfall_rows,
    statistics_rows,
)
from korvane_bond_demo.ledger import FLOWS
from korvane_bond_demo.summary import SHORT, grouped_messages


def format_statistics(stats):
    """The statistics rows (:func:`korvane_bond_demo.formatting.statistics_rows`) as text."""
    lines = [
        "statistics (daily equity at market value: bonds at the full price, repos with accrued "
        f"interest; annualised over {stats['annualization_days']} sessions a year)"
    ]
    for _, label, value, note in statistics_rows(stats):
        lines.append(f"  {label:<34}{value:>12}" + (f"   {note}" if note else ""))
    return lines


def format_risk(stats):
    """Yield, duration and DV01 per bond, on the last day each was held."""
    rows = risk_rows(stats)
    if not rows:
        return []
    widths = (14, 12, 12, 10, 18, 13, 14)
    lines = ["fixed-income risk (QuantLib, on the day's full price)"]
    lines.append(
        "  "
        + "".join(f"{h:<{w}}" if i < 2 else f"{h:>{w}}" for i, (h, w) in enumerate(zip(RISK_HEADER, widths)))
    )
    for row in rows:
        lines.append(
            "  " + "".join(f"{c:<{w}}" if i < 2 else f"{c:>{w}}" for i, (c, w) in enumerate(zip(row, widths)))
        )
    return lines


def format_shortfalls(stats):
    rows = shortfall_rows(stats)
    if not rows:
        return []
    lines = [
        f"collateral short: {len(rows):,} repo{'s' if len(rows) != 1 else ''} lent more than the lent share "
        "of their collateral's face once the bond repaid principal"
    ]
    for row in rows[:10]:
        opened, repo, bond, principal, at_open, share, low, low_from, short = row
        lines.append(
            f"  {opened} {repo} on {bond}: lent {principal} against a face of {at_open} x {share}; "
            f"the face fell to {low} on {low_from}: short by {short}"
        )
    if len(rows) > 10:
        lines.append(f"  ... and {len(rows) - 10:,} more (stats.json, repos.csv)")
    return lines


def format_monthly(stats):
    """Monthly returns as a year-by-month table, with the year's return at the end."""
    monthly = stats["monthly_returns"]
    years = sorted({key[:4] for key in monthly})
    header = "".join(f"{m:>7}" for m in MONTHS + ("year",))
    lines = ["monthly returns (%)", "  " + f"{'':<6}" + header]
    for year in years:
        cells = []
        for month in range(1, 13):
            value = monthly.get(f"{year}-{month:02d}")
            cells.append("" if value is None else f"{value * 100:.2f}")
        cells.append(f"{stats['yearly_returns'][year] * 100:.2f}")
        lines.append("  " + f"{year:<6}" + "".join(f"{cell:>7}" for cell in cells))
    return lines


def format_attribution(stats, names):
    lines = [
        "P&L attribution",
        f"  {'':<24}" + "".join(f"{name:>15}" for name in ATTRIBUTION_COLUMNS),
    ]
    for key, entry in stats["attribution"].items():
        label = "lending spare cash" if key == "lending" else f"{key} {names.get(key, '')}"
        lines.append("  " + pad(label, 24) + "".join(f"{money(entry[c]):>15}" for c in ATTRIBUTION_COLUMNS))
    lines.append(f"  {'total':<24}{'':>60}{money(stats['attribution_total']):>15}")
    lines.append(
        "  price: value at the end + sales + principal repaid - purchases; financing: repo "
        "interest (accrued to the end)"
    )
    return lines


def format_head(run):
    """The summary's head: what ran, on which data, with which settings."""
    summary, stats = run.summary, run.stats
    lines = [f"{run.title}, {summary.start} to {summary.end} ({days_text(summary.days)})"]
    lines.append(f"data: {data_text(stats['data'])}")
    if stats["settings"] is not None:
        lines.append(f"settings: {settings_text(stats['settings'])}")
    return lines


def format_summary(run, outputs=None):
    """The summary of ``run`` (a :class:`korvane_bond_demo.analysis.Run`) as text; ``outputs``
    the paths it lists."""
    summary, stats = run.summary, run.stats
    lines = [*format_head(run), ""]
    if summary.bonds:
        lines.append(
            f"{'bond':<24}{'coupons':>16}{'principal':>16}{'bought':>16}{'sold':>16}{'commission':>12}"
        )
    else:
        lines.append("no bond bought")
    for line in summary.bonds:
        lines.append(
            pad(f"{line.order_book_id} {line.symbol}", 24)
            + f"{money(line.coupons):>16}{money(line.principal):>16}"
            + f"{money(line.bought):>16}{money(line.sold):>16}{money(line.commission):>12}"
        )
    lines.append("")
    if summary.repos:
        lines.append(
            f"{'repo':<24}{'side':<10}{'trades':>7}{'turnover':>18}{'average':>16}{'peak':>16}"
            f"{'interest':>13}{'commission':>12}"
        )
    else:
        lines.append("no repo traded")
    for line in summary.repos:
        side = "borrowed" if line.direction == SHORT else "lent"
        lines.append(
            pad(f"{line.order_book_id} {line.symbol}", 24)
            + f"{side:<10}{line.trades:>7}{money(line.principal):>18}"
            + f"{money(line.average_outstanding):>16}{money(line.peak_outstanding):>16}"
            + f"{money(line.interest):>13}{money(line.commission):>12}"
        )
        if line.outstanding:
            lines.append(f"{'':<24}{'outstanding at the end':<35}{money(line.outstanding):>18}")
    if summary.repos:
        lines.append(
            "  turnover: principal summed over every trade; average and peak: principal "
            "outstanding at the end of a day"
        )
    flows = summary.flows
    pnl = stats["pnl"]
    lines += [
        "",
        f"{'repo interest paid':<30}{money(summary.repo_interest_paid):>18}",
        f"{'repo interest earned':<30}{money(summary.repo_interest_earned):>18}",
        f"{'commissions':<30}{money(summary.commissions):>18}",
        "",
        f"{'initial cash':<30}{money(summary.initial_cash):>18}",
    ]
    for category in FLOWS:
        if flows[category] != 0:
            lines.append(f"  {category.replace('_', ' '):<28}{money(flows[category]):>18}")
    check = "reconciled" if summary.reconciled else "NOT RECONCILED"
    lines += [
        f"{'final cash':<30}{money(summary.final_cash):>18}   "
        f"(initial cash + {summary.bookings:,} booked deltas: {check})",
        f"{'final equity':<30}{money(summary.final_equity):>18}   "
        "(market value: bonds at the full price, repos at principal + accrued interest)",
        f"{'  framework valuation':<30}{money(summary.framework_equity):>18}   "
        "(bonds as the framework marks them, repos at principal)",
        f"{'profit and loss':<30}{money(pnl):>18}   ({stats['total_return']:+.2%})"
        if stats["total_return"] is not None
        else f"{'profit and loss':<30}{money(pnl):>18}",
    ]
    lines += [""] + format_statistics(stats)
    lines += [""] + format_monthly(stats)
    names = {line.order_book_id: line.symbol for line in summary.bonds}
    lines += [""] + format_attribution(stats, names)
    for part in (format_risk(stats), format_shortfalls(stats)):
        if part:
            lines += [""] + part
    lines += [
        "",
        f"orders: {summary.filled} filled, {len(summary.refused)} refused, {summary.unfilled} not filled",
    ]
    for what, records in (("refused", summary.refused), ("filled with a warning", summary.warned)):
        for kind, text, count, record in grouped_messages(records):
            head = f"{count} {what}, {kind}: {text}" if text else f"{count} {what}"
            lines += textwrap.wrap(head, 100, initial_indent="  ", subsequent_indent="    ")
            lines.append(f"    e.g. {record.date} {record.order.order_book_id}: {record.message}")
    notes = run.notes
    if notes:
        lines += [""] + [f"note: {note}" for note in notes]
    if outputs:
        lines += ["", "outputs:"] + [f"  {path}" for path in outputs]
    return "\n".join(lines)
