"""``korvane-bond-demo tables TERMS.csv --out DIR``: a data folder's cash-flow tables from bond terms.

Each row of the terms file describes one bond (:class:`korvane_bond_demo.terms.BondTerms`);
the command writes, into the output folder, ``realized_cash_flow.csv`` and
``implied_cash_flow.csv`` in the layout of ``--data DIR``, and ``accrued_interest.csv``,
the accrued interest per 100 face on every session of each bond's life (the column a
``bond_prices`` table needs beside the clean price). A fault of the terms file is one line
naming the file, line and column, and status 2; the three files are written under
temporary names and renamed into place together.
"""

import argparse
import re

from korvane_bond_demo import command

TERMS_COLUMNS = (
    ("order_book_id", "id"),
    ("coupon_rate", "number"),
    ("frequency", "count?"),
    ("day_count", "text?"),
    ("issue_date", "date"),
    ("maturity_date", "date"),
    ("amortisation", "text?"),
    ("issue_price", "number?"),
)
OUTPUTS = ("realized_cash_flow.csv", "implied_cash_flow.csv", "accrued_interest.csv")
MAX_TERMS_BYTES = 16_000_000  # a bond a row: tens of thousands of bonds
ACCRUED_COLUMNS = ("order_book_id", "date", "accrued_interest")
_INSTALMENT = re.compile(r"^(\d{4}-\d{2}-\d{2}):([^:]+)$")


def parser():
    made = command.Parser(
        prog=f"{command.PROG} tables",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Write a bond's two cash-flow tables and its accrued interest from its terms, with\n"
            "QuantLib, on the exchange's calendar (QuantLib's China SSE). TERMS is a CSV file,\n"
            "one bond a row, with the columns:\n\n"
            "  order_book_id   the bond's id\n"
            "  coupon_rate     yearly, a decimal (0.027 is 2.7 %); 0 for a discount bond\n"
            "  frequency       coupons a year: 1, 2, 4 or 12 (0 or empty for a discount bond)\n"
            "  day_count       ACT/ACT (the default), ACT/365, ACT/360 or 30/360\n"
            "  issue_date      interest accrues from it\n"
            "  maturity_date   the end of the last coupon period, unadjusted\n"
            "  amortisation    principal repaid per 100 face on unadjusted coupon dates, adding\n"
            "                  up to 100: 2024-03-15:30 2025-03-15:30 2026-03-15:40\n"
            "                  (empty: 100 at maturity)\n"
            "  issue_price     a discount bond's price at issue (empty for a coupon bond)\n\n"
            "Coupon dates are unadjusted, payments move to the next session. Floating coupons\n"
            "are not covered."
        ),
        epilog=(
            "outputs, in the --out folder:\n"
            "  realized_cash_flow.csv   each payment on its payment date\n"
            "  implied_cash_flow.csv    the same money accrued month by month\n"
            "  accrued_interest.csv     the accrued interest per 100 face on every session"
        ),
    )
    made.add_argument("terms", metavar="TERMS", help="the bonds' terms, a CSV file")
    made.add_argument("--out", required=True, metavar="DIR", help="the folder to write the tables into")
    return made


def read_terms(path):
    """The :class:`~korvane_bond_demo.bond_tables.Bond` of each row of the CSV file ``path`` (at
    most :data:`MAX_TERMS_BYTES`); :class:`~korvane_bond_demo.reader.layout.DataError` naming the
    file, line and column."""
    import os
    import stat

    from korvane_bond_demo import bond_tables, terms
    from korvane_bond_demo.reader import files
    from korvane_bond_demo.reader.layout import DataError

    try:
        info = os.stat(path)
    except OSError as error:
        raise DataError(f"{path}: cannot read it: {error.strerror or error}") from None
    if not stat.S_ISREG(info.st_mode):
        raise DataError(f"{path}: not a regular file")
    limit = MAX_TERMS_BYTES
    files.size_limit(path, info.st_size, limit, "a terms file")
    found, seen = [], {}

    def check(table, i):
        row = table.row(i)
        obid = row["order_book_id"]
        if obid in seen:
            raise table.fault(i, "order_book_id", f"{obid} again (first at line {table.places[seen[obid]]})")
        seen[obid] = i
        try:
            described = terms.BondTerms(
                order_book_id=obid,
                issue_date=row["issue_date"],
                maturity_date=row["maturity_date"],
                coupon_rate=row["coupon_rate"],
                frequency=row["frequency"] or 0,
                day_count=row["day_count"] or terms.DEFAULT_DAY_COUNT,
                amortisation=_instalments(table, i, row["amortisation"]),
                issue_price=terms.FACE if row["issue_price"] is None else row["issue_price"],
            )
            found.append(bond_tables.Bond(described))
        except terms.TermsError as error:
            raise table.fault(i, error.column, str(error)) from None
        except RuntimeError as error:  # QuantLib's own refusal
            message = " ".join(str(error).split())
            raise table.fault(
                i, "order_book_id", f"QuantLib makes no bond of these terms: {message}"
            ) from None

    try:
        files.read_csv(path, TERMS_COLUMNS, limit, check)
    except OSError as error:
        raise DataError(f"{path}: cannot read it: {error.strerror or error}") from None
    if not found:
        raise DataError(f"{path}: no bond")
    return found


def _instalments(table, i, text):
    import datetime

    if text is None:
        return ()
    found = []
    for item in text.replace(";", " ").split():
        match = _INSTALMENT.match(item)
        try:
            day = datetime.date.fromisoformat(match.group(1)) if match else None
            amount = float(match.group(2)) if match else None
        except ValueError:
            day = None
        if day is None:
            raise table.fault(i, "amortisation", f"write DATE:PRINCIPAL DATE:PRINCIPAL ..., got {item!r}")
        found.append((day, amount))
    return tuple(found)


def tables(bonds):
    """(realized rows, implied rows, accrued rows) of ``bonds``, each a
    :class:`~korvane_bond_demo.bond_tables.Bond`."""
    realized, implied, accrued = [], [], []
    for bond in bonds:
        sessions = bond.sessions()
        realized += bond.realized_rows()
        implied += bond.implied_rows(sessions)
        accrued += bond.accrued_rows(sessions)
    return realized, implied, accrued


def write_tables(bonds, out):
    """Write the three tables of ``bonds`` into the folder ``out`` (checked beforehand),
    renamed into place together; returns their paths."""
    from korvane_bond_demo.files import staged
    from korvane_bond_demo.reader.layout import columns
    from korvane_bond_demo.tables import write_csv

    realized, implied, accrued = tables(bonds)
    contents = {
        "realized_cash_flow.csv": (columns("realized_cash_flow"), realized),
        "implied_cash_flow.csv": (columns("implied_cash_flow"), implied),
        "accrued_interest.csv": (list(ACCRUED_COLUMNS), accrued),
    }
    with staged(out) as staging:
        for name, (header, rows) in contents.items():
            write_csv(staging.path(name), header, ([row[c] for c in header] for row in rows))
    return [out / name for name in OUTPUTS]


def body(argv):
    args = parser().parse_args(argv)
    from korvane_bond_demo.files import check_output_folder

    try:
        bonds = read_terms(args.terms)
        out = check_output_folder(args.out, OUTPUTS)
        paths = write_tables(bonds, out)
    except ValueError as error:
        return command.error(error)
    except OSError as error:
        return command.error(f"cannot write the tables into {args.out}: {error.strerror or error}")
    for path in paths:
        print(path)
    return command.OK
