"""Bonds and repurchase agreements for the korvane backtesting framework.

The compiled modules ``position``, ``trade``, ``validator`` and ``transaction``
are imported by the framework on its own; importing this package loads none of them.
``korvane_mod_bond.mod`` is the start-up code that installs them into a backtest
(``BondMod``) and the repo order functions a strategy calls.
"""

import sys as _sys

__version__ = "0.1.0"

# The position module's memoised cash-flow table functions, one per kind of table
# (module globals, which BondMod may rebind to memos of another size).
_CASH_FLOW_MEMOS = ("_all_real_cash_flow", "_all_implied_cash_flow")


def clear_cash_flow_memos() -> None:
    """Forget every memoised cash-flow table, realized and implied.

    The position module builds each bond's cash-flow table from the data client
    on first request and keeps it for the rest of the run, a bond without cash
    flows included. Call this when the data client starts serving other data
    (another data set, a test's own frames), before positions read it: the next
    request for each bond asks the client again. It clears the memos the
    position module holds now, the framework's or those of a
    ``BondMod(cash_flow_memo_size=...)``. Before the position module is loaded
    there is nothing to forget, and nothing is loaded.
    """
    position = _sys.modules.get(__name__ + ".position")
    if position is None:
        return
    for name in _CASH_FLOW_MEMOS:
        getattr(position, name).cache_clear()
