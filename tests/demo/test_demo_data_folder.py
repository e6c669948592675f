"""Market data of one's own (--data DIR): every fault of a file refused with one line naming
the file, row and column, before the run; its bounds; CSV or Parquet alike; payment dates
rolled to the next session when asked."""

import csv

import pandas as pd
import pytest
from demo_helpers import run_command, write_dataset
from korvane_bond_demo import dataset


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
    code, printed, err = run_command(
        capsys, "--data", str(data), "--start", "2024-03-04", "--end", "2024-03-15",
        "--bonds", "100001.XSHG:1000", "--pledges", "100001.XSHG:0.9", "--out", str(tmp_path / "out"),
    )  # fmt: skip
    assert (code, printed) == (2, "")
    assert err == f"korvane-bond-demo: error: {message.format(d=data)}\n"
    assert not (tmp_path / "out").exists()


def test_the_first_fault_is_the_first_read(tmp_path, capsys):
    """Rows are checked as they are read: a bad cell near the top is reported even when the
    file holds worse further down (here a NUL byte), which a reader that parses the whole
    file before checking anything would report first or fail on."""
    data = write_dataset(tmp_path / "data")
    _edit("bond_prices", 1, "yield", "x")(data)
    with open(data / "bond_prices.csv", "ab") as f:
        f.write(b"100001.XSHG,2024-03-15,1\x00,0,1,0\n")
    code, _, err = run_command(capsys, "--data", str(data), "--out", str(tmp_path / "out"))
    assert (code, err) == (
        2,
        f"korvane-bond-demo: error: {data}/bond_prices.csv, line 3, column yield: not a finite number: 'x'\n",
    )  # noqa: E501


@pytest.mark.parametrize("limit", ["0.001", "0.1"])
def test_a_table_above_the_size_limit_is_refused_before_it_is_read(tmp_path, capsys, limit):
    data = write_dataset(tmp_path / "data")
    code, _, err = run_command(capsys, "--data", str(data), "--max-table-mb", limit, "--start", "2024-03-04",
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
    code, _, err = run_command(capsys, "--data", str(data), "--out", str(tmp_path / "out"))
    where = f"{data}/{looped}" if looped else f"the data folder {data}"
    message = f"{where}: cannot read it: Too many levels of symbolic links"
    assert (code, err) == (2, f"korvane-bond-demo: error: {message}\n")


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
        code, _, err = run_command(
            capsys, "--data", str(folder), *common, "--out", str(tmp_path / folder.name / "out")
        )
        assert (code, err) == (0, ""), err
    first, second = ((tmp_path / name / "out" / "ledger.csv").read_text() for name in ("csv", "parquet"))
    assert first == second


def test_payment_dates_moved_to_the_next_session_when_asked(tmp_path, capsys):
    """Vendor data often date a payment on its nominal day: 100001.XSHG's coupon on Saturday
    2024-03-09 is refused, or, with --roll-cash-flow-dates, paid on Monday 2024-03-11."""
    data = write_dataset(tmp_path / "data")
    _edit("realized_cash_flow", 1, "payment_date", "2024-03-09")(data)
    args = ["--data", str(data), "--start", "2024-03-04", "--end", "2024-03-14",
            "--bonds", "100001.XSHG:1000", "--pledges", "100001.XSHG:0.9", "--exit-days", "0",
            "--repo-tenor-days", "1", "--out", str(tmp_path / "out")]  # fmt: skip
    assert run_command(capsys, *args)[0] == 2
    code, _, err = run_command(capsys, *args, "--roll-cash-flow-dates")
    assert (code, err) == (0, "")
    ledger = pd.read_csv(tmp_path / "out" / "ledger.csv").set_index("date")
    assert ledger["coupons"][ledger["coupons"] != 0].to_dict() == {"2024-03-11": 3_000.0}
