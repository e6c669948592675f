"""Market data of one's own (--data DIR): a hand-made folder in the documented layout runs,
its figures agree with a computation by hand, a collateral shortfall is flagged, and
each fault of a file is refused with one line naming the file, row and column."""

import csv
import datetime
import json
import math

import pandas as pd
import pytest
from korvane.environment import Environment
from korvane_bond_demo import cli, dataset

D = datetime.date
# Two weeks of sessions (a weekend between), 2024-03-04 to 2024-03-15.
SESSIONS = [D(2024, 3, d) for d in (4, 5, 6, 7, 8, 11, 12, 13, 14, 15)]

INSTRUMENTS = [
    # id, type, symbol, exchange, lot, issue price, size, period, listed, maturity, coupon
    ["100001.XSHG", "BOND", "bullet", "XSHG", 10, 100.0, 1e9, "", "2020-03-07", "2027-03-07", 0.03],
    ["100002.XSHE", "BOND", "amortising", "XSHE", 10, 100.0, 1e9, "", "2021-03-11", "2026-03-11", 0.04],
    ["100003.IB", "BOND", "interbank", "IB", 10, 100.0, 1e9, "", "2020-03-06", "2028-03-06", 0.025],
    ["204001.XSHG", "REPO", "GC001", "XSHG", 1000, "", "", 1, "2006-05-08", "", ""],
    ["204007.XSHG", "REPO", "GC007", "XSHG", 1000, "", "", 7, "2006-05-08", "", ""],
    ["131810.XSHE", "REPO", "R-001", "XSHE", 1000, "", "", 1, "2006-05-08", "", ""],
    ["131801.XSHE", "REPO", "R-007", "XSHE", 1000, "", "", 7, "2006-05-08", "", ""],
]
REALIZED = [
    # the bullet bond pays its 3.00 coupon on 2024-03-07; the amortising one 50 of its
    # principal and a 4.00 coupon on 2024-03-11, leaving 50 per 100 face
    ["100001.XSHG", "2023-03-07", 3.0, 0.0, 3.0, 100.0],
    ["100001.XSHG", "2024-03-07", 3.0, 0.0, 3.0, 100.0],
    ["100001.XSHG", "2025-03-07", 3.0, 0.0, 3.0, 100.0],
    ["100001.XSHG", "2027-03-08", 103.0, 100.0, 3.0, 0.0],
    ["100002.XSHE", "2023-03-13", 4.0, 0.0, 4.0, 100.0],
    ["100002.XSHE", "2024-03-11", 54.0, 50.0, 4.0, 50.0],
    ["100002.XSHE", "2025-03-11", 52.0, 50.0, 2.0, 0.0],
    ["100003.IB", "2024-03-06", 2.5, 0.0, 2.5, 100.0],
    ["100003.IB", "2025-03-06", 2.5, 0.0, 2.5, 100.0],
    ["100003.IB", "2028-03-06", 102.5, 100.0, 2.5, 0.0],
]
IMPLIED = [
    ["100003.IB", "2024-03-06", 2.5, 0.0, 0.0, 2.5],
    ["100003.IB", "2024-03-29", 0.0, 0.15753424657534246, 0.0, 0.0],
]


def _prices():
    rows = []
    for i, day in enumerate(SESSIONS):
        # bullet: clean 100.50 falling by 0.01 a session; accrued 0.3 before its coupon, 0 after
        accrued = 0.3 if day < D(2024, 3, 7) else 0.0
        clean = round(100.5 - 0.01 * i, 4)
        rows.append(["100001.XSHG", day.isoformat(), clean, accrued, round(clean + accrued, 10), 0.029])
        # amortising: 100.0 of 100 face before its instalment, 50.0 after (a flat price)
        full = 100.0 if day < D(2024, 3, 11) else 50.0
        rows.append(["100002.XSHE", day.isoformat(), full, 0.0, full, 0.04])
        accrued = 0.01 * (day - D(2024, 3, 6)).days if day >= D(2024, 3, 6) else 0.0
        rows.append(["100003.IB", day.isoformat(), 99.0, round(accrued, 6), round(99.0 + accrued, 6), 0.0265])
    return rows


def _rates():
    rows = []
    for day in SESSIONS:
        for repo, rate in (("204001.XSHG", 0.018), ("204007.XSHG", 0.02), ("131810.XSHE", 0.0185),
                           ("131801.XSHE", 0.0205)):  # fmt: skip
            rows.append([repo, day.isoformat(), rate])
    return rows


TABLES = {
    "instruments": [name for name, _ in dataset.LAYOUT["instruments"]],
    "realized_cash_flow": [name for name, _ in dataset.LAYOUT["realized_cash_flow"]],
    "implied_cash_flow": [name for name, _ in dataset.LAYOUT["implied_cash_flow"]],
    "bond_prices": [name for name, _ in dataset.LAYOUT["bond_prices"]],
    "repo_rates": [name for name, _ in dataset.LAYOUT["repo_rates"]],
    "sessions": ["date"],
}


def write_dataset(folder):
    folder.mkdir(parents=True, exist_ok=True)
    contents = {
        "instruments": INSTRUMENTS,
        "realized_cash_flow": REALIZED,
        "implied_cash_flow": IMPLIED,
        "bond_prices": _prices(),
        "repo_rates": _rates(),
        "sessions": [[day.isoformat()] for day in SESSIONS],
    }
    for name, rows in contents.items():
        with open(folder / f"{name}.csv", "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f, lineterminator="\n")
            writer.writerow(TABLES[name])
            writer.writerows(rows)
    return folder


@pytest.fixture(autouse=True)
def _clean():
    yield
    Environment.clear_instance()
    from pelvorn import bond

    bond.reset()


def _run(capsys, *args):
    code = cli.main([*args, "--no-progress"])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def test_a_hand_made_folder_runs_and_its_figures_are_checked_by_hand(tmp_path, capsys):
    data = write_dataset(tmp_path / "data")
    out = tmp_path / "out"
    code, printed, err = _run(
        capsys, "--data", str(data), "--start", "2024-03-04", "--end", "2024-03-14", "--cash", "1000000",
        "--bonds", "100001.XSHG:1000+100002.XSHE:1000", "--pledges", "100001.XSHG:0.9",
        "--no-lend-overnight", "--exit-days", "0", "--repo-tenor-days", "1", "--out", str(out),
    )  # fmt: skip
    assert (code, err) == (0, ""), err
    assert "reconciled" in printed
    ledger = pd.read_csv(out / "ledger.csv", parse_dates=["date"]).set_index("date")
    # By hand: both bonds bought on 03-04 at their full price (100.80 and 100.00), 0.002 %
    # commission each; the bullet bond's coupon, 3.00 a bond, on 03-07; the amortising
    # one's 4.00 and 50.00 of principal on 03-11; every session the bullet bond pledged
    # overnight for 90 % of its face, 90,000 yuan at 1.8 %: repaid eight times over ten
    # calendar days (three over the weekend), the ninth still open at the end.
    bought = 1000 * 100.8 + 1000 * 100.0
    assert ledger["bond_purchases"].sum() == pytest.approx(-bought, abs=1e-9)
    assert ledger["coupons"].sum() == pytest.approx(1000 * 3.0 + 1000 * 4.0, abs=1e-9)
    assert ledger["principal"].sum() == pytest.approx(1000 * 50.0, abs=1e-9)
    repos = pd.read_csv(out / "repos.csv")
    assert set(repos["principal"]) == {90_000.0} and len(repos) == 9
    repaid = repos[repos["repaid_on"].notna()]
    assert repaid["holding_days"].sum() == 10
    interest = 90_000 * 0.018 * 10 / 365
    assert repaid["interest"].sum() == pytest.approx(interest, abs=1e-9)
    final_bonds = 1000 * (100.5 - 0.08) + 1000 * 50.0
    assert ledger["bonds_value"].iloc[-1] == pytest.approx(final_bonds, abs=1e-6)
    commissions = 1000 * 100.8 * 0.00002 + 1000 * 100.0 * 0.00002 + repos["commission"].sum()
    assert -ledger["commissions"].sum() == pytest.approx(commissions, abs=1e-9)
    stats = json.loads((out / "stats.json").read_text(encoding="utf-8"))
    expected = 1_000_000 - bought + 7_000 + 50_000 + final_bonds - interest - commissions
    assert stats["final_equity"] == pytest.approx(expected, abs=1e-6)
    assert stats["collateral_shortfalls"] == []  # the pledged bond is a bullet


def test_a_repo_over_an_amortisation_date_is_flagged_short_of_collateral(tmp_path, capsys):
    data = write_dataset(tmp_path / "data")
    out = tmp_path / "out"
    code, printed, err = _run(
        capsys, "--data", str(data), "--start", "2024-03-04", "--end", "2024-03-15",
        "--bonds", "100002.XSHE:1000+100003.IB:1000", "--pledges", "100002.XSHE:0.7",
        "--exit-days", "5", "--out", str(out),
    )  # fmt: skip
    assert (code, err) == (0, ""), err
    stats = json.loads((out / "stats.json").read_text(encoding="utf-8"))
    # a 7-day repo of 03-04 lends 70 % of 100,000 face; on 03-11 the face halves
    (flagged,) = stats["collateral_shortfalls"]
    assert flagged["trade_date"] == "2024-03-04" and flagged["bond"] == "100002.XSHE"
    assert (flagged["principal"], flagged["face_value_at_open"]) == (70_000.0, 100_000.0)
    assert (flagged["face_value_low"], flagged["low_from"]) == (50_000.0, "2024-03-11")
    assert flagged["shortfall"] == pytest.approx(70_000 - 50_000 * 0.7)
    assert "collateral short: 1 repo lent more than the lent share" in printed
    repos = pd.read_csv(out / "repos.csv")
    first = repos[repos["trade_date"] == "2024-03-04"].iloc[0]
    assert first["collateral_shortfall"] == pytest.approx(35_000.0)
    page = (out / "report.html").read_text(encoding="utf-8")
    assert 'id="shortfalls"' in page and "35,000.00" in page
    # the inter-bank bond, valued on implied cash flows, is bought after its coupon of 03-06
    orders = pd.read_csv(out / "orders.csv")
    assert orders[orders["order_book_id"] == "100003.IB"]["date"].iloc[0] == "2024-03-07"


def test_parquet_files_give_the_same_run_as_csv(tmp_path, capsys):
    pytest.importorskip("pyarrow")
    data = write_dataset(tmp_path / "csv")
    parquet = tmp_path / "parquet"
    parquet.mkdir()
    for path in data.glob("*.csv"):
        frame = pd.read_csv(path, dtype={"order_book_id": str})
        frame.to_parquet(parquet / f"{path.stem}.parquet")
    common = ["--start", "2024-03-04", "--end", "2024-03-15", "--bonds", "100001.XSHG:1000",
              "--pledges", "100001.XSHG:0.9", "--exit-days", "1", "--repo-tenor-days", "1"]  # fmt: skip
    for folder in (data, parquet):
        code, _, err = _run(
            capsys, "--data", str(folder), *common, "--out", str(tmp_path / folder.name / "out")
        )
        assert (code, err) == (0, ""), err
    first, second = ((tmp_path / name / "out" / "ledger.csv").read_text() for name in ("csv", "parquet"))
    assert first == second


def _edit(name, row, column, value):
    """Set one cell of a table (row 0 is the first data row)."""

    def edit(folder):
        path = folder / f"{name}.csv"
        with open(path, newline="", encoding="utf-8") as f:
            rows = list(csv.reader(f))
        rows[1 + row][rows[0].index(column)] = value
        with open(path, "w", newline="", encoding="utf-8") as f:
            csv.writer(f, lineterminator="\n").writerows(rows)

    return edit


def _append(name, cells):
    def edit(folder):
        with open(folder / f"{name}.csv", "a", newline="", encoding="utf-8") as f:
            csv.writer(f, lineterminator="\n").writerow(cells)

    return edit


def _remove(name):
    return lambda folder: (folder / f"{name}.csv").unlink()


def _edits(*edits):
    def edit(folder):
        for one in edits:
            one(folder)

    return edit


def _bytes(name, old, new):
    """Replace the first ``old`` bytes of a table's file by ``new``."""

    def edit(folder):
        path = folder / f"{name}.csv"
        content = path.read_bytes()
        assert old in content
        path.write_bytes(content.replace(old, new, 1))

    return edit


NOT_A_SESSION = ": nothing is paid or booked on it (--roll-cash-flow-dates moves it to the next session)"


@pytest.mark.parametrize(
    "edit, message",
    [
        (_remove("sessions"), "{d}: no sessions.csv (or sessions.parquet)"),
        (_edit("bond_prices", 4, "full_price", "abc"), "{d}/bond_prices.csv, line 6, column full_price: not a positive finite number: 'abc'"),  # noqa: E501
        (_edit("bond_prices", 0, "clean_price", "-1"), "{d}/bond_prices.csv, line 2, column clean_price: not a positive finite number: '-1'"),  # noqa: E501
        (_edit("bond_prices", 2, "yield", "nan"), "{d}/bond_prices.csv, line 4, column yield: not a finite number: 'nan'"),  # noqa: E501
        (_edit("bond_prices", 1, "date", "2024-03-09"), "{d}/bond_prices.csv, line 3, column date: 2024-03-09 is not a session of sessions.csv"),  # noqa: E501
        (_edit("bond_prices", 1, "date", "04/03/2024"), "{d}/bond_prices.csv, line 3, column date: not a date (YYYY-MM-DD): '04/03/2024'"),  # noqa: E501
        (_edit("bond_prices", 3, "order_book_id", "204001.XSHG"), "{d}/bond_prices.csv, line 5, column order_book_id: 204001.XSHG is not a bond of instruments.csv"),  # noqa: E501
        (_append("bond_prices", ["100001.XSHG", "2024-03-04", 100, 0, 100, 0.03]), "{d}/bond_prices.csv, line 32, column date: 100001.XSHG 2024-03-04 again (first at line 2)"),  # noqa: E501
        (_edit("repo_rates", 0, "rate", "1.8"), "{d}/repo_rates.csv, line 2, column rate: above 1 (rates are decimals, 0.018 is 1.8 %): 1.8"),  # noqa: E501
        (_edit("repo_rates", 0, "order_book_id", "100001.XSHG"), "{d}/repo_rates.csv, line 2, column order_book_id: 100001.XSHG is not a repo of instruments.csv"),  # noqa: E501
        (_edit("instruments", 0, "type", "STOCK"), "{d}/instruments.csv, line 2, column type: not BOND or REPO: 'STOCK'"),  # noqa: E501
        (_edit("instruments", 1, "round_lot", "0"), "{d}/instruments.csv, line 3, column round_lot: not a whole number of at least 1: '0'"),  # noqa: E501
        (_edit("instruments", 0, "maturity_date", ""), "{d}/instruments.csv, line 2, column maturity_date: empty: a bond needs one"),  # noqa: E501
        (_edit("instruments", 3, "exchange", "IB"), "{d}/instruments.csv, line 5, column exchange: a repo's exchange is one of XSHG, XSHE, got 'IB'"),  # noqa: E501
        (_edit("realized_cash_flow", 5, "remaining_principal", "150"), "{d}/realized_cash_flow.csv, line 7, column remaining_principal: above 100 (amounts are per 100 face): 150.0"),  # noqa: E501
        (_edit("realized_cash_flow", 0, "cash_flow", ""), "{d}/realized_cash_flow.csv, line 2, column cash_flow: empty"),  # noqa: E501
        (_remove("implied_cash_flow"), "{d}/instruments.csv, line 4, column order_book_id: inter-bank bond 100003.IB has no row in implied_cash_flow (no such file)"),  # noqa: E501
        (_edit("sessions", 3, "date", "2024-03-05"), "{d}/sessions.csv, line 5, column date: 2024-03-05 does not follow 2024-03-06"),  # noqa: E501
        (lambda folder: (folder / "sessions.parquet").write_bytes(b"x"), "{d}: both sessions.csv and sessions.parquet; keep one"),  # noqa: E501
        (lambda folder: (folder / "repo_rates.csv").write_text("id,day\n"), "{d}/repo_rates.csv: no column order_book_id, date, rate (the columns are id, day)"),  # noqa: E501
        (lambda folder: (folder / "repo_rates.csv").write_bytes(b"\xff\xfe"), "{d}/repo_rates.csv, line 1: not UTF-8 text"),  # noqa: E501
        (_bytes("bond_prices", b",0.029\n", b",0.0\xe929\n"), "{d}/bond_prices.csv, line 2, column yield: not UTF-8 text"),  # noqa: E501
        # a NUL byte in a cell, which pandas' reader once took for the cell's end
        (_bytes("bond_prices", b",100.8,", b",1\x00100.8,"), "{d}/bond_prices.csv, line 2, column full_price: a NUL byte: not a text table"),  # noqa: E501
        # the data agree with themselves
        (_edit("realized_cash_flow", 1, "payment_date", "2024-03-09"), "{d}/realized_cash_flow.csv, line 3, column payment_date: 2024-03-09 is not a session of sessions.csv" + NOT_A_SESSION),  # noqa: E501
        (_edit("implied_cash_flow", 1, "date", "2024-03-09"), "{d}/implied_cash_flow.csv, line 3, column date: 2024-03-09 is not a session of sessions.csv" + NOT_A_SESSION),  # noqa: E501
        (_edit("realized_cash_flow", 5, "cash_flow", "55"), "{d}/realized_cash_flow.csv, line 7, column cash_flow: 55.0 is not the principal plus the interest, 50.0 + 4.0"),  # noqa: E501
        (_edits(_edit("realized_cash_flow", 6, "principal_payment", "80"), _edit("realized_cash_flow", 6, "cash_flow", "82")), "{d}/realized_cash_flow.csv, line 8, column principal_payment: the principal repaid adds up to 130.0, above the face of 100"),  # noqa: E501
        (_edit("realized_cash_flow", 6, "remaining_principal", "60"), "{d}/realized_cash_flow.csv, line 8, column remaining_principal: rises from 50.0 (line 7) to 60.0"),  # noqa: E501
        (_edit("realized_cash_flow", 5, "remaining_principal", "40"), "{d}/realized_cash_flow.csv, line 7, column remaining_principal: 40.0 is not 100 less the principal repaid up to this payment, 50.0"),  # noqa: E501
        (_append("realized_cash_flow", ["100002.XSHE", "2026-03-11", 2, 0, 2, 0]), "{d}/realized_cash_flow.csv, line 12, column payment_date: a payment after the bond was repaid in full (line 8)"),  # noqa: E501
        (_edit("bond_prices", 0, "full_price", "100.9"), "{d}/bond_prices.csv, line 2, column full_price: 100.9 is not the clean price plus the accrued interest, 100.5 + 0.3 (within 0.0005)"),  # noqa: E501
        (_append("implied_cash_flow", ["100003.IB", "2024-02-29", 0, 1.0, 0, 0]), "{d}/implied_cash_flow.csv, line 2, column payment_receivable: the period's receivables (line 4 to here) add up to 1.0, not its payment of 2.5"),  # noqa: E501
        (_edit("implied_cash_flow", 0, "total_payment", "2.6"), "{d}/implied_cash_flow.csv, line 2, column total_payment: 2.6, where {d}/realized_cash_flow.csv, line 9, column cash_flow has 2.5 for the same day"),  # noqa: E501
        (_edit("implied_cash_flow", 0, "date", "2024-03-05"), "{d}/implied_cash_flow.csv, line 2, column total_payment: 100003.IB pays nothing on 2024-03-05 in realized_cash_flow.csv"),  # noqa: E501
        (_edit("realized_cash_flow", 7, "payment_date", "2024-03-05"), "{d}/implied_cash_flow.csv, line 2, column total_payment: 100003.IB pays nothing on 2024-03-06 in realized_cash_flow.csv"),  # noqa: E501
        # what the run cannot represent
        (_edit("realized_cash_flow", 3, "payment_date", "2300-03-08"), "{d}/realized_cash_flow.csv, line 5, column payment_date: 2300-03-08 is outside the dates the run can represent, 1900-01-01 to 2199-12-31"),  # noqa: E501
        (_edit("bond_prices", 3, "date", "1650-03-04"), "{d}/bond_prices.csv, line 5, column date: 1650-03-04 is outside the dates the run can represent, 1900-01-01 to 2199-12-31"),  # noqa: E501
        (_edit("instruments", 0, "round_lot", "1e20"), "{d}/instruments.csv, line 2, column round_lot: '1e20' is larger than the run can represent (9,007,199,254,740,992 at most)"),  # noqa: E501
        (_edit("bond_prices", 0, "clean_price", "1e300"), "{d}/bond_prices.csv, line 2, column clean_price: '1e300' is larger than the run can represent (1e+15 at most)"),  # noqa: E501
        (_edit("instruments", 3, "repo_period", "400"), "{d}/instruments.csv, line 5, column repo_period: a repo runs at most 365 days here, got 400"),  # noqa: E501
        (lambda folder: (folder / "bond_prices.csv").write_text("order_book_id,date\n100001.XSHG\n"), "{d}/bond_prices.csv: no column clean_price, accrued_interest, full_price, yield (the columns are order_book_id, date)"),  # noqa: E501
        (_append("bond_prices", ["100001.XSHG", "2024-03-05"]), "{d}/bond_prices.csv, line 32: 2 cells, the header names 6"),  # noqa: E501
    ],
)  # fmt: skip
def test_each_fault_of_a_data_file_is_one_line_before_the_run(tmp_path, capsys, edit, message):
    data = write_dataset(tmp_path / "data")
    edit(data)
    code, printed, err = _run(capsys, "--data", str(data), "--start", "2024-03-04", "--end", "2024-03-15",
                              "--bonds", "100001.XSHG:1000", "--pledges", "100001.XSHG:0.9",
                              "--out", str(tmp_path / "out"))  # fmt: skip
    assert (code, printed) == (2, "")
    assert err == f"korvane-bond-demo: error: {message.format(d=data)}\n"
    assert not (tmp_path / "out").exists()


def test_the_bundled_data_are_one_instance_of_the_layout():
    bundled = dataset.bundled()
    assert bundled.folder == dataset.bundled_folder()
    assert sorted(p.name for p in bundled.folder.glob("*.csv")) == sorted(
        f"{name}.csv" for name in dataset.LAYOUT
    )
    assert (bundled.first_date, bundled.last_date) == (D(2023, 1, 3), D(2025, 12, 31))
    assert math.isclose(
        bundled.bond_quote("019547.XSHG", D(2024, 1, 2)).full, 101.5477442623, rel_tol=0, abs_tol=1e-9
    )


def test_the_first_fault_is_the_first_read(tmp_path, capsys):
    """Rows are checked as they are read: a bad cell near the top is reported even when the
    file holds worse further down (here a NUL byte), which a reader that parses the whole
    file before checking anything would report first or fail on."""
    data = write_dataset(tmp_path / "data")
    _edit("bond_prices", 1, "yield", "x")(data)
    with open(data / "bond_prices.csv", "ab") as f:
        f.write(b"100001.XSHG,2024-03-15,1\x00,0,1,0\n")
    code, _, err = _run(capsys, "--data", str(data), "--out", str(tmp_path / "out"))
    assert (code, err) == (
        2,
        f"korvane-bond-demo: error: {data}/bond_prices.csv, line 3, column yield: not a finite number: 'x'\n",
    )  # noqa: E501


@pytest.mark.parametrize("limit", ["0.001", "0.1"])
def test_a_table_above_the_size_limit_is_refused_before_it_is_read(tmp_path, capsys, limit):
    data = write_dataset(tmp_path / "data")
    code, _, err = _run(capsys, "--data", str(data), "--max-table-mb", limit, "--start", "2024-03-04",
                        "--end", "2024-03-15", "--bonds", "100001.XSHG:1000", "--pledges", "100001.XSHG:0.9",
                        "--out", str(tmp_path / "out"))  # fmt: skip
    order = ("sessions", "instruments", "realized_cash_flow", "implied_cash_flow", "bond_prices")
    sizes = {name: (data / f"{name}.csv").stat().st_size for name in order}
    if limit == "0.1":  # 100,000 bytes: every table fits
        assert max(sizes.values()) < 100_000 and (code, err) == (0, "")
        return
    name = next(name for name in order if sizes[name] > 1_000)  # the tables are read in this order
    message = f"{data}/{name}.csv: {sizes[name]:,} bytes, above the limit of 1,000 for a table"
    assert (code, err) == (
        2,
        f"korvane-bond-demo: error: {message} (max_table_mb, --max-table-mb, raises it)\n",
    )


@pytest.mark.parametrize("looped", ["bond_prices.csv", ""], ids=["table", "folder"])
def test_a_loop_of_links_is_named_as_such(tmp_path, capsys, looped):
    data = write_dataset(tmp_path / "data")
    if looped:
        (data / looped).unlink()
    else:
        data = tmp_path / "loop"
    (data / looped).symlink_to(data / looped)
    code, _, err = _run(capsys, "--data", str(data), "--out", str(tmp_path / "out"))
    where = f"{data}/{looped}" if looped else f"the data folder {data}"
    message = f"{where}: cannot read it: Too many levels of symbolic links"
    assert (code, err) == (2, f"korvane-bond-demo: error: {message}\n")


def test_payment_dates_moved_to_the_next_session_when_asked(tmp_path, capsys):
    """Vendor data often date a payment on its nominal day: 100001.XSHG's coupon on Saturday
    2024-03-09 is refused, or, with --roll-cash-flow-dates, paid on Monday 2024-03-11."""
    data = write_dataset(tmp_path / "data")
    _edit("realized_cash_flow", 1, "payment_date", "2024-03-09")(data)
    args = ["--data", str(data), "--start", "2024-03-04", "--end", "2024-03-14",
            "--bonds", "100001.XSHG:1000", "--pledges", "100001.XSHG:0.9", "--exit-days", "0",
            "--repo-tenor-days", "1", "--out", str(tmp_path / "out")]  # fmt: skip
    assert _run(capsys, *args)[0] == 2
    code, _, err = _run(capsys, *args, "--roll-cash-flow-dates")
    assert (code, err) == (0, "")
    ledger = pd.read_csv(tmp_path / "out" / "ledger.csv").set_index("date")
    assert ledger["coupons"][ledger["coupons"] != 0].to_dict() == {"2024-03-11": 3_000.0}


def test_a_bond_without_a_quote_is_valued_at_its_last_full_price(tmp_path, capsys):
    data = write_dataset(tmp_path / "data")
    path = data / "bond_prices.csv"
    lines = path.read_text(encoding="utf-8").splitlines(keepends=True)
    path.write_text("".join(line for line in lines if not line.startswith("100001.XSHG,2024-03-12")))
    code, _, err = _run(capsys, "--data", str(data), "--start", "2024-03-04", "--end", "2024-03-14",
                        "--bonds", "100001.XSHG:1000", "--pledges", "100001.XSHG:0.9", "--exit-days", "0",
                        "--repo-tenor-days", "1", "--out", str(tmp_path / "out"))  # fmt: skip
    assert (code, err) == (0, "")
    ledger = pd.read_csv(tmp_path / "out" / "ledger.csv").set_index("date")
    # clean 100.50 less 0.01 a session, no accrued interest after the coupon of 03-07
    assert ledger["bonds_value"]["2024-03-11"] == pytest.approx(1000 * 100.45, abs=1e-9)
    assert ledger["bonds_value"]["2024-03-12"] == ledger["bonds_value"]["2024-03-11"]
    assert ledger["bonds_value"]["2024-03-13"] == pytest.approx(1000 * 100.43, abs=1e-9)


def test_a_parquet_text_cell_with_a_nul_character_is_refused(tmp_path):
    pytest.importorskip("pyarrow")
    data = write_dataset(tmp_path / "data")
    frame = pd.read_csv(data / "repo_rates.csv", dtype=str)
    frame.loc[2, "order_book_id"] = "204001\x00.XSHG"
    (data / "repo_rates.csv").unlink()
    frame.to_parquet(data / "repo_rates.parquet")
    with pytest.raises(dataset.DataError) as caught:
        dataset.load(data)
    assert (
        str(caught.value)
        == f"{data}/repo_rates.parquet, row 3, column order_book_id: a NUL character in '204001\\x00.XSHG'"
    )  # noqa: E501
