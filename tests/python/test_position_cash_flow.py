"""Cash-flow tables: building from the client's frames, memoising, exact-date lookup."""

import datetime
import math

import numpy as np
import pandas as pd
import pytest
from korvane.const import POSITION_DIRECTION
from pelvorn import bond

from korvane_mod_bond import position as P

EXCHANGE_BOND = "019547.XSHG"
IB_BOND = "200205.IB"
LONG = POSITION_DIRECTION.LONG
day = datetime.date.fromisoformat

REAL, IMPLIED = P.CASH_FLOW_DTYPES, P.IMPLIED_CASH_FLOW_DTYPES


class Client:
    """Stands in for the data client's bond namespace and records every query."""

    def __init__(self, realized=None, implied=None, error=None):
        self.realized, self.implied, self.error, self.calls = realized or {}, implied or {}, error, []

    def realized_cash_flow(self, *args, **kwargs):
        self.calls.append(("realized_cash_flow", args, kwargs))
        if self.error:
            raise self.error
        return self.realized.get(args[0])

    def get_implied_cash_flow(self, *args, **kwargs):
        self.calls.append(("get_implied_cash_flow", args, kwargs))
        if self.error:
            raise self.error
        return self.implied.get(args[0])


@pytest.fixture
def client(monkeypatch):
    c = Client()
    monkeypatch.setattr(P, "bond", c)
    return c


def rows(table):
    return [tuple(r) for r in table.tolist()]


# --------------------------------------------------------------- building


@pytest.mark.parametrize(
    "build, delivered, expected, query",
    [
        (
            P._all_real_cash_flow,
            bond.make_realized_frame(IB_BOND, [("2024-03-01", 3.0, 0.0), ("2025-03-01", 53.0, 50.0)]),
            [(20240301, 3.0, 0.0), (20250301, 53.0, 50.0)],
            ("realized_cash_flow", (IB_BOND,), {}),
        ),
        (
            P._all_implied_cash_flow,
            bond.make_implied_frame(
                IB_BOND, [("2024-02-28", 0.0, 3.0, 0.0), ("2024-03-01", 3.0, 0.0, 100.0)]
            ),
            [(20240228, 0.0, 0.0, 3.0), (20240301, 3.0, 100.0, 0.0)],
            ("get_implied_cash_flow", (IB_BOND, 20050102, 29991231), {}),
        ),
    ],
)
def test_tables_from_the_client(client, build, delivered, expected, query):
    client.realized[IB_BOND] = client.implied[IB_BOND] = delivered
    table = build(IB_BOND)
    layout = REAL if build is P._all_real_cash_flow else IMPLIED
    assert type(table) is np.ndarray and table.dtype == np.dtype(layout)
    assert rows(table) == expected
    assert client.calls == [query]


@pytest.mark.parametrize("build", [P._all_real_cash_flow, P._all_implied_cash_flow])
def test_descending_delivery_keeps_running_sums_of_delivery_order(client, build):
    delivered = [("2026-03-01", 30.0, 30.0), ("2025-03-01", 20.0, 20.0), ("2024-03-01", 50.0, 50.0)]
    client.realized[IB_BOND] = bond.make_realized_frame(IB_BOND, delivered)
    client.implied[IB_BOND] = bond.make_implied_frame(
        IB_BOND, [(d, paid, 0.0, p) for d, paid, p in delivered]
    )
    table = build(IB_BOND)
    assert list(table[table.dtype.names[0]]) == [20240301, 20250301, 20260301]
    assert list(table["cum_principal_payment"]) == [100.0, 50.0, 30.0]
    assert list(table["cash_flow"]) == [50.0, 20.0, 30.0]


def test_equal_dates_keep_delivery_order(client, environment):
    client.realized[IB_BOND] = bond.make_realized_frame(
        IB_BOND, [("2025-03-01", 1.0, 0.0), ("2024-03-01", 2.0, 0.0), ("2025-03-01", 3.0, 0.0)]
    )
    table = P._all_real_cash_flow(IB_BOND)
    assert list(table["cash_flow"]) == [2.0, 1.0, 3.0]
    environment()
    pos = P.BondPositionWithRealizedCashFlow(EXCHANGE_BOND, LONG)
    pos._order_book_id = IB_BOND  # the lookup keys on the position's order book id
    assert pos._get_cash_flow(day("2025-03-01")) == (1.0, False)


def test_missing_numbers_count_as_nothing(client):
    nan = math.nan
    client.realized[IB_BOND] = bond.make_realized_frame(
        IB_BOND, [("2024-03-01", nan, 10.0), ("2025-03-01", 5.0, nan), ("2026-03-01", 95.0, 90.0)]
    )
    client.implied[IB_BOND] = bond.make_implied_frame(
        IB_BOND, [("2024-03-01", nan, 1.0, nan), ("2025-03-01", 2.0, nan, 40.0)]
    )
    realized = [(20240301, 0.0, 10.0), (20250301, 5.0, 10.0), (20260301, 95.0, 100.0)]
    assert rows(P._all_real_cash_flow(IB_BOND)) == realized
    assert rows(P._all_implied_cash_flow(IB_BOND)) == [(20240301, 0.0, 0.0, 1.0), (20250301, 2.0, 40.0, 0.0)]


@pytest.mark.parametrize("frame", [None, "empty"])
@pytest.mark.parametrize("build", [P._all_real_cash_flow, P._all_implied_cash_flow])
def test_no_data_is_none_and_memoised(client, build, frame):
    if frame == "empty":
        empty = bond.make_realized_frame(IB_BOND, []).iloc[:0]
        client.realized[IB_BOND] = client.implied[IB_BOND] = empty
    assert build(IB_BOND) is None
    assert build(IB_BOND) is None
    assert len(client.calls) == 1


def test_malformed_frames_raise_and_are_not_memoised(client):
    frame = bond.make_realized_frame(IB_BOND, [("2024-03-01", 1.0, 0.0)])
    client.realized[IB_BOND] = frame.drop(columns=["principal_payment"])
    with pytest.raises(KeyError, match="principal_payment"):
        P._all_real_cash_flow(IB_BOND)
    client.realized[IB_BOND] = frame
    assert rows(P._all_real_cash_flow(IB_BOND)) == [(20240301, 1.0, 0.0)]
    assert len(client.calls) == 2


def test_client_errors_propagate_and_are_not_memoised(client):
    client.error = ConnectionError("client down")
    with pytest.raises(ConnectionError, match="client down"):
        P._all_implied_cash_flow(IB_BOND)
    client.error = None
    assert P._all_implied_cash_flow(IB_BOND) is None
    assert len(client.calls) == 2


def test_dates_go_through_the_hosts_converter(client, monkeypatch):
    client.realized[IB_BOND] = bond.make_realized_frame(
        IB_BOND, [("2024-03-01", 1.0, 0.0), ("2025-03-01", 2.0, 0.0)]
    )
    seen = []

    def convert(date):
        seen.append(date)
        return 20000000 + len(seen)

    monkeypatch.setattr(P, "convert_date_to_date_int", convert)
    assert list(P._all_real_cash_flow(IB_BOND)["payment_date"]) == [20000001, 20000002]
    assert seen == [pd.Timestamp("2024-03-01"), pd.Timestamp("2025-03-01")]


def test_a_date_beyond_the_date_field_is_refused(client, monkeypatch):
    client.realized[IB_BOND] = bond.make_realized_frame(IB_BOND, [("2024-03-01", 1.0, 0.0)])
    monkeypatch.setattr(P, "convert_date_to_date_int", lambda _date: 2**31)
    with pytest.raises(OverflowError):
        P._all_real_cash_flow(IB_BOND)


# ---------------------------------------------------------------- the memo


def test_memo_serves_the_same_table_and_queries_once_per_bond(client):
    client.realized[IB_BOND] = bond.make_realized_frame(IB_BOND, [("2024-03-01", 1.0, 0.0)])
    first = P._all_real_cash_flow(IB_BOND)
    assert P._all_real_cash_flow(IB_BOND) is first
    assert P._all_real_cash_flow(EXCHANGE_BOND) is None
    assert [c[1][0] for c in client.calls] == [IB_BOND, EXCHANGE_BOND]
    assert P._all_real_cash_flow.cache_info().maxsize == 1024
    assert P._all_implied_cash_flow.cache_info().maxsize == 1024


def test_memo_drops_the_least_recently_used_bond(client):
    ids = [f"{i:06d}.IB" for i in range(1025)]
    for order_book_id in ids[:1024]:
        P._all_implied_cash_flow(order_book_id)
    P._all_implied_cash_flow(ids[0])  # now the most recently used
    P._all_implied_cash_flow(ids[1024])  # evicts ids[1]
    del client.calls[:]
    for order_book_id in (ids[0], ids[2], ids[1024], ids[1]):
        P._all_implied_cash_flow(order_book_id)
    assert [c[1][0] for c in client.calls] == [ids[1]]


# ---------------------------------------------------------------- lookups


def native(table):
    return table


def strided(table):
    wide = np.zeros(2 * len(table), dtype=table.dtype)
    wide[::2] = table
    return wide[::2]


def big_endian(table):
    return table.astype(table.dtype.newbyteorder(">"))


def reordered(table):
    names = table.dtype.names[1:] + table.dtype.names[:1]
    out = np.zeros(len(table), dtype=[(name, table.dtype[name]) for name in names])
    for name in names:
        out[name] = table[name]
    return out


def recarray(table):
    return table.view(np.recarray)


def columns(table):
    return {name: table[name].copy() for name in table.dtype.names}


def frame(table):
    return pd.DataFrame(columns(table))


TABLE_FORMS = pytest.mark.parametrize(
    "form", [native, strided, big_endian, reordered, recarray, columns, frame]
)
RECORDS = [(20240301, 3.0, 0.0), (20240923, 3.0, 0.0), (20250301, 103.0, 100.0)]


@TABLE_FORMS
@pytest.mark.parametrize(
    "on, expected",
    [
        ("2024-01-15", (0.0, False)),  # before the first record
        ("2024-03-01", (3.0, False)),
        ("2024-06-01", (0.0, False)),  # between two records
        ("2025-03-01", (103.0, True)),
        ("2025-03-02", (0.0, False)),  # after the last record
    ],
)
def test_exact_date_lookup_whatever_the_table(monkeypatch, form, on, expected, environment):
    environment()
    table = form(np.array(RECORDS, dtype=REAL))
    monkeypatch.setattr(P, "_all_real_cash_flow", lambda _order_book_id: table)
    pos = P.BondPosition(EXCHANGE_BOND, LONG, 10)
    paid, de_listed = pos._get_cash_flow(day(on))
    assert (paid, de_listed) == expected
    assert type(paid) is float and type(de_listed) is bool


@TABLE_FORMS
def test_implied_lookup_whatever_the_table(monkeypatch, form, environment):
    environment()
    table = form(np.array([(20240301, 3.0, 0.0, 0.5), (20250301, 103.0, 100.0, 1.5)], dtype=IMPLIED))
    monkeypatch.setattr(P, "_all_implied_cash_flow", lambda _order_book_id: table)
    pos = P.BondPosition(IB_BOND, LONG, 10)
    assert pos._get_day_cash_flow(day("2025-03-01")) == (103.0, 1.5, True)
    assert pos._get_day_cash_flow(day("2024-03-01")) == (3.0, 0.5, False)
    assert pos._get_day_cash_flow(day("2025-03-02")) == (0.0, 0.0, False)


class NoNumpy:
    def __getattr__(self, name):
        raise AssertionError(f"np.{name} used")


@pytest.mark.parametrize(
    "form, reads_buffer",
    [(native, True), (strided, True), (reordered, True), (big_endian, False), (recarray, False)],
)
def test_native_tables_are_read_from_their_buffer(monkeypatch, form, reads_buffer, environment):
    environment()
    table = form(np.array(RECORDS, dtype=REAL))
    monkeypatch.setattr(P, "_all_real_cash_flow", lambda _order_book_id: table)
    monkeypatch.setattr(P, "np", NoNumpy())
    pos = P.BondPosition(EXCHANGE_BOND, LONG)
    if reads_buffer:
        assert pos._get_cash_flow(day("2024-09-23")) == (3.0, False)
    else:
        with pytest.raises(AssertionError, match="np.searchsorted used"):
            pos._get_cash_flow(day("2024-09-23"))


def test_an_empty_table_has_no_record(monkeypatch, environment):
    environment()
    monkeypatch.setattr(P, "_all_real_cash_flow", lambda _order_book_id: np.zeros(0, dtype=REAL))
    assert P.BondPosition(EXCHANGE_BOND, LONG)._get_cash_flow(day("2024-03-01")) == (0.0, False)


def test_a_table_without_the_needed_field_raises(monkeypatch, environment):
    environment()
    table = np.array([(20240301, 3.0)], dtype=[("payment_date", "i4"), ("cash_flow", "f8")])
    monkeypatch.setattr(P, "_all_real_cash_flow", lambda _order_book_id: table)
    pos = P.BondPosition(EXCHANGE_BOND, LONG)
    with pytest.raises((KeyError, ValueError), match="cum_principal_payment"):
        pos._get_cash_flow(day("2024-03-01"))
    assert pos._get_cash_flow(day("2024-03-02")) == (0.0, False)
