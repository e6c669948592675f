"""RepoTrade against the same methods written in Python."""

import datetime

from common import ns_per_call, report
from korvane.testing import make_env
from pure_python import PyRepoTrade

from korvane_mod_bond.data import BondInstrument, RepoInstrument
from korvane_mod_bond.trade import RepoTrade


def main():
    make_env(
        [RepoInstrument("204001.XSHG", repo_period=1), BondInstrument("019547.XSHG", issue_price=100.0)],
        trading_dt=datetime.datetime(2024, 9, 20, 15),
    )
    rows = []
    for name, call in [
        (
            "create_repo_trade (weekend due date)",
            lambda cls: cls.create_repo_trade(0.02, 1e6, "204001.XSHG", None, 0.9, "019547.XSHG", 100),
        ),
        ("calc_max_amount", lambda cls: cls.calc_max_amount("204001.XSHG", 1e6)),
    ]:
        ours = ns_per_call(lambda call=call: call(RepoTrade))
        theirs = ns_per_call(lambda call=call: call(PyRepoTrade))
        rows.append((name, ours, theirs, "Python"))
    ours = RepoTrade.create_repo_trade(0.02, 1e6, "204001.XSHG", None, 0.9, "019547.XSHG", 100)
    theirs = PyRepoTrade.create_repo_trade(0.02, 1e6, "204001.XSHG", None, 0.9, "019547.XSHG", 100)
    rows.append(
        (
            "position_direction",
            ns_per_call(lambda: ours.position_direction, 200_000),
            ns_per_call(lambda: theirs.position_direction, 200_000),
            "Python",
        )
    )
    report(rows, "RepoTrade (ns per call; ratio < 1 means the C++ method is faster)")


if __name__ == "__main__":
    main()
