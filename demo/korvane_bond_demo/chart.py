"""The chart of a run (``equity.png``): equity against the GC001 benchmark with the bond
payments marked, drawdown, leverage, the book's DV01, liquidity, and the bonds against
what the repos owe."""

import datetime
import io
import math

from korvane.const import INSTRUMENT_TYPE

from korvane_bond_demo.formatting import days_text
from korvane_bond_demo.ledger import classify


def _million_formatter(axis):
    """Tick labels in million yuan with as many decimals as the spacing of the axis'
    ticks needs (at least two), so that no two ticks read the same."""

    def label(value, _):
        ticks = axis.get_yticks()
        step = min((abs(b - a) for a, b in zip(ticks, ticks[1:]) if b != a), default=1.0)
        digits = max(2, min(6, -math.floor(math.log10(step)))) if step > 0 else 2
        return f"{value + 0.0:,.{digits}f}"

    return label


def render_chart(analysis, title="Bond-and-repo backtest"):
    """The chart of ``analysis`` (a :class:`korvane_bond_demo.backtest.Run`) as PNG bytes:
    equity against the GC001 benchmark with the bond payments marked; drawdown;
    leverage; the book's DV01; liquidity (cash and overnight loans); bonds against what
    the repos owe."""
    result, ledger, stats = analysis.result, analysis.ledger, analysis.stats
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.dates as mdates
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, PercentFormatter

    dates = list(ledger["date"])

    def series(name, scale=1e6):
        return (ledger[name] / scale).tolist()

    fig, (top, dd, lev, risk, middle, bottom) = plt.subplots(
        6, 1, figsize=(12, 15), sharex=True, gridspec_kw={"height_ratios": [5, 2, 2, 2, 3, 3]},
        constrained_layout=True,
    )  # fmt: skip
    pnl = summary_pnl = float(ledger["equity"].iloc[-1]) - result.initial_cash
    fig.suptitle(
        f"{title}, {result.start_date} to {result.end_date} ({days_text(len(dates))}): "
        f"equity {result.initial_cash:,.0f} -> {result.initial_cash + summary_pnl:,.2f} yuan ({pnl:+,.2f})",
        fontsize=12,
    )
    marker = "o" if len(dates) < 30 else None
    equity = series("equity")
    top.plot(dates, equity, color="#1f4e79", linewidth=1.8, marker=marker,
             label="equity (cash + bonds at the full price + repos with accrued interest)")  # fmt: skip
    bench = [value / 1e6 for value in analysis.benchmark]
    top.plot(dates, bench, color="#7f7f7f", linewidth=1.2, linestyle="--",
             label=f"benchmark: GC001 compounded ({stats['benchmark_total_return']:+.2%})")  # fmt: skip
    low, high = min(equity + bench), max(equity + bench)
    span = (high - low) or max(abs(high) * 0.01, 0.01)
    top.set_ylim(low - 0.05 * span, high + 0.45 * span)
    events = {}
    for booking in result.bookings:
        if booking.phase != "settlement":
            continue
        if result.env.data_proxy.instruments(booking.order_book_id).type != INSTRUMENT_TYPE.BOND:
            continue
        parts = dict(classify(result, booking))
        what = "coupon + principal" if parts.get("principal") else "coupon"
        events.setdefault(booking.date, []).append(f"{booking.order_book_id}\n{what}\n{booking.amount:,.0f}")
    for i, (day, texts) in enumerate(sorted(events.items())):
        top.axvline(day, color="#548235", linestyle=":", linewidth=1.0)
        height = high + (0.42 if i % 2 == 0 else 0.22) * span
        top.annotate("\n".join(texts), xy=(day, height), xytext=(3, 0), textcoords="offset points",
                     fontsize=7.5, color="#385723", ha="left", va="top")  # fmt: skip
    top.set_ylabel("million yuan")
    top.legend(loc="lower right", fontsize=8)

    peak = ledger["equity"].cummax().clip(lower=result.initial_cash)
    drawdown = (ledger["equity"] / peak - 1.0).tolist()
    dd.fill_between(dates, drawdown, 0, color="#c00000", alpha=0.35, step=None)
    dd.plot(dates, drawdown, color="#c00000", linewidth=0.8, marker=marker,
            label=f"drawdown from the running peak (max {stats['max_drawdown'] or 0:.2%})")  # fmt: skip
    dd.yaxis.set_major_formatter(PercentFormatter(1.0, decimals=None))
    dd.legend(loc="lower left", fontsize=8)

    lev.plot(dates, ledger["leverage"].tolist(), color="#7030a0", linewidth=1.0, marker=marker,
             label="leverage: repo owed (principal + accrued interest) / equity")  # fmt: skip
    lev.set_ylim(0, max(0.1, float(ledger["leverage"].max(skipna=True) or 0)) * 1.25)
    lev.legend(loc="lower left", fontsize=8)

    dv01 = [day["dv01"] for day in analysis.dv01]
    risk.plot(dates, dv01, color="#bf9000", linewidth=1.0, marker=marker,
              label="book DV01: yuan gained for a yield one basis point lower (QuantLib)")  # fmt: skip
    risk.set_ylim(0, max(1.0, max(dv01, default=0.0)) * 1.25)
    risk.set_ylabel("yuan / bp")
    risk.legend(loc="lower left", fontsize=8)

    liquid = [c + lent for c, lent in zip(series("cash"), series("reverse_repo_principal"))]
    middle.plot(dates, liquid, color="#548235", linewidth=1.2, marker=marker,
                label="liquidity: cash + lent overnight, end of day")  # fmt: skip
    middle.fill_between(
        dates, series("cash"), 0, color="#c55a11", alpha=0.5, label="of which cash left unlent"
    )
    middle.set_ylabel("million yuan")
    middle.legend(loc="best", fontsize=8)

    bottom.plot(dates, series("bonds_value"), color="#1f4e79", marker=marker,
                label="bonds at the full price")  # fmt: skip
    owed = [p + a for p, a in zip(series("repo_principal"), series("repo_interest_accrued"))]
    bottom.plot(
        dates, owed, color="#c00000", marker=marker, label="owed on repos (principal + accrued interest)"
    )
    bottom.axhline(0, color="black", linewidth=0.6)
    bottom.set_ylabel("million yuan")
    bottom.legend(loc="lower center", fontsize=8)
    first, last = dates[0], dates[-1]
    bottom.set_xlim(first - datetime.timedelta(days=1), last + datetime.timedelta(days=1))
    if (last - first).days > 180:
        bottom.xaxis.set_major_locator(mdates.MonthLocator(bymonth=(1, 3, 5, 7, 9, 11)))
        bottom.xaxis.set_major_formatter(mdates.DateFormatter("%Y-%m"))
    elif (last - first).days > 31:
        bottom.xaxis.set_major_locator(mdates.MonthLocator())
        bottom.xaxis.set_major_formatter(mdates.DateFormatter("%Y-%m"))
    else:  # a short run: one tick a day (at most about ten)
        bottom.xaxis.set_major_locator(mdates.DayLocator(interval=max(1, (last - first).days // 10 + 1)))
        bottom.xaxis.set_major_formatter(mdates.DateFormatter("%Y-%m-%d"))
    for axis in (top, middle, bottom):
        axis.yaxis.set_major_formatter(FuncFormatter(_million_formatter(axis)))
    for axis in (top, dd, lev, risk, middle, bottom):
        axis.grid(True, alpha=0.3)
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=110)
    plt.close(fig)
    return buffer.getvalue()
