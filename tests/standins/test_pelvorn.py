import numpy as np
import pandas as pd
import pytest
from pelvorn import bond

REALIZED = ["cash_flow", "principal_payment"]
IMPLIED = ["total_payment", "payment_receivable", "principal_payment"]


@pytest.mark.parametrize(
    "query, date_level, columns",
    [
        (lambda i: bond.realized_cash_flow(i), "payment_date", REALIZED),
        (lambda i: bond.get_implied_cash_flow(i, 20050102, 29991231), "date", IMPLIED),
    ],
)
@pytest.mark.parametrize("order_book_id", ["200205.IB", "240001.IB"])
def test_frame_shapes(query, date_level, columns, order_book_id):
    frame = query(order_book_id)
    assert list(frame.index.names) == ["order_book_id", date_level]
    assert set(columns) <= set(frame.columns)
    assert not frame.empty
    dates = frame.index.get_level_values(date_level)
    assert isinstance(dates[0], pd.Timestamp)
    assert dates.is_monotonic_increasing
    assert (frame.index.get_level_values("order_book_id") == order_book_id).all()
    # the whole principal is repaid by the last row
    assert frame["principal_payment"].sum() == pytest.approx(100.0)


@pytest.mark.parametrize("order_book_id", ["019547.XSHG", "127001.XSHE"])
def test_exchange_bonds_have_realized_flows_only(order_book_id):
    assert bond.realized_cash_flow(order_book_id) is not None
    assert bond.get_implied_cash_flow(order_book_id, 20050102, 29991231) is None


def test_unknown_bond_gives_none():
    assert bond.realized_cash_flow("000000.XSHG") is None
    assert bond.get_implied_cash_flow("000000.IB", 20050102, 29991231) is None


def test_amortising_bond_pays_principal_in_instalments():
    frame = bond.realized_cash_flow("127001.XSHE")
    assert frame["principal_payment"].tolist() == [0, 0, 30, 30, 40]
    assert np.allclose(frame["cash_flow"], frame["principal_payment"] + frame["interest_payment"])


def test_implied_receivable_accrues_before_each_payment():
    frame = bond.get_implied_cash_flow("200205.IB", 20050102, 29991231).droplevel(0)
    period = frame.loc["2023-04-11":"2024-04-09"]
    accruals = period.iloc[:-1]
    assert len(accruals) == 13 and (accruals["total_payment"] == 0).all()
    assert accruals["payment_receivable"].sum() == pytest.approx(2.96, abs=1e-9)
    payment = period.iloc[-1]
    assert (payment.name, payment["total_payment"], payment["payment_receivable"]) == (
        pd.Timestamp("2024-04-09"),
        2.96,
        0.0,
    )
    # over the life of the bond everything paid has first become receivable
    assert frame["payment_receivable"].sum() == pytest.approx(frame["total_payment"].sum(), abs=1e-9)


@pytest.mark.parametrize("start, end", [(20240301, 20240410), ("2024-03-01", "2024-04-10")])
def test_date_range_is_inclusive(start, end):
    frame = bond.get_implied_cash_flow("200205.IB", start, end)
    dates = frame.index.get_level_values("date")
    assert (dates.min(), dates.max()) == (pd.Timestamp("2024-03-29"), pd.Timestamp("2024-04-09"))
    assert bond.realized_cash_flow("200205.IB", 20240409, 20240409)["cash_flow"].tolist() == [2.96]


def test_set_frames_overrides_verbatim_and_reset_restores():
    custom = bond.make_realized_frame("200205.IB", [("2024-05-01", 1.5, 0.0), ("2024-01-01", 1.5, 100.0)])
    bond.set_frames(realized={"200205.IB": custom}, implied={"200205.IB": None})
    assert bond.realized_cash_flow("200205.IB") is custom  # order kept, not filtered
    assert bond.get_implied_cash_flow("200205.IB", 20050102, 29991231) is None
    assert [name for name, _ in bond.calls] == ["realized_cash_flow", "get_implied_cash_flow"]
    assert bond.calls[1][1] == ("200205.IB", 20050102, 29991231)
    bond.reset()
    assert bond.calls == []
    assert len(bond.realized_cash_flow("200205.IB")) == 5


def test_frame_builders_check_rows():
    frame = bond.make_implied_frame("X.IB", [("2024-01-02", 0, 1.5, 0)])
    assert list(frame.columns) == IMPLIED and frame.index.names == ["order_book_id", "date"]
    with pytest.raises(ValueError, match="each row needs"):
        bond.make_realized_frame("X.IB", [("2024-01-02", 1.0)])
    with pytest.raises(TypeError):
        bond.set_frames(realized={"X.IB": [1, 2]})


def test_instrument_info():
    info = bond.instrument_info("240001.IB")
    assert (info["type"], info["issue_price"], info["exchange"], info["round_lot"]) == (
        "BOND",
        98.5,
        "IB",
        10,
    )
    assert "repo_period" not in info
    assert bond.instrument_info("204007.XSHG")["repo_period"] == 7
    assert bond.instrument_info("nope") is None


def test_a_source_of_ones_own_replaces_the_bundled_tables_until_reset():
    instruments = bond.all_instruments().loc[["019547.XSHG"]].copy()
    instruments.loc["019547.XSHG", "symbol"] = "own"
    realized = bond.make_realized_frame("019547.XSHG", [("2024-11-18", 2.7, 0.0), ("2025-11-17", 2.7, 0.0)])
    try:
        bond.set_source(instruments=instruments, realized=realized)
        assert bond.instrument_info("019547.XSHG")["symbol"] == "own"
        assert bond.instrument_info("127001.XSHE") is None  # the whole table is replaced
        frame = bond.realized_cash_flow("019547.XSHG", 20250101, 20251231)
        assert list(frame["cash_flow"]) == [2.7] and len(frame) == 1  # filtered as the bundled data
        assert bond.get_implied_cash_flow("200205.IB") is not None  # no implied table given: the bundled one
        with pytest.raises(TypeError, match="the realized table must be a DataFrame or None"):
            bond.set_source(realized=[1, 2])
    finally:
        bond.reset()
    assert bond.instrument_info("019547.XSHG")["symbol"] == "16附息国债47"
