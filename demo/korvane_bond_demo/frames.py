"""The frames the data client serves of a data set: the instruments' reference data and
the two cash-flow tables, in the client's layout (indexed by order book id and date)."""

import datetime

import numpy as np
import pandas as pd

from korvane_bond_demo.reader.layout import columns

_EPOCH = datetime.date(1970, 1, 1).toordinal()


def instrument_frame(records):
    """The instruments' frame of ``records`` (one dict a row of ``instruments``)."""
    names = columns("instruments")
    frame = pd.DataFrame([{c: r.get(c) for c in names} for r in records], columns=names)
    for name in ("listed_date", "maturity_date"):
        frame[name] = pd.to_datetime(frame[name])
    for name in ("round_lot", "repo_period"):
        frame[name] = frame[name].astype("Int64")
    for name in ("issue_price", "initial_issue_size", "coupon_rate"):
        frame[name] = frame[name].astype(float)
    return frame.set_index("order_book_id")


def _timestamps(ordinals):
    return pd.DatetimeIndex((np.asarray(ordinals, dtype=np.int64) - _EPOCH).astype("datetime64[D]")).as_unit(
        "ns"
    )


def cash_flow_frame(table, name, roll_to=None):
    """The frame of the cash-flow table ``name`` (its :class:`~korvane_bond_demo.reader.table.Table`,
    or None: an empty frame), indexed by (order book id, date); with ``roll_to`` (the
    sessions), dates within the sessions that are not one move to the next, and the
    records that meet there are added up (a payment's remaining principal: the later's)."""
    names = columns(name)
    date_column = names[1]
    if table is None:
        frame = pd.DataFrame({column: [] for column in names})
        frame[date_column] = pd.to_datetime(frame[date_column])
        for column in names[2:]:
            frame[column] = frame[column].astype(float)
        return frame.set_index(["order_book_id", date_column])
    dates = table.dates(date_column).astype(np.int64)
    moved = False
    if roll_to is not None and len(dates):
        sessions = np.asarray(roll_to, dtype=np.int64)
        within = (dates >= sessions[0]) & (dates <= sessions[-1])
        rolled = np.where(
            within, sessions[np.minimum(np.searchsorted(sessions, dates), len(sessions) - 1)], dates
        )
        moved = bool((rolled != dates).any())
        original, dates = dates, rolled
    data = {"order_book_id": list(table.columns["order_book_id"]), date_column: _timestamps(dates)}
    for column in names[2:]:
        data[column] = table.numbers(column).copy()
    frame = pd.DataFrame(data)
    if moved:
        frame["_original"] = original
        frame = frame.sort_values(["order_book_id", "_original"], kind="stable")
        how = {column: "sum" for column in names[2:]}
        if "remaining_principal" in how:
            how["remaining_principal"] = "last"
        return frame.groupby(["order_book_id", date_column], sort=True).agg(how)
    return frame.set_index(["order_book_id", date_column])
