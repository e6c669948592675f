"""The cash-flow table builders against a plain NumPy model of their rules, on
frames the market-data client might really send: any row count, duplicate,
descending or shuffled dates, NaN, huge values, integer, float, nullable and
object columns, extra columns; and malformed frames, which must raise and leave
nothing in the memo.

Rules modelled: dates through the host's converter; a missing amount (NaN, None,
pandas' NA) is 0.0 in the table and counts as 0 in the running principal sum;
the sum runs in delivery order; then a stable sort by date, so records of equal
dates keep their delivery order.
"""

import contextlib
import datetime
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from korvane.utils.datetime_func import convert_date_to_date_int

from korvane_mod_bond import position as P

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
BOND = "200205.IB"


class Client:
    """The data client's bond namespace, serving one frame and counting queries."""

    def __init__(self, frame):
        self.frame, self.queries = frame, 0

    def realized_cash_flow(self, order_book_id):  # noqa: ARG002 (the data client's signature)
        self.queries += 1
        return self.frame

    def get_implied_cash_flow(self, order_book_id, start, end):  # noqa: ARG002 (the data client's signature)
        self.queries += 1
        return self.frame


@contextlib.contextmanager
def serving(frame):
    saved = P.bond
    P.bond = client = Client(frame)
    P._all_real_cash_flow.cache_clear()
    P._all_implied_cash_flow.cache_clear()
    try:
        yield client
    finally:
        P.bond = saved
        P._all_real_cash_flow.cache_clear()
        P._all_implied_cash_flow.cache_clear()


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


# ------------------------------------------------------------ frames

POOL = [datetime.date(2024, 3, 1), datetime.date(2024, 9, 1), datetime.date(2025, 3, 1)]
day_strategy = st.one_of(
    st.sampled_from(POOL), st.dates(datetime.date(2005, 1, 2), datetime.date(2099, 12, 31))
)
float_values = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from(
    [0.0, -0.0, 1e308, -1e308, 5e-324, 100.0, math.nan]
)
int_values = st.integers(-(2**53), 2**53) | st.sampled_from([0, 2**62, -(2**62)])


@st.composite
def columns(draw, n):
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
    data = {column: draw(columns(n)) for column in [*spec["amounts"].values(), spec["principal"]]}
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
        assert client.queries == 1


# ------------------------------------------------------ malformed frames


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
        client.frame = frame  # the client mends: the next request asks it again
        good = build(BOND)
        assert client.queries == 2
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
