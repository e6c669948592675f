"""P3: the order validators on the orders they see most — a bond buy that
passes every check, and an exchange repo financing that passes."""

import cfloor
import floors
from common import Row, Section, interleaved
from korvane.environment import Environment
from pure_python import PyBondValidator, PyRepoValidator
from workload import (
    LONG,
    PLEDGED,
    REPO_TRADING_DT,
    bond_book,
    bond_buy_order,
    exchange_bond,
    inter_bank_bond,
    repo_financing_order,
    repo_instruments,
)

from korvane_mod_bond.position import BondPosition, RepoPosition
from korvane_mod_bond.validator import BondValidator, RepoValidator


def run(sections):
    env, _, _ = bond_book(1, 1, [BondPosition, RepoPosition], repo_instruments(), trading_dt=REPO_TRADING_DT)
    account = env.portfolio.account
    # The pledged bond is held: 5,000 bonds, so a 200,000 financing stays under its face value.
    env.portfolio.get_position(PLEDGED, LONG)._old_quantity = 5000
    validators = dict(
        bond=BondValidator(env),
        py_bond=PyBondValidator(env),
        repo=RepoValidator(env),
        py_repo=PyRepoValidator(env),
    )
    orders = dict(
        exchange_buy=bond_buy_order(exchange_bond(0)),
        inter_bank_buy=bond_buy_order(inter_bank_bond(0)),
        financing=repo_financing_order(),
    )
    for v in ("bond", "py_bond"):
        for o in ("exchange_buy", "inter_bank_buy"):
            assert validators[v].can_submit_order(orders[o], account) is True
    assert validators["repo"].can_submit_order(orders["financing"], account) is True
    assert validators["py_repo"].can_submit_order(orders["financing"], account) is True

    namespace = dict(floors=floors, account=account, **validators, **orders)
    rows = []
    for name, validator, order, floor in [
        ("BondValidator.can_submit_order (exchange buy)", "bond", "exchange_buy", "bond_can_submit_order"),
        (
            "BondValidator.can_submit_order (inter-bank buy)",
            "bond",
            "inter_bank_buy",
            "bond_can_submit_order",
        ),
        ("RepoValidator.can_submit_order (financing)", "repo", "financing", "repo_can_submit_order"),
    ]:
        stmts = {
            "cpp": "{}.can_submit_order({}, account)".format(validator, order),
            "floor": "floors.{}({}, {}, account)".format(floor, validator, order),
            "python": "py_{}.can_submit_order({}, account)".format(validator, order),
        }
        compiled = cfloor.get()
        if compiled and hasattr(compiled, floor):
            namespace["cfloor"] = compiled
            stmts["cfloor"] = "cfloor.{}({}, {}, account)".format(floor, validator, order)
        ns = interleaved(stmts, namespace)
        rows.append(Row(name, ns["cpp"], ns["floor"], ns["python"], 2.0, cfloor=ns.get("cfloor")))
    ns = interleaved(
        {"cpp": "bond.can_cancel_order(exchange_buy)", "python": "py_bond.can_cancel_order(exchange_buy)"},
        namespace,
    )
    rows.append(Row("BondValidator.can_cancel_order", ns["cpp"], python=ns["python"]))
    Environment.clear_instance()
    sections.append(Section("P3 validators (ns per call)", rows))


if __name__ == "__main__":
    from common import print_table

    out = []
    run(out)
    print_table(out)
