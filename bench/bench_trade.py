"""P2: a repo end to end — the trade made by `create_repo_trade`, booked by the
short repo position (which hands the pledge to the bond's long position), and
settled at maturity; and RepoTrade's other methods."""

import datetime

import floors
from common import Row, Section, interleaved
from korvane.environment import Environment
from pure_python import PyBondPosition, PyRepoPosition, PyRepoTrade
from workload import LONG, PLEDGED, REPO, REPO_TRADING_DT, SHORT, bond_book, repo_instruments

from korvane_mod_bond.position import BondPosition, RepoPosition
from korvane_mod_bond.trade import RepoTrade

# The one-day repo of Friday 20 September 2024 falls due on Saturday, moved to Monday.
DUE = datetime.date(2024, 9, 23)


def book(position_classes):
    env, _, _ = bond_book(0, 0, position_classes, repo_instruments(), trading_dt=REPO_TRADING_DT)
    repo = env.portfolio.get_position(REPO, SHORT)
    pledged = env.portfolio.get_position(PLEDGED, LONG)
    return env, repo, pledged


def end_to_end(cls, repo):
    trade = cls.create_repo_trade(0.02, 1e6, REPO, None, 0.9, PLEDGED, 100)
    cash = repo.apply_trade(trade)
    return cash + repo.settlement(DUE)


def floor_end_to_end(cls, repo):
    trade = floors.create_repo_trade(cls, 0.02, 900_000.0, REPO, 0.9, PLEDGED, 100)
    cash = floors.repo_apply_trade(repo, trade)
    return cash + floors.repo_settlement(repo, DUE)


def run(sections):
    cpp_env, cpp_repo, cpp_bond = book([BondPosition, RepoPosition])
    py_env, py_repo, py_bond = book([PyBondPosition, PyRepoPosition])
    assert type(cpp_repo) is RepoPosition and type(py_repo) is PyRepoPosition

    def use(env):
        Environment._env = env

    # Both books must come to the same cash and the same pledge.
    use(cpp_env)
    cash_cpp = end_to_end(RepoTrade, cpp_repo)
    use(py_env)
    cash_py = end_to_end(PyRepoTrade, py_repo)
    assert cash_cpp == cash_py and cpp_bond.pledged_quantity == py_bond.pledged_quantity == 100, (
        cash_cpp,
        cash_py,
    )

    ns = {}
    cpp_trade = RepoTrade.create_repo_trade(0.02, 1e6, REPO, None, 0.9, PLEDGED, 100)
    py_trade = PyRepoTrade.create_repo_trade(0.02, 1e6, REPO, None, 0.9, PLEDGED, 100)
    namespace = dict(
        RepoTrade=RepoTrade,
        PyRepoTrade=PyRepoTrade,
        REPO=REPO,
        PLEDGED=PLEDGED,
        DUE=DUE,
        floors=floors,
        end_to_end=end_to_end,
        floor_end_to_end=floor_end_to_end,
        cpp_repo=cpp_repo,
        py_repo=py_repo,
        cpp_trade=cpp_trade,
        py_trade=py_trade,
    )
    create = "{}.create_repo_trade(0.02, 1e6, REPO, None, 0.9, PLEDGED, 100)"
    # A settlement at maturity needs an entry due: the same entry is filed again
    # before each (the filing is in all three timings).
    settle = "{0}._due_settlement_dict[DUE] = [1.0, 2.0]; {1}({0}, DUE)"
    cases = [
        (
            "P2 repo: create + apply_trade + settlement",
            2.0,
            "end_to_end(RepoTrade, cpp_repo)",
            "floor_end_to_end(RepoTrade, cpp_repo)",
            "end_to_end(PyRepoTrade, py_repo)",
        ),
        (
            "RepoTrade.create_repo_trade (weekend due date)",
            None,
            create.format("RepoTrade"),
            "floors.create_repo_trade(RepoTrade, 0.02, 9e5, REPO, 0.9, PLEDGED, 100)",
            create.format("PyRepoTrade"),
        ),
        (
            "RepoPosition.apply_trade (short, pledging a bond)",
            None,
            "cpp_repo.apply_trade(cpp_trade)",
            "floors.repo_apply_trade(cpp_repo, cpp_trade)",
            "py_repo.apply_trade(py_trade)",
        ),
        (
            "RepoPosition.settlement (at maturity)",
            None,
            settle.format("cpp_repo", "type(cpp_repo).settlement"),
            settle.format("cpp_repo", "floors.repo_settlement"),
            settle.format("py_repo", "type(py_repo).settlement"),
        ),
        (
            "RepoTrade.calc_max_amount",
            None,
            "RepoTrade.calc_max_amount(REPO, 1e6)",
            None,
            "PyRepoTrade.calc_max_amount(REPO, 1e6)",
        ),
        (
            "RepoTrade.position_direction",
            None,
            "cpp_trade.position_direction",
            None,
            "py_trade.position_direction",
        ),
    ]
    rows = []
    for name, target, cpp, floor, python in cases:
        # Each side runs in its own environment (its own portfolio and position classes).
        use(cpp_env)
        ns["cpp"] = interleaved({"cpp": cpp, **({"floor": floor} if floor else {})}, namespace)
        use(py_env)
        ns["python"] = interleaved({"python": python}, namespace)["python"]
        rows.append(Row(name, ns["cpp"]["cpp"], ns["cpp"].get("floor"), ns["python"], target))
    use(cpp_env)
    Environment.clear_instance()
    sections.append(
        Section(
            "P2 repo trades (ns per call)",
            rows,
            [
                "P2: one-day Shanghai repo of 1,000,000 at a 0.9 haircut pledging 100 bonds,"
                " due Saturday, moved to Monday"
            ],
        )
    )


if __name__ == "__main__":
    from common import print_table

    out = []
    run(out)
    print_table(out)
