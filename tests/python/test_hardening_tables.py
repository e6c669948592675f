"""The table builders against what Python hands back to them: a rebound `np`
or `pandas.isna` whose results are short, strided, read-only or change while
they are read, and amount columns holding times. Each must end in a Python
exception, never in memory read or written out of bounds."""

import contextlib
import datetime

import numpy as np
import pandas as pd
import pytest
from pelvorn import bond

from korvane_mod_bond import position as P

BOND = "200205.IB"
ROWS = [("2024-03-01", 1.0, 0.0), ("2024-09-01", 2.0, 0.0), ("2025-03-01", 3.0, 100.0)]


class Client:
    def __init__(self, frame):
        self.frame = frame

    def realized_cash_flow(self, order_book_id):  # noqa: ARG002 (the data client's signature)
        return self.frame

    def get_implied_cash_flow(self, order_book_id, start, end):  # noqa: ARG002 (the data client's signature)
        return self.frame


@contextlib.contextmanager
def serving(frame, np_module=None):
    saved_bond, saved_np = P.bond, P.np
    P.bond = Client(frame)
    if np_module is not None:
        P.np = np_module
    P._all_real_cash_flow.cache_clear()
    try:
        yield
    finally:
        P.bond, P.np = saved_bond, saved_np
        P._all_real_cash_flow.cache_clear()


class Numpy:
    """NumPy with some functions replaced, as a user rebinding the module's `np` may."""

    def __init__(self, **replaced):
        self.replaced = replaced

    def __getattr__(self, name):
        return self.replaced.get(name, getattr(np, name))


def realized(rows=ROWS):
    return bond.make_realized_frame(BOND, rows)


@pytest.mark.parametrize(
    "empty",
    [
        pytest.param(lambda n, dtype: np.empty(n - 1, dtype), id="fewer records"),
        pytest.param(lambda n, dtype: np.empty(2 * n, dtype)[::2], id="strided"),
        pytest.param(lambda n, dtype: np.empty(n, dtype).reshape(n, 1), id="two dimensions"),
        pytest.param(
            lambda n, dtype: np.lib.stride_tricks.as_strided(np.empty(1, dtype), (n,), (0,)),
            id="one record n times",
        ),
        pytest.param(lambda n, dtype: np.frombuffer(bytes(np.empty(n, dtype).nbytes), dtype), id="read-only"),
        pytest.param(lambda n, dtype: np.empty(n, [("payment_date", "i4")]), id="fields missing"),  # noqa: ARG005 (the data client's signature)
    ],
)
def test_a_table_that_cannot_take_the_records_raises(empty):
    with serving(realized(), Numpy(empty=empty)):
        with pytest.raises((ValueError, TypeError)):
            P._all_real_cash_flow(BOND)
        assert P._all_real_cash_flow.cache_info().currsize == 0


@pytest.mark.parametrize(
    "contiguous",
    [
        pytest.param(lambda a, dtype: np.ascontiguousarray(a, dtype=dtype)[:-1], id="short"),
        pytest.param(lambda a, dtype: np.repeat(np.ascontiguousarray(a, dtype=dtype), 2)[::2], id="strided"),
        pytest.param(
            lambda a, dtype: np.ascontiguousarray(a, dtype=dtype).reshape(1, -1), id="two dimensions"
        ),
    ],
)
def test_a_converted_column_is_checked_again(contiguous):
    with serving(realized(), Numpy(ascontiguousarray=contiguous)):
        try:
            table = P._all_real_cash_flow(BOND)
        except ValueError as error:
            assert "cash_flow" in str(error) or "principal_payment" in str(error)
        else:  # a strided result is read as the values it holds
            assert table["cash_flow"].tolist() == [1.0, 2.0, 3.0]


class Shrinking:
    """A missing-value flag whose truth test empties the list holding it."""

    def __init__(self, holder):
        self.holder = holder

    def __bool__(self):
        self.holder.clear()
        return False


class FlagList(list):
    def tolist(self):
        return self


def test_missing_flags_that_change_while_read_cannot_reach_past_them(monkeypatch):
    frame = realized()
    frame["cash_flow"] = frame["cash_flow"].astype(object)

    def isna(values):
        flags = FlagList()
        flags.extend(Shrinking(flags) for _ in range(len(values)))
        return flags

    monkeypatch.setattr(pd, "isna", isna)
    with serving(frame):
        table = P._all_real_cash_flow(BOND)
    assert table["cash_flow"].tolist() == [1.0, 2.0, 3.0]


def test_missing_flags_of_the_wrong_length_raise(monkeypatch):
    frame = realized()
    frame["cash_flow"] = frame["cash_flow"].astype(object)
    monkeypatch.setattr(pd, "isna", lambda values: FlagList([False]))  # noqa: ARG005 (the data client's signature)
    with serving(frame), pytest.raises(ValueError, match="'cash_flow'"):
        P._all_real_cash_flow(BOND)


TIMES = [
    pytest.param(np.timedelta64(5, "ns"), id="ns duration"),
    pytest.param(np.timedelta64(5, "D"), id="day duration"),
    pytest.param(np.timedelta64("NaT", "ns"), id="duration NaT"),
    pytest.param(np.datetime64("NaT", "ns"), id="datetime64 NaT"),
    pytest.param(np.datetime64("2024-01-01"), id="datetime64"),
    pytest.param(pd.NaT, id="pandas NaT"),
    pytest.param(pd.Timedelta(days=1), id="pandas Timedelta"),
    pytest.param(datetime.timedelta(days=1), id="timedelta"),
    pytest.param(datetime.date(2024, 1, 1), id="date"),
]


@pytest.mark.parametrize("value", TIMES)
@pytest.mark.parametrize("column", ["cash_flow", "principal_payment"])
def test_a_time_in_an_object_amount_column_is_refused(column, value):
    frame = realized()
    frame[column] = pd.Series([1.0, value, 2.0], index=frame.index, dtype=object)
    with serving(frame), pytest.raises(TypeError, match="cash-flow column '{}' holds ".format(column)):
        P._all_real_cash_flow(BOND)
    assert P._all_real_cash_flow.cache_info().currsize == 0


@pytest.mark.parametrize(
    "values",
    [
        pytest.param(pd.to_timedelta([1, 2, 3], unit="D"), id="timedelta64"),
        pytest.param(pd.to_timedelta([1, None, 3], unit="ns"), id="timedelta64 with NaT"),
        pytest.param(pd.to_datetime(["2024-01-01", None, "2024-01-03"]), id="datetime64 with NaT"),
    ],
)
def test_a_time_typed_amount_column_is_refused(values):
    frame = realized()
    frame["cash_flow"] = np.asarray(values)
    with serving(frame), pytest.raises(TypeError, match="cash-flow column 'cash_flow' holds "):
        P._all_real_cash_flow(BOND)
