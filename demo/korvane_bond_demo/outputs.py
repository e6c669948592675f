"""Everything a run writes into its output folder, staged and renamed into place together.

The names and descriptions of the outputs load nothing (the command's ``--help`` lists
them); :func:`write_outputs` imports the writers (pandas, matplotlib) when it runs.
"""

OUTPUTS = (
    "summary.txt",
    "stats.json",
    "report.html",
    "equity.png",
    "ledger.csv",
    "bookings.csv",
    "orders.csv",
    "repos.csv",
    "run.json",
)
OUTPUT_HELP = {
    "summary.txt": "the printed summary",
    "stats.json": "the statistics: returns, volatility, drawdown, Sharpe, Calmar, monthly returns, "
    "benchmark, leverage, DV01 and duration, collateral shortfalls, P&L attribution",
    "report.html": "summary, statistics, tables and charts in one page that needs no network",
    "equity.png": "equity against the GC001 benchmark, drawdown, leverage, the book's DV01, cash "
    "and balances",
    "ledger.csv": "one row per trading day: cash flows by kind, balances, equity, leverage",
    "bookings.csv": "every cash delta booked, in order",
    "orders.csv": "every order, with the system's message and what it means",
    "repos.csv": "every repo and reverse repo with its terms",
    "run.json": "what made these outputs: every setting, and the data (folder, sessions, content hash)",
}


def write_outputs(run, out):
    """Write every output of ``run`` (a :class:`korvane_bond_demo.analysis.Run`) into the
    folder ``out`` (checked beforehand); return their paths. All are staged under
    temporary names and renamed into place together; the summary's text is kept as the
    run's ``text``."""
    import json

    from korvane_bond_demo import chart
    from korvane_bond_demo.files import staged
    from korvane_bond_demo.html import render_report
    from korvane_bond_demo.ledger import LEDGER_COLUMNS
    from korvane_bond_demo.tables import (
        BOOKINGS_HEADER,
        ORDERS_HEADER,
        REPOS_HEADER,
        booking_rows,
        order_rows,
        repo_rows,
        write_csv,
    )
    from korvane_bond_demo.text import format_summary

    result = run.result
    finals = [out / name for name in OUTPUTS]
    text = run.text = format_summary(run, finals)  # written, and printed by the command
    with staged(out) as staging:
        write_csv(staging.path("ledger.csv"), LEDGER_COLUMNS, run.ledger.itertuples(index=False, name=None))
        write_csv(staging.path("bookings.csv"), BOOKINGS_HEADER, booking_rows(result, run.parts))
        write_csv(staging.path("orders.csv"), ORDERS_HEADER, order_rows(result))
        write_csv(staging.path("repos.csv"), REPOS_HEADER, repo_rows(result, run.pledges))
        png = chart.render_chart(run)
        staging.path("equity.png").write_bytes(png)
        staging.path("stats.json").write_text(json.dumps(run.stats, indent=2) + "\n", encoding="utf-8")
        staging.path("run.json").write_text(json.dumps(run.record, indent=2) + "\n", encoding="utf-8")
        staging.path("report.html").write_text(render_report(run, png, text), encoding="utf-8")
        staging.path("summary.txt").write_text(text + "\n", encoding="utf-8")
    return finals
