"""P4: the cost deciders' three operations, for a bond and for a repo."""

import cfloor
import floors
from common import Row, Section, interleaved
from korvane.environment import Environment
from pure_python import PyBondTransactionDecider, PyRepoTrade, PyRepoTransactionDecider
from workload import (
    PLEDGED,
    REPO,
    REPO_TRADING_DT,
    bond_book,
    bond_buy_order,
    bond_trade,
    exchange_bond,
    repo_financing_order,
    repo_instruments,
)

from korvane_mod_bond.transaction import BondTransactionDecider, RepoTransactionDecider

FIGURES = (0.00005, 1.0, 0.00001, 5.0)  # inter-bank rate and floor, exchange rate and cap


def run(sections):
    env, _, _ = bond_book(1, 0, (), repo_instruments(), trading_dt=REPO_TRADING_DT)
    namespace = dict(
        floors=floors,
        bond=BondTransactionDecider(*FIGURES),
        py_bond=PyBondTransactionDecider(*FIGURES),
        repo=RepoTransactionDecider(),
        py_repo=PyRepoTransactionDecider(),
        bond_trade=bond_trade(exchange_bond(0)),
        bond_order=bond_buy_order(exchange_bond(0)),
        repo_trade=PyRepoTrade.create_repo_trade(0.02, 1e6, REPO, None, 0.9, PLEDGED, 100),
        repo_order=repo_financing_order(),
    )
    rows = []
    for name, decider, op, arg, floor in [
        (
            "BondTransactionDecider.get_trade_commission",
            "bond",
            "get_trade_commission",
            "bond_trade",
            "bond_trade_commission",
        ),
        (
            "BondTransactionDecider.get_order_transaction_cost",
            "bond",
            "get_order_transaction_cost",
            "bond_order",
            "bond_order_cost",
        ),
        ("BondTransactionDecider.get_trade_tax", "bond", "get_trade_tax", "bond_trade", "trade_tax"),
        (
            "RepoTransactionDecider.get_trade_commission",
            "repo",
            "get_trade_commission",
            "repo_trade",
            "repo_trade_commission",
        ),
        (
            "RepoTransactionDecider.get_order_transaction_cost",
            "repo",
            "get_order_transaction_cost",
            "repo_order",
            "repo_order_cost",
        ),
        ("RepoTransactionDecider.get_trade_tax", "repo", "get_trade_tax", "repo_trade", "trade_tax"),
    ]:
        cpp, python = (getattr(namespace[d], op)(namespace[arg]) for d in (decider, "py_" + decider))
        assert cpp == python, (name, cpp, python)
        stmts = {
            "cpp": "{}.{}({})".format(decider, op, arg),
            "floor": "floors.{}({}, {})".format(floor, decider, arg),
            "python": "py_{}.{}({})".format(decider, op, arg),
        }
        compiled = cfloor.get()
        if compiled and hasattr(compiled, floor):
            namespace["cfloor"] = compiled
            stmts["cfloor"] = "cfloor.{}({}, {})".format(floor, decider, arg)
        ns = interleaved(stmts, namespace)
        rows.append(Row(name, ns["cpp"], ns["floor"], ns["python"], 2.0, cfloor=ns.get("cfloor")))
    Environment.clear_instance()
    sections.append(Section("P4 cost deciders (ns per call)", rows))


if __name__ == "__main__":
    from common import print_table

    out = []
    run(out)
    print_table(out)
