"""Bond cash flows and reference data.

Cash-flow frames carry a two-level index (``order_book_id`` and a date level)
with dates as pandas Timestamps; amounts are per bond of 100 face value.

- :func:`realized_cash_flow`: payments on their payment dates — index level
  ``payment_date``; columns ``cash_flow`` (total paid), ``principal_payment``,
  ``interest_payment`` and ``remaining_principal``.
- :func:`get_implied_cash_flow`: the same money seen by a valuation that
  accrues it — index level ``date``; columns ``total_payment`` (paid that day),
  ``payment_receivable`` (becoming receivable that day), ``principal_payment``
  and ``interest_payment``.

Both return None when there is nothing for the bonds asked.

:func:`set_source` serves whole tables of one's own (reference data and both
kinds of cash flows, laid out as the bundled ones) in place of the bundled data.
Tests replace what a bond returns with :func:`set_frames` (served exactly as
given, None meaning "no data"), undo that and the source with :func:`reset`, and
can read the queries made so far in :data:`calls`. :func:`make_realized_frame` and
:func:`make_implied_frame` build frames of the right shape from plain rows.
"""

import functools
from importlib import resources

import numpy as np
import pandas as pd

REALIZED_COLUMNS = ["cash_flow", "principal_payment", "interest_payment", "remaining_principal"]
IMPLIED_COLUMNS = ["total_payment", "payment_receivable", "principal_payment", "interest_payment"]

# Every query as (function name, positional arguments), in call order.
calls = []

_realized_overrides = {}
_implied_overrides = {}
_source = {}  # kind -> a table served in place of the bundled file


def _read_csv(name, date_column):
    with resources.files("pelvorn").joinpath("data").joinpath(name).open("rb") as f:
        return pd.read_csv(f, dtype={"order_book_id": str}, parse_dates=[date_column])


def _bundled(kind):
    """The table of ``kind``: the source's when one was set, else the bundled file's."""
    table = _source.get(kind)
    return _bundled_file(kind) if table is None else table


@functools.cache
def _bundled_file(kind):
    if kind == "realized":
        frame = _read_csv("realized_cash_flow.csv", "payment_date")
        return frame.set_index(["order_book_id", "payment_date"]).sort_index()
    if kind == "implied":
        frame = _read_csv("implied_cash_flow.csv", "date")
        return frame.set_index(["order_book_id", "date"]).sort_index()
    if kind == "instruments":
        frame = _read_csv("instruments.csv", "listed_date")
        frame["maturity_date"] = pd.to_datetime(frame["maturity_date"])
        return frame.set_index("order_book_id")
    raise ValueError(kind)


def _as_list(order_book_ids):
    if isinstance(order_book_ids, str):
        return [order_book_ids]
    ids = list(order_book_ids)
    if not all(isinstance(i, str) for i in ids):
        raise TypeError(f"order book ids must be strings, got {order_book_ids!r}")
    return ids


def _date_key(value):
    """YYYYMMDD integer of a date bound given as an int, a string or a date."""
    if isinstance(value, bool):
        raise TypeError(f"expected a date, got {value!r}")
    if isinstance(value, (int, np.integer)):
        return int(value)
    day = pd.Timestamp(value)
    return day.year * 10000 + day.month * 100 + day.day


def _query(kind, overrides, order_book_ids, start_date, end_date):
    frames = []
    for order_book_id in _as_list(order_book_ids):
        if order_book_id in overrides:
            frame = overrides[order_book_id]
        else:
            bundled = _bundled(kind)
            if order_book_id not in bundled.index.get_level_values(0):
                continue
            frame = bundled.loc[[order_book_id]]
            dates = frame.index.get_level_values(1)
            keys = np.asarray(dates.year * 10000 + dates.month * 100 + dates.day)
            mask = np.ones(len(frame), dtype=bool)
            if start_date is not None:
                mask &= keys >= _date_key(start_date)
            if end_date is not None:
                mask &= keys <= _date_key(end_date)
            frame = frame[mask].copy()
        if frame is not None:
            frames.append(frame)
    if not frames:
        return None
    return frames[0] if len(frames) == 1 else pd.concat(frames)


def realized_cash_flow(order_book_ids, start_date=None, end_date=None):
    """Realized cash flows of one bond (or a list), optionally between two dates
    (YYYYMMDD integers, strings or dates, both included); None when there are none."""
    calls.append(("realized_cash_flow", (order_book_ids, start_date, end_date)))
    return _query("realized", _realized_overrides, order_book_ids, start_date, end_date)


def get_implied_cash_flow(order_book_ids, start_date=None, end_date=None):
    """Implied cash flows of one bond (or a list), optionally between two dates
    (YYYYMMDD integers, strings or dates, both included); None when there are none."""
    calls.append(("get_implied_cash_flow", (order_book_ids, start_date, end_date)))
    return _query("implied", _implied_overrides, order_book_ids, start_date, end_date)


def all_instruments():
    """Reference data of every bond and repo in the data set, indexed by order book id.

    Columns: ``type`` ("BOND" or "REPO"), ``symbol``, ``exchange``, ``round_lot``,
    ``issue_price``, ``initial_issue_size`` (issue size as money), ``repo_period``
    (days), ``listed_date``, ``maturity_date``, ``coupon_rate``.
    """
    return _bundled("instruments").copy()


def instrument_info(order_book_id):
    """Reference data of one bond or repo as a dict of the non-missing fields, or None."""
    table = _bundled("instruments")
    if order_book_id not in table.index:
        return None
    row = table.loc[order_book_id]
    info = {"order_book_id": order_book_id}
    for name, value in row.items():
        if pd.isna(value):
            continue
        if isinstance(value, pd.Timestamp):
            value = value.date()
        elif hasattr(value, "item"):
            value = value.item()
        info[name] = value
    if "round_lot" in info:
        info["round_lot"] = int(info["round_lot"])
    if "repo_period" in info:
        info["repo_period"] = int(info["repo_period"])
    return info


def set_frames(realized=None, implied=None):
    """Serve the given frames instead of the bundled data.

    ``realized`` and ``implied`` map an order book id to a frame, served exactly
    as given (no date filtering, no copy), or to None for a bond with no data.
    """
    for overrides, frames in ((_realized_overrides, realized), (_implied_overrides, implied)):
        for order_book_id, frame in (frames or {}).items():
            if frame is not None and not isinstance(frame, pd.DataFrame):
                raise TypeError(f"frame for {order_book_id!r} must be a DataFrame or None")
            overrides[order_book_id] = frame


def set_source(instruments=None, realized=None, implied=None):
    """Serve these tables in place of the bundled data, each one whole; None keeps the
    bundled table of that kind.

    The tables are laid out as the bundled files once read: ``instruments`` indexed by
    ``order_book_id`` with the columns of :func:`all_instruments` (dates as Timestamps);
    ``realized`` indexed by (``order_book_id``, ``payment_date``) and ``implied`` by
    (``order_book_id``, ``date``), with the columns :data:`REALIZED_COLUMNS` and
    :data:`IMPLIED_COLUMNS`. Queries filter them by id and date as they do the bundled data.
    """
    tables = {"instruments": instruments, "realized": realized, "implied": implied}
    for kind, table in tables.items():
        if table is not None and not isinstance(table, pd.DataFrame):
            raise TypeError(f"the {kind} table must be a DataFrame or None")
    _source.clear()
    for kind, table in tables.items():
        if table is not None:
            _source[kind] = table.sort_index()


def reset():
    """Drop every frame given to :func:`set_frames`, the tables of :func:`set_source`,
    and forget the recorded calls."""
    _realized_overrides.clear()
    _implied_overrides.clear()
    _source.clear()
    del calls[:]


def _frame(order_book_id, date_level, columns, rows):
    rows = list(rows)
    for row in rows:
        if len(row) != 1 + len(columns):
            raise ValueError("each row needs a date and {}: {!r}".format(", ".join(columns), row))
    index = pd.MultiIndex.from_arrays(
        [[order_book_id] * len(rows), pd.to_datetime([row[0] for row in rows])],
        names=["order_book_id", date_level],
    )
    data = {name: [float(row[i + 1]) for row in rows] for i, name in enumerate(columns)}
    return pd.DataFrame(data, index=index, columns=columns)


def make_realized_frame(order_book_id, rows):
    """A realized cash-flow frame from rows ``(payment_date, cash_flow, principal_payment)``,
    kept in the order given."""
    return _frame(order_book_id, "payment_date", ["cash_flow", "principal_payment"], rows)


def make_implied_frame(order_book_id, rows):
    """An implied cash-flow frame from rows
    ``(date, total_payment, payment_receivable, principal_payment)``, kept in the order given."""
    return _frame(order_book_id, "date", ["total_payment", "payment_receivable", "principal_payment"], rows)
