"""What a run of the sample backtest leaves behind: the summary, the CSV files and the chart.

Every booked cash delta falls in one category of :data:`FLOWS`; a trade's
delta is split into its gross amount and its commission, a bond payment into
coupon and principal (in the proportion of the bond's cash-flow table on that
date). The daily ledger has one column per category, so each row's cash is
its opening cash plus its flows.
"""

import csv
import dataclasses
import datetime
import unicodedata
from pathlib import Path

from korvane.const import INSTRUMENT_TYPE, POSITION_DIRECTION, SIDE
from pelvorn import bond

LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT

FLOWS = (
    "bond_purchases",
    "bond_sales",
    "coupons",
    "principal",
    "repo_borrowed",
    "repo_repaid",
    "reverse_repo_lent",
    "reverse_repo_returned",
    "commissions",
    "day_start",
    "other",
)


def _payment_table(result, order_book_id):
    """Per-bond payment and principal by date, from the table the bond's position reads
    (implied or realized cash flows); read once per result."""
    tables = result.__dict__.setdefault("_payment_tables", {})
    if order_book_id in tables:
        return tables[order_book_id]
    if _is_implied(result, order_book_id):
        frame = bond.get_implied_cash_flow(order_book_id, 20050102, 29991231)
        columns = ("total_payment", "principal_payment")
    else:
        frame = bond.realized_cash_flow(order_book_id)
        columns = ("cash_flow", "principal_payment")
    table = {}
    if frame is not None:
        dates = frame.index.get_level_values(-1)
        table = {
            day.date(): (total, principal)
            for day, total, principal in zip(dates, frame[columns[0]].tolist(), frame[columns[1]].tolist())
            if total != 0
        }
    tables[order_book_id] = table
    return table


def _is_implied(result, order_book_id):
    from korvane_mod_bond.position import BondPositionWithImpliedCashFlow

    position = result.portfolio.positions.get((order_book_id, LONG))
    return isinstance(position, BondPositionWithImpliedCashFlow)


def classify(result, booking):
    """The (category, amount) parts of one booking; they add up to its amount."""
    instrument = result.env.data_proxy.instruments(booking.order_book_id)
    kind = instrument.type
    if booking.phase == "before_trading":
        return [("day_start", booking.amount)]
    if booking.phase == "trade":
        cost = booking.transaction_cost
        gross = booking.amount + cost
        if kind == INSTRUMENT_TYPE.BOND:
            category = "bond_purchases" if booking.trade.side == SIDE.BUY else "bond_sales"
        elif kind == INSTRUMENT_TYPE.REPO:
            category = "repo_borrowed" if booking.direction == SHORT else "reverse_repo_lent"
        else:
            category = "other"
        return [(category, gross), ("commissions", -cost)]
    if booking.phase == "settlement":
        if kind == INSTRUMENT_TYPE.BOND:
            table = _payment_table(result, booking.order_book_id)
            if booking.date in table:
                total, principal_per_bond = table[booking.date]
                principal = booking.amount * principal_per_bond / total
                return [("coupons", booking.amount - principal), ("principal", principal)]
        elif kind == INSTRUMENT_TYPE.REPO:
            return [
                ("repo_repaid" if booking.direction == SHORT else "reverse_repo_returned", booking.amount)
            ]
    return [("other", booking.amount)]


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
    principal: float = 0.0
    interest: float = 0.0  # of the repos repaid within the run
    commission: float = 0.0
    outstanding: float = 0.0  # principal of repos not yet due at the end


@dataclasses.dataclass
class Summary:
    start: datetime.date
    end: datetime.date
    days: int
    initial_cash: float
    final_cash: float
    final_equity: float
    replayed_cash: float  # the initial cash plus every booked delta, added in booking order
    bookings: int
    flows: dict
    bonds: list
    repos: list
    filled: int
    refused: list  # OrderRecords
    unfilled: int

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


def summarize(result):
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
    for trade in result.repo_trades:
        line = repo_line(trade.order_book_id, trade.position_direction)
        line.trades += 1
        line.principal += trade.last_quantity
        line.commission += trade.transaction_cost
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
        final_equity=result.final_equity,
        replayed_cash=replayed,
        bookings=len(result.bookings),
        flows=flows,
        bonds=list(bonds.values()),
        repos=sorted(repos.values(), key=lambda line: (line.direction != SHORT, line.order_book_id)),
        filled=sum(1 for record in result.orders if record.status == "filled"),
        refused=result.refused_orders(),
        unfilled=sum(1 for record in result.orders if record.status == "unfilled"),
    )


def _money(value):
    return f"{value:,.2f}"


def _pad(text, width):
    """``text`` left-aligned in ``width`` terminal columns (CJK characters take two)."""
    used = sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)
    return text + " " * max(0, width - used)


def format_summary(summary, outputs=None, notes=()):
    lines = [
        f"Bond-and-repo backtest, {summary.start} to {summary.end} ({summary.days} trading days)",
        "",
        f"{'bond':<24}{'coupons':>16}{'principal':>16}{'bought':>16}{'sold':>16}{'commission':>12}",
    ]
    for line in summary.bonds:
        lines.append(
            _pad(f"{line.order_book_id} {line.symbol}", 24)
            + f"{_money(line.coupons):>16}{_money(line.principal):>16}"
            + f"{_money(line.bought):>16}{_money(line.sold):>16}{_money(line.commission):>12}"
        )
    lines += [
        "",
        f"{'repo':<24}{'side':<14}{'trades':>7}{'principal':>18}{'interest':>14}{'commission':>12}",
    ]
    for line in summary.repos:
        side = "borrowed" if line.direction == SHORT else "lent"
        lines.append(
            _pad(f"{line.order_book_id} {line.symbol}", 24)
            + f"{side:<14}{line.trades:>7}{_money(line.principal):>18}"
            + f"{_money(line.interest):>14}{_money(line.commission):>12}"
        )
        if line.outstanding:
            lines.append(f"{'':<24}{'outstanding at the end':<38}{_money(line.outstanding):>18}")
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
        "",
        f"orders: {summary.filled} filled, {len(summary.refused)} refused, {summary.unfilled} not filled",
    ]
    for record in summary.refused[:3]:
        lines.append(f"  refused {record.date} {record.order.order_book_id}: {record.message}")
    if len(summary.refused) > 3:
        lines.append(f"  ... and {len(summary.refused) - 3} more in orders.csv")
    if notes:
        lines += [""] + [f"note: {note}" for note in notes]
    if outputs:
        lines += ["", "outputs:"] + [f"  {path}" for path in outputs]
    return "\n".join(lines)


# files ------------------------------------------------------------------------


def _text(value):
    if isinstance(value, float) or hasattr(value, "dtype"):
        return repr(float(value))  # full precision: the files reconcile to the fen and beyond
    if value is None:
        return ""
    return str(value)


def _write(path, header, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(header)
        for row in rows:
            writer.writerow([_text(value) for value in row])


def ledger_rows(result):
    """One row per day: opening cash, the day's flows by category, closing cash, equity."""
    by_day = {}
    for booking in result.bookings:
        day = by_day.setdefault(booking.date, dict.fromkeys(FLOWS, 0.0))
        for category, amount in classify(result, booking):
            day[category] += amount
    data_proxy = result.env.data_proxy
    rows = []
    for record in result.days:
        flows = by_day.get(record.date, dict.fromkeys(FLOWS, 0.0))
        bonds = lent = borrowed = 0.0
        for (order_book_id, direction), equity in record.positions_equity.items():
            kind = data_proxy.instruments(order_book_id).type
            if kind == INSTRUMENT_TYPE.REPO:
                if direction == LONG:
                    lent += equity
                else:
                    borrowed += equity
            else:
                bonds += equity
        rows.append(
            [record.date, record.cash_open]
            + [flows[c] for c in FLOWS]
            + [record.cash, bonds, lent, borrowed, record.equity]
        )
    return rows


LEDGER_HEADER = (
    ["date", "cash_open"]
    + list(FLOWS)
    + ["cash", "bonds_value", "reverse_repo_outstanding", "repo_outstanding", "equity"]
)


def write_outputs(result, summary, out):
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    paths = {name: out / name for name in ("ledger.csv", "bookings.csv", "orders.csv", "repos.csv")}
    _write(paths["ledger.csv"], LEDGER_HEADER, ledger_rows(result))
    _write(
        paths["bookings.csv"],
        ["date", "phase", "order_book_id", "direction", "category", "amount", "transaction_cost",
         "cash_after"],
        (
            [b.date, b.phase, b.order_book_id, b.direction.name, "+".join(c for c, _ in classify(result, b)),
             b.amount, b.transaction_cost, b.cash_after]
            for b in result.bookings
        ),
    )  # fmt: skip
    _write(
        paths["orders.csv"],
        ["date", "order_id", "order_book_id", "side", "quantity", "price", "status", "message"],
        (
            [r.date, r.order.order_id, r.order.order_book_id, r.order.side.name, r.order.quantity,
             r.order.price, r.status, r.message]
            for r in result.orders
        ),
    )  # fmt: skip
    settled = {id(m.trade): m.date for m in result.repo_maturities}
    _write(
        paths["repos.csv"],
        ["trade_date", "order_book_id", "side", "bond_id", "pledged_quantity", "rate", "haircut", "principal",
         "due_settlement_date", "actual_holding_days", "due_settlement_amount", "interest", "commission",
         "settled_on"],
        (
            [t.trading_dt.date(), t.order_book_id, t.side.name, t.bond_id, t.pledged_quantity,
             t.last_price, t.haircut, t.last_quantity, t.due_settlement_date, t.actual_holding_days,
             t.due_settlement_amount, t.due_settlement_amount - t.last_quantity, t.transaction_cost,
             settled.get(id(t))]
            for t in result.repo_trades
        ),
    )  # fmt: skip
    summary_path = out / "summary.txt"
    chart_path = out / "equity.png"
    write_chart(result, chart_path)
    paths = [paths["ledger.csv"], paths["bookings.csv"], paths["orders.csv"], paths["repos.csv"], chart_path]
    notes = getattr(result.backtest.strategy, "notes", ())
    summary_path.write_text(format_summary(summary, paths + [summary_path], notes) + "\n", encoding="utf-8")
    return paths + [summary_path]


def write_chart(result, path):
    """Equity with the coupon and principal receipts marked; cash; bond holdings and repo balances."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.dates as mdates
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    rows = ledger_rows(result)
    column = {name: i for i, name in enumerate(LEDGER_HEADER)}
    dates = [row[0] for row in rows]

    def series(name):
        return [row[column[name]] / 1e6 for row in rows]

    fig, (top, middle, bottom) = plt.subplots(
        3, 1, figsize=(12, 9), sharex=True, gridspec_kw={"height_ratios": [5, 3, 3]}, constrained_layout=True
    )
    pnl = result.final_equity - result.initial_cash
    fig.suptitle(
        f"Sample bond-and-repo backtest, {result.start_date} to {result.end_date}: "
        f"equity {result.initial_cash:,.0f} -> {result.final_equity:,.2f} yuan ({pnl:+,.2f})",
        fontsize=12,
    )

    equity = series("equity")
    top.plot(dates, equity, color="#1f4e79", linewidth=1.8, label="equity (cash + marked positions)")
    low, high = min(equity), max(equity)
    span = (high - low) or 1.0
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
        top.annotate(
            "\n".join(texts),
            xy=(day, high + (0.42 if i % 2 == 0 else 0.22) * span),
            xytext=(3, 0),
            textcoords="offset points",
            fontsize=7.5,
            color="#385723",
            ha="left",
            va="top",
        )
    top.set_ylabel("million yuan")
    top.legend(loc="lower right", fontsize=8)

    middle.step(
        dates,
        series("cash"),
        where="post",
        color="#c55a11",
        linewidth=1.0,
        label="cash at the end of the day",
    )
    liquid = [c + lent for c, lent in zip(series("cash"), series("reverse_repo_outstanding"))]
    middle.step(dates, liquid, where="post", color="#548235", linewidth=1.0, label="cash + lent overnight")
    middle.set_ylabel("million yuan")
    middle.legend(loc="upper left", fontsize=8)

    bottom.step(
        dates, series("bonds_value"), where="post", color="#1f4e79", label="bonds (marked, with receivable)"
    )
    bottom.step(dates, series("repo_outstanding"), where="post", color="#c00000", label="owed on 7-day repos")
    bottom.axhline(0, color="black", linewidth=0.6)
    bottom.set_ylabel("million yuan")
    bottom.legend(loc="center left", fontsize=8)
    bottom.xaxis.set_major_locator(mdates.MonthLocator(bymonth=(1, 3, 5, 7, 9, 11)))
    bottom.xaxis.set_major_formatter(mdates.DateFormatter("%Y-%m"))
    for axis in (top, middle, bottom):
        axis.grid(True, alpha=0.3)
        axis.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.2f}"))
    fig.savefig(path, dpi=120)
    plt.close(fig)
