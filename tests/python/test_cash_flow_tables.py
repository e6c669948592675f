"""Cash-flow tables: the two layouts; the builders, from the client's frames, against
a plain NumPy model of their rules on random frames and against what Python hands
back to them; the memos and the package's way to clear them; and the exact-date
lookup, whatever the table, with the layouts it remembers per dtype.

The rules modelled: dates through the host's converter; a missing amount (NaN, None,
pandas' NA) is 0.0 in the table and counts as 0 in the running principal sum; the sum
runs in delivery order; then a stable sort by date, so records of equal dates keep
their delivery order. The random frames are any the market-data client might really
send: any row count, duplicate, descending or shuffled dates, NaN, huge values,
integer, float, nullable and object columns, extra columns, several index layouts.
Malformed frames must raise and leave nothing in the memo; whatever Python hands the
builders (a rebound `np` or `pandas.isna` whose results are short, strided, read-only
or change while they are read) must end in a Python exception, never in memory read
or written out of bounds.
"""

import contextlib
import datetime
import gc
import math
import sys

import numpy as np
import pandas as pd
import pytest
from compiled_helpers import EXCHANGE_BOND, IB_BOND, LONG, day, environment, run_python
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from korvane.utils.datetime_func import convert_date_to_date_int
from pelvorn import bond

from korvane_mod_bond import clear_cash_flow_memos
from korvane_mod_bond import position as P

REAL, IMPLIED = P.CASH_FLOW_DTYPES, P.IMPLIED_CASH_FLOW_DTYPES
BOND = IB_BOND
KINDS = {
    "realized": dict(
        build=lambda: P._all_real_cash_flow,
        layout=P.CASH_FLOW_DTYPES,
        level="payment_date",
        amounts={"cash_flow": "cash_flow"},
        principal="principal_payment",
    ),
    "implied": dict(
        build=lambda: P._all_implied_cash_flow,
        layout=P.IMPLIED_CASH_FLOW_DTYPES,
        level="date",
        amounts={"cash_flow": "total_payment", "payment_receivable": "payment_receivable"},
        principal="principal_payment",
    ),
}


class Client:
    """Stands in for the data client's bond namespace: frames by order book id, an
    error raised when given, and every query recorded."""

    def __init__(self, realized=None, implied=None, error=None):
        self.realized, self.implied, self.error, self.calls = realized or {}, implied or {}, error, []

    def serve(self, frame):
        """Serves `frame` as both kinds' frame of BOND."""
        self.realized[BOND] = self.implied[BOND] = frame

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


@contextlib.contextmanager
def serving(frame, np_module=None):
    """A client serving `frame` for BOND (and `np_module` as the module's NumPy), with
    empty memos, for the examples of a property test (which a fixture would not reset)."""
    saved_bond, saved_np = P.bond, P.np
    P.bond = client = Client()
    client.serve(frame)
    if np_module is not None:
        P.np = np_module
    clear_cash_flow_memos()
    try:
        yield client
    finally:
        P.bond, P.np = saved_bond, saved_np
        clear_cash_flow_memos()


def rows(table):
    return [tuple(r) for r in table.tolist()]


# ---------------------------------------------------------------- layouts


def test_layouts_are_plain_lists():
    assert P.CASH_FLOW_DTYPES == [
        ("payment_date", "i4"),
        ("cash_flow", "f8"),
        ("cum_principal_payment", "f8"),
    ]
    assert P.IMPLIED_CASH_FLOW_DTYPES == [
        ("date", "i4"),
        ("cash_flow", "f8"),
        ("cum_principal_payment", "f8"),
        ("payment_receivable", "f8"),
    ]
    for layout in (P.CASH_FLOW_DTYPES, P.IMPLIED_CASH_FLOW_DTYPES):
        assert type(layout) is list and all(type(field) is tuple for field in layout)


# ---------------------------------------------------------------- building


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


def test_equal_dates_keep_delivery_order(client):
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


# ---------------------------------------------------------------- the rules, on random frames


def model(frame, kind):
    """The table the rules ask for, by plain NumPy."""
    spec = KINDS[kind]
    if frame is None or frame.empty:
        return None

    def amounts(column):
        values = frame[column].to_numpy(dtype="float64", na_value=np.nan)
        return np.where(np.isnan(values), 0.0, values)

    dates = np.array([convert_date_to_date_int(d) for d in frame.index.get_level_values(spec["level"])])
    table = np.empty(len(frame), dtype=spec["layout"])
    table[spec["layout"][0][0]] = dates
    for field, column in spec["amounts"].items():
        table[field] = amounts(column)
    with np.errstate(over="ignore", invalid="ignore"):
        table["cum_principal_payment"] = np.cumsum(amounts(spec["principal"]))
    return table[np.argsort(dates, kind="stable")]


def assert_same_table(table, expected):
    assert type(table) is np.ndarray and table.dtype == expected.dtype and table.shape == expected.shape
    for name in expected.dtype.names:
        np.testing.assert_array_equal(table[name], expected[name], err_msg=name)


POOL = [datetime.date(2024, 3, 1), datetime.date(2024, 9, 1), datetime.date(2025, 3, 1)]
day_strategy = st.one_of(
    st.sampled_from(POOL), st.dates(datetime.date(2005, 1, 2), datetime.date(2099, 12, 31))
)
float_values = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from(
    [0.0, -0.0, 1e308, -1e308, 5e-324, 100.0, math.nan]
)
int_values = st.integers(-(2**53), 2**53) | st.sampled_from([0, 2**62, -(2**62)])


@st.composite
def amount_column(draw, n):
    """One amount column of n rows in one of the forms a client may deliver."""
    form = draw(st.sampled_from(["float64", "float32", "int64", "object", "Int64", "Float64"]))
    if form == "int64":
        return np.array(draw(st.lists(int_values, min_size=n, max_size=n)), dtype="int64")
    if form == "Int64":
        values = draw(st.lists(st.none() | st.integers(-(2**40), 2**40), min_size=n, max_size=n))
        return pd.array(values, dtype="Int64")
    if form == "object":
        values = draw(
            st.lists(
                st.sampled_from([None, pd.NA]) | float_values | st.integers(-(2**60), 2**60),
                min_size=n,
                max_size=n,
            )
        )
        return np.array(values + [None], dtype=object)[:n]
    values = draw(st.lists(float_values, min_size=n, max_size=n))
    if form == "float32":
        with np.errstate(over="ignore"):
            return np.array(values, dtype="float32")
    if form == "Float64":
        return pd.array([None if math.isnan(v) else v for v in values], dtype="Float64")
    return np.array(values, dtype="float64")


@st.composite
def frames(draw, kind, min_rows=0):
    spec = KINDS[kind]
    n = draw(st.integers(min_rows, 12))
    order = draw(st.sampled_from(["as drawn", "ascending", "descending"]))
    days = draw(st.lists(day_strategy, min_size=n, max_size=n))
    if order != "as drawn":
        days.sort(reverse=order == "descending")
    data = {column: draw(amount_column(n)) for column in [*spec["amounts"].values(), spec["principal"]]}
    if draw(st.booleans()):
        data["interest_payment"] = np.arange(n, dtype="float64")
        data["remark"] = ["x"] * n
    names = list(data)
    draw(st.randoms()).shuffle(names)
    index_form = draw(st.sampled_from(["multi", "multi, date first", "single", "single of dates"]))
    stamps = pd.to_datetime(days) if n else pd.DatetimeIndex([])
    if index_form == "multi":
        index = pd.MultiIndex.from_arrays([[BOND] * n, stamps], names=["order_book_id", spec["level"]])
    elif index_form == "multi, date first":
        index = pd.MultiIndex.from_arrays([stamps, [BOND] * n], names=[spec["level"], "order_book_id"])
    elif index_form == "single":
        index = pd.DatetimeIndex(stamps, name=spec["level"])
    else:
        index = pd.Index(days, dtype=object, name=spec["level"])
    return pd.DataFrame({name: data[name] for name in names}, index=index)


SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@pytest.mark.parametrize("kind", sorted(KINDS))
@SETTINGS
@given(data=st.data())
def test_tables_follow_the_rules(kind, data):
    frame = data.draw(frames(kind))
    expected = model(frame, kind)
    with serving(frame) as client:
        build = KINDS[kind]["build"]()
        table = build(BOND)
        if expected is None:
            assert table is None
        else:
            assert_same_table(table, expected)
        assert build(BOND) is table  # memoised: the same object, one query
        assert len(client.calls) == 1


# ---------------------------------------------------------------- malformed frames


def drop_column(frame, kind, draw):
    spec = KINDS[kind]
    column = draw(st.sampled_from([*spec["amounts"].values(), spec["principal"]]))
    return frame.drop(columns=[column]), KeyError, column


def rename_level(frame, kind, draw):  # noqa: ARG001 (the data client's signature)
    level = KINDS[kind]["level"]
    other = "payment_date" if level == "date" else "date"
    return frame.rename_axis(index={level: other}), KeyError, level


def text_in_a_column(frame, kind, draw):
    spec = KINDS[kind]
    column = draw(st.sampled_from([*spec["amounts"].values(), spec["principal"]]))
    text = draw(st.sampled_from(["1.5", "abc", "", "nan", b"2"]))
    row = draw(st.integers(0, len(frame) - 1))
    values = frame[column].astype(object).tolist()
    values[row] = text
    frame = frame.copy()
    frame[column] = pd.Series(values, index=frame.index, dtype=object)
    return frame, TypeError, column


def not_a_date(frame, kind, draw):
    level = KINDS[kind]["level"]
    bad = draw(st.sampled_from(["2024-03-01", 20240301, 1.5, None]))
    row = draw(st.integers(0, len(frame) - 1))
    days = list(frame.index.get_level_values(level))
    days[row] = bad
    frame = frame.copy()
    frame.index = pd.Index(days, dtype=object, name=level)
    return frame, (TypeError, ValueError), None


@pytest.mark.parametrize("kind", sorted(KINDS))
@pytest.mark.parametrize("corrupt", [drop_column, rename_level, text_in_a_column, not_a_date])
@SETTINGS
@given(data=st.data())
def test_malformed_frames_raise_and_leave_no_table(kind, corrupt, data):
    frame = data.draw(frames(kind, min_rows=1))
    bad, error, named = corrupt(frame, kind, data.draw)
    build = KINDS[kind]["build"]()
    with serving(bad) as client:
        with pytest.raises(error) as raised:
            build(BOND)
        if named is not None:
            assert named in str(raised.value)
        assert build.cache_info().currsize == 0
        client.serve(frame)  # the client mends: the next request asks it again
        good = build(BOND)
        assert len(client.calls) == 2
        assert_same_table(good, model(frame, kind))


WRONG_COLUMNS = {
    "numeric text": ["1.5", "2"],
    "pandas text": pd.array(["1.5", "2"], dtype="string"),
    "bytes": [b"1", b"2"],
    "booleans": [True, False],
    "nullable booleans": pd.array([True, None], dtype="boolean"),
    "complex": [1 + 2j, 3 + 0j],
    "dates": pd.to_datetime(["2024-01-01", "2024-01-02"]),
    "durations": pd.to_timedelta([1, 2], unit="D"),
    "date objects": [datetime.date(2024, 1, 1), datetime.date(2024, 1, 2)],
    "lists": [[1.0], [2.0]],
    "text categories": pd.Categorical(["1", "2"]),
}


@pytest.mark.parametrize("kind", sorted(KINDS))
@pytest.mark.parametrize("values", WRONG_COLUMNS.values(), ids=list(WRONG_COLUMNS))
def test_a_column_that_is_not_numbers_is_refused(kind, values):
    spec = KINDS[kind]
    index = pd.DatetimeIndex(["2024-03-01", "2025-03-01"], name=spec["level"])
    for column in [*spec["amounts"].values(), spec["principal"]]:
        data = {c: [1.0, 2.0] for c in [*spec["amounts"].values(), spec["principal"]]}
        data[column] = values
        with serving(pd.DataFrame(data, index=index)):
            with pytest.raises(TypeError, match=f"cash-flow column '{column}'"):
                spec["build"]()(BOND)


def test_decimal_and_numpy_numbers_in_an_object_column_are_numbers():
    from decimal import Decimal

    index = pd.DatetimeIndex(["2024-03-01", "2025-03-01"], name="payment_date")
    frame = pd.DataFrame(
        {
            "cash_flow": np.array([Decimal("1.5"), np.float32(2.5)], dtype=object),
            "principal_payment": np.array([np.int64(40), 60], dtype=object),
        },
        index=index,
    )
    with serving(frame):
        table = P._all_real_cash_flow(BOND)
    assert table.tolist() == [(20240301, 1.5, 40.0), (20250301, 2.5, 100.0)]


# ---------------------------------------------------------------- what Python hands the builders

ROWS = [("2024-03-01", 1.0, 0.0), ("2024-09-01", 2.0, 0.0), ("2025-03-01", 3.0, 100.0)]


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


# ---------------------------------------------------------------- the memos


def test_memoised_builders():
    for name in ("_all_real_cash_flow", "_all_implied_cash_flow"):
        fn = getattr(P, name)
        assert fn.cache_info().maxsize == 1024 and fn.__name__ == name
        assert fn.__wrapped__(order_book_ids="000000.IB") is None  # keyword as named, no data
    with pytest.raises(TypeError):
        P._all_real_cash_flow.__wrapped__()


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


def test_clearing_the_memos_forgets_every_table(client):
    client.realized[BOND] = bond.make_realized_frame(BOND, [("2024-03-01", 1.0, 0.0)])
    client.implied[BOND] = bond.make_implied_frame(BOND, [("2024-03-01", 1.0, 0.5, 0.0)])
    real, implied = P._all_real_cash_flow(BOND), P._all_implied_cash_flow(BOND)
    assert P._all_real_cash_flow(EXCHANGE_BOND) is None
    assert len(client.calls) == 3
    clear_cash_flow_memos()
    assert P._all_real_cash_flow.cache_info().currsize == P._all_implied_cash_flow.cache_info().currsize == 0
    assert P._all_real_cash_flow(BOND) is not real and rows(P._all_real_cash_flow(BOND)) == rows(real)
    assert P._all_implied_cash_flow(BOND) is not implied
    assert P._all_real_cash_flow(EXCHANGE_BOND) is None  # a bond without data is asked again too
    assert len(client.calls) == 6


def test_clearing_the_memos_loads_nothing():
    result = run_python(
        """
        import sys
        import korvane_mod_bond
        korvane_mod_bond.clear_cash_flow_memos()
        print(sorted(m for m in sys.modules if m.startswith(("korvane", "pelvorn", "numpy", "pandas"))))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["['korvane_mod_bond']"]


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
def test_exact_date_lookup_whatever_the_table(monkeypatch, form, on, expected):
    environment()
    table = form(np.array(RECORDS, dtype=REAL))
    monkeypatch.setattr(P, "_all_real_cash_flow", lambda _order_book_id: table)
    pos = P.BondPosition(EXCHANGE_BOND, LONG, 10)
    paid, de_listed = pos._get_cash_flow(day(on))
    assert (paid, de_listed) == expected
    assert type(paid) is float and type(de_listed) is bool


@TABLE_FORMS
def test_implied_lookup_whatever_the_table(monkeypatch, form):
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
def test_native_tables_are_read_from_their_buffer(monkeypatch, form, reads_buffer):
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


def test_an_empty_table_has_no_record(monkeypatch):
    environment()
    monkeypatch.setattr(P, "_all_real_cash_flow", lambda _order_book_id: np.zeros(0, dtype=REAL))
    assert P.BondPosition(EXCHANGE_BOND, LONG)._get_cash_flow(day("2024-03-01")) == (0.0, False)


def test_a_table_without_the_needed_field_raises(monkeypatch):
    environment()
    table = np.array([(20240301, 3.0)], dtype=[("payment_date", "i4"), ("cash_flow", "f8")])
    monkeypatch.setattr(P, "_all_real_cash_flow", lambda _order_book_id: table)
    pos = P.BondPosition(EXCHANGE_BOND, LONG)
    with pytest.raises((KeyError, ValueError), match="cum_principal_payment"):
        pos._get_cash_flow(day("2024-03-01"))
    assert pos._get_cash_flow(day("2024-03-02")) == (0.0, False)


# ------------------------------------------- the layouts a lookup remembers
#
# The day lookup remembers where a table's fields lie, per dtype: what it
# remembers must never outlive a change of the dtype, and many tables must
# neither confuse it nor pile up in it.


def serve(monkeypatch, name, tables):
    monkeypatch.setattr(P, name, lambda _order_book_id: tables[0])


def test_renamed_fields_are_seen(monkeypatch):
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


def test_the_same_buffer_read_through_another_dtype(monkeypatch):
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


def test_many_tables_each_read_right_and_none_kept(monkeypatch):
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
