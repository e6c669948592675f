"""``report.html``: the summary, the statistics, the tables and the chart in one page.

The chart is embedded as a base64 PNG and the style sheet is inline, so the page
opens in a browser with no network and can be mailed as one file.
"""

import base64
import html

from korvane_bond_demo.report import ATTRIBUTION_COLUMNS, MONTHS, grouped_messages, unfinanced_note

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


def _money(value):
    return f"{round(value, 2) + 0.0:,.2f}"


def _pct(value, digits=2, sign="+"):
    return "n/a" if value is None else f"{value:{sign}.{digits}%}"


def _num(value):
    return "n/a" if value is None else f"{value:.2f}"


def _cell(text, numeric=True, negative=False):
    classes = " ".join(c for c in ("n" if numeric else "", "neg" if negative else "") if c)
    return f'<td class="{classes}">{_e(text)}</td>' if classes else f"<td>{_e(text)}</td>"


def _table(header, rows, ids=None):
    head = "".join(f"<th>{_e(h)}</th>" for h in header)
    body = "\n".join("<tr>" + "".join(row) + "</tr>" for row in rows)
    attr = f' id="{ids}"' if ids else ""
    return f"<table{attr}><thead><tr>{head}</tr></thead><tbody>\n{body}\n</tbody></table>"


def statistics_table(stats):
    dd = ""
    if stats["max_drawdown_trough"]:
        dd = (
            f"peak {stats['max_drawdown_peak']}, trough {stats['max_drawdown_trough']}, recovered "
            f"{stats['max_drawdown_recovery'] or 'not by the end'}"
        )
    rows = [
        ("total return", _pct(stats["total_return"]), f"P&L {_money(stats['pnl'])} yuan"),
        ("annualised return", _pct(stats["annual_return"]), f"{stats['annualization_days']} sessions a year"),
        (
            "annualised volatility",
            f"{stats['annual_volatility']:.2%}" if stats["annual_volatility"] is not None else "n/a",
            "of daily equity returns",
        ),
        ("Sharpe ratio", _num(stats["sharpe_ratio"]), "against the GC001 overnight repo rate"),
        ("Calmar ratio", _num(stats["calmar_ratio"]), "annualised return / maximum drawdown"),
        ("maximum drawdown", _pct(stats["max_drawdown"], sign=""), dd),
        ("leverage, maximum", _num(stats["leverage_max"]), "repo owed (principal + accrued) / equity"),
        ("leverage, mean", _num(stats["leverage_mean"]), ""),
        (
            "days financed",
            f"{stats['days_financed']:,}",
            f"of {stats['days_holding_pledgeable_bonds']:,} holding the exchange bonds"
            + unfinanced_note(stats),
        ),
    ]
    return _table(
        ("statistic", "value", ""),
        [
            [f'<td data-key="{_e(name)}">{_e(name)}</td>', _cell(value), _cell(note, numeric=False)]
            for name, value, note in rows
        ],
        ids="statistics",
    )


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
            + [_cell(_money(entry[c]), negative=entry[c] < 0) for c in ATTRIBUTION_COLUMNS]
        )
    rows.append(
        [_cell("total", numeric=False)]
        + [_cell("") for _ in ATTRIBUTION_COLUMNS[:-1]]
        + [_cell(_money(stats["attribution_total"]))]
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


def render_report(summary, stats, png, text):
    names = {line.order_book_id: line.symbol for line in summary.bonds}
    image = base64.b64encode(png).decode("ascii")
    title = f"Bond-and-repo backtest, {stats['start']} to {stats['end']}"
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        f"<title>{_e(title)}</title><style>{STYLE}</style></head><body>",
        f"<h1>{_e(title)}</h1>",
        f"<p>{stats['trading_days']:,} trading days, initial cash {_money(stats['initial_cash'])} yuan, "
        f"final equity {_money(stats['final_equity'])} yuan.</p>",
        "<h2>Statistics</h2>",
        statistics_table(stats),
        "<h2>Monthly returns (%)</h2>",
        monthly_table(stats),
        "<h2>Where the P&amp;L came from</h2>",
        attribution_table(stats, names),
        '<p class="note">price: value at the end + sales + principal repaid - purchases (before '
        "commission); financing: repo interest, accrued to the end; commissions: of the bond's trades and "
        "of its repos.</p>",
        "<h2>Chart</h2>",
        f'<img alt="equity, drawdown, leverage, liquidity and balances" src="data:image/png;base64,{image}">',
        "<h2>Orders with a message</h2>",
        orders_table(summary),
        "<h2>Summary</h2>",
        f"<pre>{_e(text)}</pre>",
        "</body></html>",
    ]
    return "\n".join(parts) + "\n"
