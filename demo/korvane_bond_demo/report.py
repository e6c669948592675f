"""What a run of the sample backtest leaves behind: the summary, the CSV files, the
statistics, the chart and the HTML report.

The CSV files carry every amount at full precision (the shortest text that reads
back as the same float), so they reconcile to the fen and beyond; the summary
and the HTML report round to the fen.
"""

import csv
import dataclasses
import datetime
import json
import math
import re
import textwrap
import unicodedata

from korvane.const import INSTRUMENT_TYPE, POSITION_DIRECTION, SIDE

from korvane_bond_demo.files import staged
from korvane_bond_demo.ledger import FLOWS, LEDGER_COLUMNS, classify, repo_interest, settled_on

LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT

OUTPUTS = (
    "summary.txt",
    "stats.json",
    "report.html",
    "equity.png",
    "ledger.csv",
    "bookings.csv",
    "orders.csv",
    "repos.csv",
)
OUTPUT_HELP = {
    "summary.txt": "the printed summary",
    "stats.json": "the statistics: returns, volatility, drawdown, Sharpe, Calmar, monthly returns, "
    "leverage, P&L attribution",
    "report.html": "summary, statistics, tables and charts in one page that needs no network",
    "equity.png": "equity, drawdown, leverage, cash and balances over the run",
    "ledger.csv": "one row per trading day: cash flows by kind, balances, equity, leverage",
    "bookings.csv": "every cash delta booked, in order",
    "orders.csv": "every order, with the system's message and what it means",
    "repos.csv": "every repo and reverse repo with its terms",
}

# What the system's messages about an order mean, in plain words: (pattern, kind, explanation).
MESSAGE_KINDS = (
    (
        re.compile(r"的仓位不足"),
        "sale of pledged bonds",
        "the strategy tries to sell its bonds every day of its exit; while they are pledged in a "
        "repo nothing is closable, so the sale is refused until the repo is repaid (deliberate)",
    ),
    (
        re.compile(r"正回购名义金额超过当前持仓票面价值"),
        "repo rolled on its due day",
        "a repo rolled on the due day of the one before pledges the same bonds; their pledge is "
        "released only at the day's settlement, so the validator sees no free holding and warns; "
        "the order is accepted and filled in full",
    ),
    (re.compile(r"可用资金不足"), "not enough cash", "the order would pay out more cash than is available"),
    (
        re.compile(r"数量 \S+ 不合法"),
        "quantity not allowed",
        "not a whole number of lots, or below the inter-bank minimum of 1,000 bonds",
    ),
    (
        re.compile(r"抵押名义价值应在"),
        "pledge below the exchange minimum",
        "an exchange repo must pledge at least 1,000 yuan of face value on Shenzhen, 100,000 on Shanghai",
    ),
    (re.compile(r"没有行情"), "no quote", "the instrument has no price or rate on that day"),
)


def explain(message):
    """(kind, plain explanation) of a system message about an order; ("", "") when unknown."""
    for pattern, kind, text in MESSAGE_KINDS:
        if pattern.search(message):
            return kind, text
    return "", ""


def order_kind(order):
    if order.side == SIDE.BUY:
        return "buy"
    if order.side == SIDE.SELL:
        return "sell"
    if order.side == SIDE.FINANCING:
        return "borrow (repo)"
    if order.side == SIDE.MARGIN:
        return "lend (reverse repo)"
    return order.side.name.lower()


@dataclasses.dataclass
class BondLine:
    order_book_id: str
    symbol: str
    coupons: float = 0.0
    principal: float = 0.0
    bought: float = 0.0
    sold: float = 0.0
    commission: float = 0.0


@dataclasses.dataclass
class RepoLine:
    order_book_id: str
    symbol: str
    direction: str
    trades: int = 0
    principal: float = 0.0  # the sum over every trade: turnover, not an exposure
    interest: float = 0.0  # of the repos repaid within the run
    commission: float = 0.0
    outstanding: float = 0.0  # principal of repos not yet due at the end
    average_outstanding: float = 0.0  # principal outstanding at the end of a day, averaged over the run
    peak_outstanding: float = 0.0


@dataclasses.dataclass
class Summary:
    start: datetime.date
    end: datetime.date
    days: int
    initial_cash: float
    final_cash: float
    final_equity: float  # with the interest accrued on repos still open
    replayed_cash: float  # the initial cash plus every booked delta, added in booking order
    bookings: int
    flows: dict
    bonds: list
    repos: list
    filled: int
    refused: list  # OrderRecords
    unfilled: int
    warned: list = dataclasses.field(default_factory=list)  # filled OrderRecords with a message

    @property
    def reconciled(self):
        return self.replayed_cash == self.final_cash

    @property
    def repo_interest_paid(self):
        return sum(line.interest for line in self.repos if line.direction == SHORT)

    @property
    def repo_interest_earned(self):
        return sum(line.interest for line in self.repos if line.direction == LONG)

    @property
    def commissions(self):
        return -self.flows["commissions"]


def summarize(result, ledger):
    flows = dict.fromkeys(FLOWS, 0.0)
    bonds, repos = {}, {}
    data_proxy = result.env.data_proxy

    def bond_line(order_book_id):
        if order_book_id not in bonds:
            bonds[order_book_id] = BondLine(order_book_id, data_proxy.instruments(order_book_id).symbol)
        return bonds[order_book_id]

    def repo_line(order_book_id, direction):
        key = (order_book_id, direction)
        if key not in repos:
            repos[key] = RepoLine(order_book_id, data_proxy.instruments(order_book_id).symbol, direction)
        return repos[key]

    replayed = result.initial_cash
    for booking in result.bookings:
        replayed += booking.amount
        parts = dict(classify(result, booking))
        for category, amount in parts.items():
            flows[category] += amount
        if data_proxy.instruments(booking.order_book_id).type == INSTRUMENT_TYPE.BOND:
            line = bond_line(booking.order_book_id)
            line.coupons += parts.get("coupons", 0.0)
            line.principal += parts.get("principal", 0.0)
            line.bought -= parts.get("bond_purchases", 0.0)
            line.sold += parts.get("bond_sales", 0.0)
            line.commission += booking.transaction_cost
    days = [record.date for record in result.days]
    daily = {}  # (repo, direction) -> principal outstanding at the end of each day
    settled = settled_on(result)
    for trade in result.repo_trades:
        key = (trade.order_book_id, trade.position_direction)
        line = repo_line(*key)
        line.trades += 1
        line.principal += trade.last_quantity
        line.commission += trade.transaction_cost
        balance = daily.setdefault(key, dict.fromkeys(days, 0.0))
        end = settled.get(id(trade))
        for day in days:
            if trade.trading_dt.date() <= day and (end is None or day < end):
                balance[day] += trade.last_quantity
    for key, balance in daily.items():
        repos[key].average_outstanding = sum(balance.values()) / len(days)
        repos[key].peak_outstanding = max(balance.values())
    for maturity in result.repo_maturities:
        repo_line(maturity.trade.order_book_id, maturity.direction).interest += maturity.interest
    for trade in result.open_repos:
        repo_line(trade.order_book_id, trade.position_direction).outstanding += trade.last_quantity
    return Summary(
        start=result.start_date,
        end=result.end_date,
        days=len(result.days),
        initial_cash=result.initial_cash,
        final_cash=result.final_cash,
        final_equity=float(ledger["equity"].iloc[-1]),
        replayed_cash=replayed,
        bookings=len(result.bookings),
        flows=flows,
        bonds=list(bonds.values()),
        repos=sorted(repos.values(), key=lambda line: (line.direction != SHORT, line.order_book_id)),
        filled=sum(1 for record in result.orders if record.status == "filled"),
        refused=result.refused_orders(),
        unfilled=sum(1 for record in result.orders if record.status == "unfilled"),
        warned=[r for r in result.orders if r.status == "filled" and r.messages],
    )


def _money(value):
    value = round(value, 2) + 0.0  # + 0.0: no "-0.00"
    return f"{value:,.2f}"


def _percent(value, digits=2, sign="+"):
    return "n/a" if value is None else f"{value:{sign}.{digits}%}"


def _ratio(value):
    return "n/a" if value is None else f"{value:.2f}"


def _pad(text, width):
    """``text`` left-aligned in ``width`` terminal columns (CJK characters take two)."""
    used = sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)
    return text + " " * max(0, width - used)


def _days(count):
    return f"{count:,} trading day" + ("" if count == 1 else "s")


def grouped_messages(records):
    """[(kind, explanation, count, first record)] of orders grouped by what their message means."""
    groups = {}
    for record in records:
        kind, text = explain(record.message)
        key = kind or record.message
        if key not in groups:
            groups[key] = [kind or "other", text, 0, record]
        groups[key][2] += 1
    return [tuple(group) for group in groups.values()]


def format_statistics(stats):
    lines = [
        "statistics (daily equity with accrued repo interest; "
        f"annualised over {stats['annualization_days']} sessions a year)",
        f"  {'total return':<34}{_percent(stats['total_return']):>12}",
        f"  {'annualised return':<34}{_percent(stats['annual_return']):>12}",
        f"  {'annualised volatility':<34}{_percent(stats['annual_volatility'], sign=''):>12}",
        f"  {'Sharpe ratio (vs GC001 overnight)':<34}{_ratio(stats['sharpe_ratio']):>12}",
        f"  {'Calmar ratio':<34}{_ratio(stats['calmar_ratio']):>12}",
    ]
    drawdown = f"  {'maximum drawdown':<34}{_percent(stats['max_drawdown'], sign=''):>12}"
    if stats["max_drawdown_trough"]:
        recovery = stats["max_drawdown_recovery"] or "not recovered by the end"
        drawdown += (
            f"   peak {stats['max_drawdown_peak']}, trough {stats['max_drawdown_trough']}, "
            f"recovered {recovery}"
        )
    lines.append(drawdown)
    lines.append(
        f"  {'leverage (repo owed / equity)':<34}{_ratio(stats['leverage_max']):>12}   max; "
        f"mean {_ratio(stats['leverage_mean'])}, at the end {_ratio(stats['leverage_end'])}"
    )
    lines.append(
        f"  {'days financed':<34}{stats['days_financed']:>12,}   "
        f"of {stats['days_holding_pledgeable_bonds']:,} days holding the exchange bonds"
    )
    if unfinanced_note(stats):  # a line of its own, under the count
        lines.append(f"  {'':<34}{'':>12}  {unfinanced_note(stats)}")
    return lines


def unfinanced_note(stats):
    """Where the days without financing fall: all in the exit, or how many before it."""
    unfinanced = stats["days_holding_pledgeable_bonds"] - stats["days_financed"]
    if unfinanced <= 0:
        return ""
    before = stats["days_unfinanced_before_exit"]
    if before == 0:
        return " (the rest in the exit, when no repo is opened)"
    return f" ({before:,} unfinanced before the exit)"


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


MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")
ATTRIBUTION_COLUMNS = ("price", "coupons", "financing", "commissions", "total")


def format_attribution(stats, names):
    lines = [
        "P&L attribution",
        f"  {'':<24}" + "".join(f"{name:>15}" for name in ATTRIBUTION_COLUMNS),
    ]
    for key, entry in stats["attribution"].items():
        label = "lending spare cash" if key == "lending" else f"{key} {names.get(key, '')}"
        lines.append("  " + _pad(label, 24) + "".join(f"{_money(entry[c]):>15}" for c in ATTRIBUTION_COLUMNS))
    lines.append(f"  {'total':<24}{'':>60}{_money(stats['attribution_total']):>15}")
    lines.append(
        "  price: value at the end + sales + principal repaid - purchases; financing: repo "
        "interest (accrued to the end)"
    )
    return lines


def format_summary(summary, stats=None, outputs=None, notes=()):
    lines = [f"Bond-and-repo backtest, {summary.start} to {summary.end} ({_days(summary.days)})", ""]
    if summary.bonds:
        lines.append(
            f"{'bond':<24}{'coupons':>16}{'principal':>16}{'bought':>16}{'sold':>16}{'commission':>12}"
        )
    else:
        lines.append("no bond bought")
    for line in summary.bonds:
        lines.append(
            _pad(f"{line.order_book_id} {line.symbol}", 24)
            + f"{_money(line.coupons):>16}{_money(line.principal):>16}"
            + f"{_money(line.bought):>16}{_money(line.sold):>16}{_money(line.commission):>12}"
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
            _pad(f"{line.order_book_id} {line.symbol}", 24)
            + f"{side:<10}{line.trades:>7}{_money(line.principal):>18}"
            + f"{_money(line.average_outstanding):>16}{_money(line.peak_outstanding):>16}"
            + f"{_money(line.interest):>13}{_money(line.commission):>12}"
        )
        if line.outstanding:
            lines.append(f"{'':<24}{'outstanding at the end':<35}{_money(line.outstanding):>18}")
    if summary.repos:
        lines.append(
            "  turnover: principal summed over every trade; average and peak: principal "
            "outstanding at the end of a day"
        )
    flows = summary.flows
    pnl = summary.final_equity - summary.initial_cash
    lines += [
        "",
        f"{'repo interest paid':<30}{_money(summary.repo_interest_paid):>18}",
        f"{'repo interest earned':<30}{_money(summary.repo_interest_earned):>18}",
        f"{'commissions':<30}{_money(summary.commissions):>18}",
        "",
        f"{'initial cash':<30}{_money(summary.initial_cash):>18}",
    ]
    for category in FLOWS:
        if flows[category] != 0:
            lines.append(f"  {category.replace('_', ' '):<28}{_money(flows[category]):>18}")
    check = "reconciled" if summary.reconciled else "NOT RECONCILED"
    lines += [
        f"{'final cash':<30}{_money(summary.final_cash):>18}   "
        f"(initial cash + {summary.bookings:,} booked deltas: {check})",
        f"{'final equity':<30}{_money(summary.final_equity):>18}",
        f"{'profit and loss':<30}{_money(pnl):>18}   ({pnl / summary.initial_cash:+.2%})"
        if summary.initial_cash
        else f"{'profit and loss':<30}{_money(pnl):>18}",
    ]
    if stats is not None:
        lines += [""] + format_statistics(stats)
        lines += [""] + format_monthly(stats)
        names = {line.order_book_id: line.symbol for line in summary.bonds}
        lines += [""] + format_attribution(stats, names)
    lines += [
        "",
        f"orders: {summary.filled} filled, {len(summary.refused)} refused, {summary.unfilled} not filled",
    ]
    for what, records in (("refused", summary.refused), ("filled with a warning", summary.warned)):
        for kind, text, count, record in grouped_messages(records):
            head = f"{count} {what}, {kind}: {text}" if text else f"{count} {what}"
            lines += textwrap.wrap(head, 100, initial_indent="  ", subsequent_indent="    ")
            lines.append(f"    e.g. {record.date} {record.order.order_book_id}: {record.message}")
    if notes:
        lines += [""] + [f"note: {note}" for note in notes]
    if outputs:
        lines += ["", "outputs:"] + [f"  {path}" for path in outputs]
    return "\n".join(lines)


# files ------------------------------------------------------------------------


def _text(value):
    if isinstance(value, float) or hasattr(value, "dtype"):
        value = float(value)
        return "" if math.isnan(value) else repr(value)  # full precision
    if value is None:
        return ""
    return str(value)


def _write_csv(path, header, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(header)
        for row in rows:
            writer.writerow([_text(value) for value in row])


BOOKINGS_HEADER = ("date", "phase", "order_book_id", "direction", "category", "amount", "transaction_cost",
                   "cash_after")  # fmt: skip
ORDERS_HEADER = ("date", "order_id", "order_book_id", "kind", "quantity", "price", "amount", "repo_rate",
                 "pledged_bond", "status", "message", "meaning")  # fmt: skip
REPOS_HEADER = ("trade_date", "order_book_id", "direction", "pledged_bond", "pledged_quantity",
                "pledged_face_value", "share_of_face_value_lent", "rate", "principal", "due_date",
                "holding_days", "amount_due", "interest", "commission", "repaid_on")  # fmt: skip


def order_rows(result):
    """One row per order. Bond orders: quantity in bonds, price the full price per bond,
    amount their product; a repo: amount the pledged face value; a reverse repo: the loan."""
    for r in result.orders:
        order = r.order
        is_bond = order.side in (SIDE.BUY, SIDE.SELL)
        quantity = order.quantity if is_bond else None
        price = order.price if is_bond else None
        amount = order.quantity * order.price if is_bond and order.price is not None else order.quantity
        kind, _ = explain(r.message)
        yield [r.date, order.order_id, order.order_book_id, order_kind(order), quantity, price, amount,
               None if is_bond else order.price, getattr(order, "bond_order_book_id", None), r.status,
               r.message, kind]  # fmt: skip


def repo_rows(result):
    settled = settled_on(result)
    for t in result.repo_trades:
        financing = t.side == SIDE.FINANCING
        face = t.pledged_quantity * t.coupon_value if financing else None
        yield [t.trading_dt.date(), t.order_book_id, "borrowed" if financing else "lent",
               t.bond_id, t.pledged_quantity if financing else None, face,
               t.haircut if financing else None, t.last_price, t.last_quantity, t.due_settlement_date,
               t.actual_holding_days, t.due_settlement_amount, repo_interest(t), t.transaction_cost,
               settled.get(id(t))]  # fmt: skip


def booking_rows(result):
    for b in result.bookings:
        category = "+".join(c for c, _ in classify(result, b))
        yield [b.date, b.phase, b.order_book_id, b.direction.name, category, b.amount, b.transaction_cost,
               b.cash_after]  # fmt: skip


def write_outputs(result, summary, stats, ledger, out, notes=()):
    """Write every output into the folder ``out`` (checked beforehand); return their paths.
    All are staged under temporary names and renamed into place together."""
    finals = [out / name for name in OUTPUTS]
    text = format_summary(summary, stats, finals, notes)
    with staged(out) as staging:
        _write_csv(staging.path("ledger.csv"), LEDGER_COLUMNS, ledger.itertuples(index=False, name=None))
        _write_csv(staging.path("bookings.csv"), BOOKINGS_HEADER, booking_rows(result))
        _write_csv(staging.path("orders.csv"), ORDERS_HEADER, order_rows(result))
        _write_csv(staging.path("repos.csv"), REPOS_HEADER, repo_rows(result))
        png = render_chart(result, ledger, stats)
        staging.path("equity.png").write_bytes(png)
        staging.path("stats.json").write_text(json.dumps(stats, indent=2) + "\n", encoding="utf-8")
        from korvane_bond_demo.html import render_report

        page = render_report(summary, stats, png, text)
        staging.path("report.html").write_text(page, encoding="utf-8")
        staging.path("summary.txt").write_text(text + "\n", encoding="utf-8")
    return finals


def _million_formatter(axis):
    """Tick labels in million yuan with as many decimals as the spacing of the axis'
    ticks needs (at least two), so that no two ticks read the same."""

    def label(value, _):
        ticks = axis.get_yticks()
        step = min((abs(b - a) for a, b in zip(ticks, ticks[1:]) if b != a), default=1.0)
        digits = max(2, min(6, -math.floor(math.log10(step)))) if step > 0 else 2
        return f"{value + 0.0:,.{digits}f}"

    return label


def render_chart(result, ledger, stats):
    """The chart as PNG bytes: equity with the bond payments marked; drawdown; leverage;
    liquidity (cash and overnight loans); bonds against what the repos owe."""
    import io

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.dates as mdates
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, PercentFormatter

    dates = list(ledger["date"])

    def series(name, scale=1e6):
        return (ledger[name] / scale).tolist()

    fig, (top, dd, lev, middle, bottom) = plt.subplots(
        5, 1, figsize=(12, 13), sharex=True, gridspec_kw={"height_ratios": [5, 2, 2, 3, 3]},
        constrained_layout=True,
    )  # fmt: skip
    pnl = summary_pnl = float(ledger["equity"].iloc[-1]) - result.initial_cash
    fig.suptitle(
        f"Sample bond-and-repo backtest, {result.start_date} to {result.end_date} ({_days(len(dates))}): "
        f"equity {result.initial_cash:,.0f} -> {result.initial_cash + summary_pnl:,.2f} yuan ({pnl:+,.2f})",
        fontsize=12,
    )
    marker = "o" if len(dates) < 30 else None
    equity = series("equity")
    top.plot(dates, equity, color="#1f4e79", linewidth=1.8, marker=marker,
             label="equity (cash + marked bonds + repos with accrued interest)")  # fmt: skip
    low, high = min(equity), max(equity)
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

    liquid = [c + lent for c, lent in zip(series("cash"), series("reverse_repo_principal"))]
    middle.plot(dates, liquid, color="#548235", linewidth=1.2, marker=marker,
                label="liquidity: cash + lent overnight, end of day")  # fmt: skip
    middle.fill_between(
        dates, series("cash"), 0, color="#c55a11", alpha=0.5, label="of which cash left unlent"
    )
    middle.set_ylabel("million yuan")
    middle.legend(loc="best", fontsize=8)

    bottom.plot(dates, series("bonds_value"), color="#1f4e79", marker=marker,
                label="bonds (marked, with receivable)")  # fmt: skip
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
    for axis in (top, dd, lev, middle, bottom):
        axis.grid(True, alpha=0.3)
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=110)
    plt.close(fig)
    return buffer.getvalue()
