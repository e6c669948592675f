"""``report.html``: the summary, the statistics, the tables and the chart in one page, read
from the run's figures (it computes nothing).

The chart is embedded as a base64 PNG and the style sheet is inline, so the page
opens in a browser with no network and can be mailed as one file.
"""

import base64
import html

from korvane_bond_demo.formatting import (
    ATTRIBUTION_COLUMNS,
    MONTHS,
    RISK_HEADER,
    SHORTFALL_HEADER,
    data_text,
    money,
    risk_rows,
    settings_text,
    shortfall_rows,
    statistics_rows,
)
from korvane_bond_demo.summary import grouped_messages

STYLE = """
body { font-family: system-ui, "Noto Sans CJK SC", "PingFang SC", "Microsoft YaHei", sans-serif;
       margin: 2em auto; max-width: 1200px; color: #222; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; }
table { border-collapse: collapse; margin: 0.5em 0; }
th, td { padding: 0.25em 0.7em; border-bottom: 1px solid #ddd; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
th { background: #f3f3f3; text-align: left; }
.neg { color: #c00000; }
pre { background: #f8f8f8; padding: 1em; overflow-x: auto; font-size: 0.85em; }
img { max-width: 100%; }
.note { color: #555; font-size: 0.9em; }
"""


def _e(value):
    return html.escape(str(value))


def _cell(text, numeric=True, negative=False):
    classes = " ".join(c for c in ("n" if numeric else "", "neg" if negative else "") if c)
    return f'<td class="{classes}">{_e(text)}</td>' if classes else f"<td>{_e(text)}</td>"


def _table(header, rows, ids=None):
    head = "".join(f"<th>{_e(h)}</th>" for h in header)
    body = "\n".join("<tr>" + "".join(row) + "</tr>" for row in rows)
    attr = f' id="{ids}"' if ids else ""
    return f"<table{attr}><thead><tr>{head}</tr></thead><tbody>\n{body}\n</tbody></table>"


def statistics_table(stats):
    """The statistics rows (:func:`korvane_bond_demo.formatting.statistics_rows`) as a table."""
    return _table(
        ("statistic", "value", ""),
        [
            [f'<td data-key="{_e(key)}">{_e(label)}</td>', _cell(value), _cell(note, numeric=False)]
            for key, label, value, note in statistics_rows(stats)
        ],
        ids="statistics",
    )


def risk_table(stats):
    rows = risk_rows(stats)
    if not rows:
        return "<p>No bond held.</p>"
    return _table(
        RISK_HEADER, [[_cell(c, numeric=i > 1) for i, c in enumerate(row)] for row in rows], ids="risk"
    )


def shortfall_table(stats):
    rows = shortfall_rows(stats)
    if not rows:
        return "<p>Every repo lent within the lent share of its collateral's face value.</p>"
    cells = [[_cell(c, numeric=i >= 3 and i != 7) for i, c in enumerate(row)] for row in rows]
    return _table(SHORTFALL_HEADER, cells, ids="shortfalls")


def monthly_table(stats):
    monthly = stats["monthly_returns"]
    rows = []
    for year in sorted({key[:4] for key in monthly}):
        row = [_cell(year, numeric=False)]
        for month in range(1, 13):
            value = monthly.get(f"{year}-{month:02d}")
            row.append(
                _cell("" if value is None else f"{value * 100:.2f}", negative=bool(value and value < 0))
            )
        value = stats["yearly_returns"][year]
        row.append(_cell(f"{value * 100:.2f}", negative=value < 0))
        rows.append(row)
    return _table(("year", *MONTHS, "year"), rows, ids="monthly")


def attribution_table(stats, names):
    rows = []
    for key, entry in stats["attribution"].items():
        label = "lending spare cash (reverse repos)" if key == "lending" else f"{key} {names.get(key, '')}"
        rows.append(
            [_cell(label, numeric=False)]
            + [_cell(money(entry[c]), negative=entry[c] < 0) for c in ATTRIBUTION_COLUMNS]
        )
    rows.append(
        [_cell("total", numeric=False)]
        + [_cell("") for _ in ATTRIBUTION_COLUMNS[:-1]]
        + [_cell(money(stats["attribution_total"]))]
    )
    return _table(("", *ATTRIBUTION_COLUMNS), rows, ids="attribution")


def orders_table(summary):
    rows = []
    for status, records in (("refused", summary.refused), ("filled with a warning", summary.warned)):
        for kind, text, count, record in grouped_messages(records):
            rows.append(
                [_cell(status, numeric=False), _cell(count), _cell(kind, numeric=False),
                 _cell(text, numeric=False), _cell(f"{record.date} {record.message}", numeric=False)]
            )  # fmt: skip
    if not rows:
        return "<p>Every order was filled without a message.</p>"
    return _table(("orders", "count", "kind", "what it means", "the system's message, e.g."), rows)


def render_report(run, png, text):
    """The page of ``run`` (a :class:`korvane_bond_demo.analysis.Run`: its title, summary,
    statistics) with the chart ``png`` and the summary ``text``."""
    summary, stats = run.summary, run.stats
    names = {line.order_book_id: line.symbol for line in summary.bonds}
    image = base64.b64encode(png).decode("ascii")
    title = f"{run.title}, {stats['start']} to {stats['end']}"
    made = [f"Data: {data_text(stats['data'])}."]
    if stats["settings"] is not None:
        made.append(f"Settings: {settings_text(stats['settings'])}.")
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        f"<title>{_e(title)}</title><style>{STYLE}</style></head><body>",
        f"<h1>{_e(title)}</h1>",
        f"<p>{stats['trading_days']:,} trading days, initial cash {money(stats['initial_cash'])} yuan, "
        f"final equity {money(stats['final_equity'])} yuan.</p>",
        f'<p class="note">{_e(" ".join(made))}</p>',
        "<h2>Statistics</h2>",
        '<p class="note">Equity is the account at market value, day by day: cash, the bonds held at '
        "the day's full price (the last one when a bond has no quote that day), the reverse repos less "
        "the repos at principal plus the interest accrued to the day. Every statistic, the drawdown, the "
        "benchmark comparison and the chart use it. The framework's own valuation (bonds as it marks "
        "them, with the receivables of bonds on implied cash flows; repos at principal) is the column "
        "<code>framework_equity</code> of ledger.csv.</p>",
        statistics_table(stats),
        "<h2>Fixed-income risk</h2>",
        '<p class="note">Per bond on the last day it was held: yield to maturity, modified duration and '
        "DV01 from QuantLib on the day's full price (annual compounding, actual/actual); DV01 in yuan for "
        "a yield one basis point lower. The book's DV01 over time is on the chart.</p>",
        risk_table(stats),
        "<h2>Collateral</h2>",
        shortfall_table(stats),
        "<h2>Monthly returns (%)</h2>",
        monthly_table(stats),
        "<h2>Where the P&amp;L came from</h2>",
        attribution_table(stats, names),
        '<p class="note">price: value at the end + sales + principal repaid - purchases (before '
        "commission); financing: repo interest, accrued to the end; commissions: of the bond's trades and "
        "of its repos.</p>",
        "<h2>Chart</h2>",
        '<img alt="equity and benchmark, drawdown, leverage, DV01, liquidity and balances" '
        f'src="data:image/png;base64,{image}">',
        "<h2>Orders with a message</h2>",
        orders_table(summary),
        "<h2>Summary</h2>",
        f"<pre>{_e(text)}</pre>",
        "</body></html>",
    ]
    return "\n".join(parts) + "\n"
