"""Cash-flow tables from a bond's terms (`korvane-bond-demo tables`): each bond against
QuantLib's own bond of the same terms built here, the implied table's conventions, the
bundled data as the command writes them, and each fault of a terms file."""

import collections
import csv
import datetime

import pytest
from korvane_bond_demo import bond_tables, cli, terms
from korvane_bond_demo.dataset import bundled_folder

ql = pytest.importorskip("QuantLib")
D = datetime.date
SSE = ql.China(ql.China.SSE)
HEADER = ["order_book_id", "coupon_rate", "frequency", "day_count", "issue_date", "maturity_date",
          "amortisation", "issue_price"]  # fmt: skip
# The bundled bonds, one row each, as their issuers publish their terms.
BUNDLED_TERMS = [
    ["019547.XSHG", "0.027", "1", "ACT/ACT", "2016-11-17", "2026-11-17", "", ""],
    ["127001.XSHE", "0.045", "1", "", "2021-03-15", "2026-03-15",
     "2024-03-15:30 2025-03-15:30 2026-03-15:40", ""],
    ["200205.IB", "0.0296", "1", "ACT/ACT", "2020-04-09", "2025-04-09", "", ""],
    ["240001.IB", "0", "", "", "2024-01-15", "2025-01-15", "", "98.5"],
]  # fmt: skip


def qd(day):
    return ql.Date(day.day, day.month, day.year)


def pd_(date):
    return D(date.year(), date.month(), date.dayOfMonth())


def schedule(issue, maturity, frequency):
    return ql.Schedule(qd(issue), qd(maturity), ql.Period(frequency), SSE, ql.Unadjusted, ql.Unadjusted,
                       ql.DateGeneration.Backward, False)  # fmt: skip


# (terms, QuantLib's day count of them); each a bullet bond
BULLETS = [
    (terms.BondTerms("a.IB", D(2020, 4, 9), D(2025, 4, 9), 0.0296), "ACT/ACT"),
    (terms.BondTerms("b.XSHG", D(2019, 8, 31), D(2024, 2, 29), 0.031, 2), "ACT/ACT"),  # month-end dates
    (terms.BondTerms("c.XSHE", D(2021, 1, 10), D(2023, 10, 10), 0.04, 4, "ACT/365"), "ACT/365"),
    (terms.BondTerms("d.IB", D(2022, 5, 15), D(2027, 2, 15), 0.025, 2, "30/360"), "30/360"),  # short first
    (terms.BondTerms("e.IB", D(2023, 1, 20), D(2024, 1, 20), 0.024, 12, "ACT/360"), "ACT/360"),
]


def quantlib_bullet(described, day_count):
    s = schedule(described.issue_date, described.maturity_date, terms.FREQUENCIES[described.frequency])
    counter = {
        "ACT/ACT": ql.ActualActual(ql.ActualActual.ISMA, s),
        "ACT/365": ql.Actual365Fixed(),
        "ACT/360": ql.Actual360(),
        "30/360": ql.Thirty360(ql.Thirty360.BondBasis),
    }[day_count]
    return ql.FixedRateBond(0, 100.0, s, [described.coupon_rate], counter, ql.Following, 100.0,
                            qd(described.issue_date), SSE)  # fmt: skip


def flows(instrument):
    """Payment date -> (total, principal) of a QuantLib bond."""
    found = collections.defaultdict(lambda: [0.0, 0.0])
    for cf in instrument.cashflows():
        entry = found[pd_(cf.date())]
        entry[0] += cf.amount()
        if ql.as_coupon(cf) is None:
            entry[1] += cf.amount()
    return dict(found)


@pytest.mark.parametrize("described, day_count", BULLETS, ids=[t.order_book_id for t, _ in BULLETS])
def test_a_bullet_bond_pays_and_accrues_as_quantlibs_fixed_rate_bond(described, day_count):
    bond = bond_tables.Bond(described)
    reference = quantlib_bullet(described, day_count)
    expected = flows(reference)
    rows = bond.realized_rows()
    assert [row["payment_date"] for row in rows] == sorted(expected)
    for row in rows:
        total, principal = expected[row["payment_date"]]
        assert row["cash_flow"] == pytest.approx(total, abs=1e-9)
        assert row["principal_payment"] == pytest.approx(principal, abs=1e-9)
        assert SSE.isBusinessDay(qd(row["payment_date"]))
    assert rows[-1]["remaining_principal"] == 0 and {r["remaining_principal"] for r in rows[:-1]} == {100.0}
    accrued = {row["date"]: row["accrued_interest"] for row in bond.accrued_rows()}
    assert accrued and all(SSE.isBusinessDay(qd(day)) for day in accrued)
    for day, amount in accrued.items():
        assert amount == pytest.approx(reference.accruedAmount(qd(day)), abs=1e-9), day


def test_an_amortising_bond_pays_and_accrues_as_quantlibs_amortizing_fixed_rate_bond():
    reference = amortising_reference()
    bond = bond_tables.Bond(AMORTISING)
    expected = flows(reference)
    rows = bond.realized_rows()
    assert [row["payment_date"] for row in rows] == sorted(expected)
    for row in rows:
        assert (row["cash_flow"], row["principal_payment"]) == pytest.approx(expected[row["payment_date"]])
    assert [row["remaining_principal"] for row in rows] == [100.0, 100.0, 70.0, 40.0, 0.0]
    # 2025-03-15 is a Saturday: the instalment and the coupon on 70 of face are paid on Monday
    assert (rows[3]["payment_date"], rows[3]["cash_flow"]) == (D(2025, 3, 17), pytest.approx(30 + 3.15))
    for row in bond.accrued_rows():  # per 100 of original face: QuantLib's is per 100 of current face
        day = qd(row["date"])
        assert row["accrued_interest"] == pytest.approx(
            reference.accruedAmount(day) * reference.notional(day) / 100.0, abs=1e-9
        ), row["date"]


def test_a_discount_bond_repays_its_face_and_accrues_its_discount_evenly():
    bond = bond_tables.Bond(DISCOUNT)
    (row,) = bond.realized_rows()
    assert (row["payment_date"], row["cash_flow"], row["principal_payment"]) == (D(2025, 1, 15), 100.0, 100.0)
    accrued = {r["date"]: r["accrued_interest"] for r in bond.accrued_rows()}
    assert accrued[D(2024, 7, 15)] == pytest.approx(1.5 * 182 / 366, abs=1e-10)
    assert max(accrued) == D(2025, 1, 14)


AMORTISING = terms.BondTerms(
    "127001.XSHE", D(2021, 3, 15), D(2026, 3, 15), 0.045,
    amortisation=((D(2024, 3, 15), 30.0), (D(2025, 3, 15), 30.0), (D(2026, 3, 15), 40.0)),
)  # fmt: skip
DISCOUNT = terms.BondTerms("240001.IB", D(2024, 1, 15), D(2025, 1, 15), 0.0, 0, issue_price=98.5)


def amortising_reference():
    s = schedule(D(2021, 3, 15), D(2026, 3, 15), ql.Annual)
    return ql.AmortizingFixedRateBond(0, [100.0, 100.0, 100.0, 70.0, 40.0], s, [0.045],
                                      ql.ActualActual(ql.ActualActual.ISMA, s), ql.Following,
                                      qd(D(2021, 3, 15)))  # fmt: skip


def reference_accrued(described):
    """The interest accrued on a day per 100 of original face, by QuantLib's own bond of the
    terms (a discount bond: its discount, evenly over the calendar days)."""
    if described is DISCOUNT:
        return lambda day: 1.5 * (day - D(2024, 1, 15)).days / 366
    if described is AMORTISING:
        reference = amortising_reference()
        return lambda day: reference.accruedAmount(qd(day)) * reference.notional(qd(day)) / 100.0
    reference = quantlib_bullet(described, described.day_count)
    return lambda day: reference.accruedAmount(qd(day))


@pytest.mark.parametrize(
    "described", [t for t, _ in BULLETS] + [AMORTISING, DISCOUNT], ids=lambda t: t.order_book_id
)
def test_the_implied_table_follows_its_conventions(described):
    """Records on sessions: one on each month's last session and one on the session before
    each payment; up to a month-end record the receivables add up to the interest accrued
    that day, over a period to its payment, the payment date's own being the principal
    repaid."""
    bond = bond_tables.Bond(described)
    accrued = reference_accrued(described)
    sessions = bond.sessions()
    month_ends = {(d.year, d.month): d for d in sessions}
    rows = bond.implied_rows()
    assert all(SSE.isBusinessDay(qd(row["date"])) for row in rows)
    paid = {row["payment_date"]: row for row in bond.realized_rows()}
    start, booked = 0, 0.0
    for i, row in enumerate(rows):
        day = row["date"]
        if day not in paid:
            booked += row["payment_receivable"]
            if rows[i + 1]["date"] not in paid:  # a month-end: what has accrued by its end
                assert booked == pytest.approx(accrued(day), abs=1e-9), day
            continue
        payment = paid[day]
        assert (row["total_payment"], row["principal_payment"]) == (
            payment["cash_flow"],
            payment["principal_payment"],
        )
        # the principal repaid; a discount bond's is its issue price, its discount having accrued
        principal = described.issue_price if described.discount else payment["principal_payment"]
        assert row["payment_receivable"] == pytest.approx(principal, abs=1e-9)
        assert booked + row["payment_receivable"] == pytest.approx(payment["cash_flow"], abs=1e-9)
        before = [d for d in sessions if d < day]
        after = rows[start - 1]["date"] if start else described.issue_date
        wanted = sorted({month_ends[(d.year, d.month)] for d in before if d > after} | {before[-1]})
        assert [r["date"] for r in rows[start:i]] == [d for d in wanted if after < d < day]
        start, booked = i + 1, 0.0


def write_terms(path, rows):
    """The rows under the header as a CSV file, joined by hand: no cell holds a comma, a
    quote or a line break, and one holds a NUL byte, which Python 3.10's csv writer
    refuses to write."""
    path.write_text("".join(",".join(row) + "\n" for row in [HEADER, *rows]), encoding="utf-8")
    return path


def read(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def test_the_command_writes_the_bundled_cash_flows(tmp_path, capsys):
    """The bundled tables are what `korvane-bond-demo tables` writes from the bonds' terms,
    to the last digit (tools/make_sample_data.py writes them through it); the quotes'
    accrued interest is the command's."""
    terms_file = write_terms(tmp_path / "terms.csv", BUNDLED_TERMS)
    out = tmp_path / "tables"
    assert cli.main(["tables", str(terms_file), "--out", str(out)]) == 0
    assert capsys.readouterr().out.split() == [str(out / name) for name in
                                               ("realized_cash_flow.csv", "implied_cash_flow.csv",
                                                "accrued_interest.csv")]  # fmt: skip
    assert read(out / "realized_cash_flow.csv") == read(bundled_folder() / "realized_cash_flow.csv")
    implied = [r for r in read(out / "implied_cash_flow.csv") if r["order_book_id"].endswith(".IB")]
    assert implied == read(bundled_folder() / "implied_cash_flow.csv")  # the inter-bank bonds' only
    accrued = {
        (r["order_book_id"], r["date"]): float(r["accrued_interest"])
        for r in read(out / "accrued_interest.csv")
    }
    quotes = read(bundled_folder() / "bond_prices.csv")
    assert len(quotes) > 2000
    for quote in quotes:
        assert float(quote["accrued_interest"]) == accrued[(quote["order_book_id"], quote["date"])]


GOOD = ["x.IB", "0.03", "1", "ACT/ACT", "2020-01-15", "2025-01-15", "", ""]


def _with(**cells):
    row = list(GOOD)
    for name, value in cells.items():
        row[HEADER.index(name)] = value
    return row


@pytest.mark.parametrize(
    "rows, message",
    [
        ([_with(coupon_rate="3")], "line 2, column coupon_rate: not a yearly rate from 0 to below 1: 3.0"),
        ([_with(coupon_rate="abc")], "line 2, column coupon_rate: not a finite number: 'abc'"),
        ([_with(frequency="3")], "line 2, column frequency: coupons a year are 1, 2, 4 or 12, got 3"),
        ([_with(day_count="ACT/999")], "line 2, column day_count: one of ACT/ACT, ACT/365, ACT/360, 30/360, got 'ACT/999'"),  # noqa: E501
        ([_with(maturity_date="2019-01-15")], "line 2, column maturity_date: 2019-01-15 is not after the issue, 2020-01-15"),  # noqa: E501
        ([_with(maturity_date="2300-01-15")], "line 2, column maturity_date: 2300-01-15 is outside the dates the run can represent, 1900-01-01 to 2199-12-31"),  # noqa: E501
        ([_with(amortisation="2023-01-15:50 2025-01-15:40")], "line 2, column amortisation: the instalments add up to 90.0, not 100"),  # noqa: E501
        ([_with(amortisation="2023-01-16:50 2025-01-15:50")], "line 2, column amortisation: an instalment on 2023-01-16, which is not a coupon date"),  # noqa: E501
        ([_with(amortisation="2023-01-15=50")], "line 2, column amortisation: write DATE:PRINCIPAL DATE:PRINCIPAL ..., got '2023-01-15=50'"),  # noqa: E501
        ([_with(coupon_rate="0", issue_price="98")], "line 2, column frequency: a discount bond (coupon rate 0) pays no coupon: 1"),  # noqa: E501
        ([_with(coupon_rate="0", frequency="", issue_price="")], "line 2, column issue_price: a discount bond is issued below 100, above 0: 100.0"),  # noqa: E501
        ([_with(issue_price="99")], "line 2, column issue_price: a coupon bond is issued at 100 here (issue_price is a discount bond's): 99.0"),  # noqa: E501
        ([GOOD, GOOD], "line 3, column order_book_id: x.IB again (first at line 2)"),
        ([_with(coupon_rate="0.0\x003")], "line 2, column coupon_rate: a NUL byte: not a text table"),
    ],
)  # fmt: skip
def test_each_fault_of_a_terms_file_is_one_line(tmp_path, capsys, rows, message):
    path = write_terms(tmp_path / "terms.csv", rows)
    assert cli.main(["tables", str(path), "--out", str(tmp_path / "out")]) == 2
    captured = capsys.readouterr()
    assert (captured.out, captured.err) == ("", f"korvane-bond-demo: error: {path}, {message}\n")
    assert not (tmp_path / "out").exists()
