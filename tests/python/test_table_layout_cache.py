"""The day lookup remembers where a table's fields lie, per dtype: what it
remembers must never outlive a change of the dtype, and many tables must
neither confuse it nor pile up in it."""

import datetime
import gc
import sys

import numpy as np
import pytest
from korvane.const import POSITION_DIRECTION

from korvane_mod_bond import position as P

EXCHANGE_BOND = "019547.XSHG"
IB_BOND = "200205.IB"
LONG = POSITION_DIRECTION.LONG
day = datetime.date.fromisoformat

REAL, IMPLIED = P.CASH_FLOW_DTYPES, P.IMPLIED_CASH_FLOW_DTYPES


def serve(monkeypatch, name, tables):
    monkeypatch.setattr(P, name, lambda _order_book_id: tables[0])


def test_renamed_fields_are_seen(monkeypatch, environment):
    environment()
    tables = [np.array([(20240301, 3.0, 0.0), (20250301, 103.0, 100.0)], dtype=REAL)]
    serve(monkeypatch, "_all_real_cash_flow", tables)
    pos = P.BondPosition(EXCHANGE_BOND, LONG, 10)
    assert pos._get_cash_flow(day("2024-03-01")) == (3.0, False)
    # The same dtype object, its fields renamed: the date field is gone.
    tables[0].dtype.names = ("when", "cash_flow", "cum_principal_payment")
    with pytest.raises((KeyError, ValueError), match="payment_date"):
        pos._get_cash_flow(day("2024-03-01"))
    tables[0].dtype.names = ("payment_date", "cum_principal_payment", "cash_flow")  # two swapped
    assert pos._get_cash_flow(day("2025-03-01")) == (100.0, True)


def test_the_same_buffer_read_through_another_dtype(monkeypatch, environment):
    environment()
    table = np.array([(20240301, 3.0, 0.0, 0.5), (20250301, 103.0, 100.0, 1.5)], dtype=IMPLIED)
    tables = [table]
    serve(monkeypatch, "_all_implied_cash_flow", tables)
    pos = P.BondPosition(IB_BOND, LONG, 10)
    assert pos._get_day_cash_flow(day("2025-03-01")) == (103.0, 1.5, True)
    swapped = [("date", "i4"), ("payment_receivable", "f8"), ("cum_principal_payment", "f8")]
    swapped.append(("cash_flow", "f8"))
    table = table.view(swapped)  # the same buffer, read through other field names
    tables[0] = table
    assert pos._get_day_cash_flow(day("2025-03-01")) == (1.5, 103.0, True)
    tables[0] = table.view(np.dtype(IMPLIED).newbyteorder(">"))  # no longer native: NumPy's own lookup
    assert pos._get_day_cash_flow(day("2025-03-01"))[0] != 103.0


def test_many_tables_each_read_right_and_none_kept(monkeypatch, environment):
    environment()
    tables = [None]
    serve(monkeypatch, "_all_real_cash_flow", tables)
    pos = P.BondPosition(EXCHANGE_BOND, LONG, 10)
    # More distinct dtypes than the lookup keeps at once, alive together...
    alive = [np.array([(20240301, float(i), 0.0)], dtype=REAL) for i in range(9000)]
    for i, table in enumerate(alive):
        tables[0] = table
        assert pos._get_cash_flow(day("2024-03-01")) == (float(i), False)
    # ...and one after the other, each dropped once read. The field dictionary
    # of the first such table is watched: a reference to its dtype would keep
    # the dtype alive in the eyes of the lookup.
    tables[0] = np.array([(20240301, -1.0, 0.0)], dtype=REAL)
    assert pos._get_cash_flow(day("2024-03-01")) == (-1.0, False)
    (fields,) = gc.get_referents(tables[0].dtype.fields)
    del alive
    for i in range(20000):
        tables[0] = np.array([(20240301, float(i), 0.0)], dtype=REAL)
        assert pos._get_cash_flow(day("2024-03-01")) == (float(i), False)
    gc.collect()
    assert sys.getrefcount(fields) == 2  # the dtype and the lookup let go of it
