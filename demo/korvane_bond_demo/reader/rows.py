"""The checks of each row of a folder's tables, as it is read, against the tables read
before it: sessions in order, instruments each once and complete, every dated row on a
session (a cash-flow date within the sessions too, unless it is to be rolled to the
next one), every id an instrument of the right type, a payment its principal plus its
interest, a full price its clean price plus its accrued interest, a rate a decimal."""

from korvane_bond_demo.reader.layout import (
    AMOUNT_TOLERANCE,
    BOND,
    BOND_EXCHANGES,
    FACE,
    MAX_RATE,
    MAX_REPO_PERIOD,
    PRICE_TOLERANCE,
    REPO,
    REPO_EXCHANGES,
    DataError,
)


class RowChecks:
    """What the rows read so far tell about the next ones, and a check for each table's
    rows; ``roll``: a cash-flow date within the sessions that is none is to be rolled to
    the next session rather than refused."""

    def __init__(self, roll):
        self.roll = roll
        self.tables = {}  # name -> Table, as each is read
        self.instrument_rows = {}  # order book id -> its row of instruments
        self.kinds = {}  # order book id -> BOND or REPO
        self.session_set = frozenset()
        self.first = self.last = None  # the first and last session, as day ordinals

    @staticmethod
    def session(table, i):
        dates = table.columns["date"]
        if i and dates[i] <= dates[i - 1]:
            raise table.fault(
                i, "date", f"{table.value('date', i)} does not follow {table.value('date', i - 1)}"
            )

    def keep_sessions(self):
        """Once the sessions are read: what the other tables' rows are checked against."""
        table = self.tables["sessions"]
        if not len(table):
            raise DataError(f"{table.path}: no session")
        self.session_set = frozenset(table.columns["date"])
        self.first, self.last = table.columns["date"][0], table.columns["date"][-1]

    def instrument(self, table, i):
        obid = table.columns["order_book_id"][i]
        if obid in self.instrument_rows:
            first = table.places[self.instrument_rows[obid]]
            raise table.fault(i, "order_book_id", f"{obid} again (first at {table.row_word} {first})")
        self.instrument_rows[obid] = i
        row = table.row(i)
        kind, exchange = row["type"], row["exchange"]
        if kind not in (BOND, REPO):
            raise table.fault(i, "type", f"not BOND or REPO: {kind!r}")
        allowed = BOND_EXCHANGES if kind == BOND else REPO_EXCHANGES
        if exchange not in allowed:
            raise table.fault(
                i, "exchange", f"a {kind.lower()}'s exchange is one of {', '.join(allowed)}, got {exchange!r}"
            )
        needed = ("issue_price", "listed_date", "maturity_date") if kind == BOND else ("repo_period",)
        for name in needed:
            if row[name] is None:
                raise table.fault(i, name, f"empty: a {kind.lower()} needs one")
        if kind == BOND and not row["issue_price"] > 0:
            raise table.fault(i, "issue_price", f"not a positive price: {row['issue_price']!r}")
        if kind == BOND and row["maturity_date"] < row["listed_date"]:
            raise table.fault(
                i, "maturity_date", f"{row['maturity_date']} is before the listing, {row['listed_date']}"
            )
        if kind == REPO and row["repo_period"] > MAX_REPO_PERIOD:
            raise table.fault(
                i,
                "repo_period",
                f"a repo runs at most {MAX_REPO_PERIOD} days here, got {row['repo_period']:,}",
            )
        self.kinds[obid] = kind

    def _id(self, table, i, wanted):
        obid = table.columns["order_book_id"][i]
        if self.kinds.get(obid) != wanted:
            what = "a bond" if wanted == BOND else "a repo"
            name = self.tables["instruments"].path.name
            raise table.fault(i, "order_book_id", f"{obid} is not {what} of {name}")

    def _on_session(self, table, i, column, cash_flow=False):
        ordinal = table.columns[column][i]
        if ordinal in self.session_set:
            return
        if cash_flow and (self.roll or not self.first <= ordinal <= self.last):
            return  # moved to the next session; or outside the sessions, never reached
        name = self.tables["sessions"].path.name
        message = f"{table.value(column, i)} is not a session of {name}"
        if cash_flow:
            message += (
                ": nothing is paid or booked on it (--roll-cash-flow-dates moves it to the next session)"
            )
        raise table.fault(i, column, message)

    def payment(self, table, i):
        self._id(table, i, BOND)
        self._on_session(table, i, "payment_date", cash_flow=True)
        columns = table.columns
        cash, principal = columns["cash_flow"][i], columns["principal_payment"][i]
        interest = columns["interest_payment"][i]
        if abs(cash - (principal + interest)) > AMOUNT_TOLERANCE:
            raise table.fault(
                i,
                "cash_flow",
                f"{cash!r} is not the principal plus the interest, {principal!r} + {interest!r}",
            )
        if columns["remaining_principal"][i] > FACE:
            raise table.fault(
                i,
                "remaining_principal",
                f"above 100 (amounts are per 100 face): {columns['remaining_principal'][i]!r}",
            )

    def implied_record(self, table, i):
        self._id(table, i, BOND)
        self._on_session(table, i, "date", cash_flow=True)

    def quote(self, table, i):
        self._id(table, i, BOND)
        self._on_session(table, i, "date")
        columns = table.columns
        clean, accrued, full = (
            columns["clean_price"][i],
            columns["accrued_interest"][i],
            columns["full_price"][i],
        )
        if abs(full - (clean + accrued)) > PRICE_TOLERANCE:
            raise table.fault(
                i,
                "full_price",
                f"{full!r} is not the clean price plus the accrued interest, {clean!r} + {accrued!r} "
                f"(within {PRICE_TOLERANCE:g})",
            )

    def rate(self, table, i):
        self._id(table, i, REPO)
        self._on_session(table, i, "date")
        rate = table.columns["rate"][i]
        if rate > MAX_RATE:
            raise table.fault(i, "rate", f"above {MAX_RATE:g} (rates are decimals, 0.018 is 1.8 %): {rate!r}")
