"""Module globals rebound while a C++ method is still using them.

The modules read host and sibling names from their own namespace at call time,
and Python code runs in between (an attribute of an order, the host's date
converter). If such code rebinds the name, the object read before must stay
alive until the method is done with it. Each case runs in a fresh interpreter
whose allocator fills freed memory with a pattern, so a dangling reference
crashes there instead of silently reading what happens to be left.
"""

import os
import subprocess
import sys
import textwrap

import pytest

CASES = {
    "repo trade commission": (
        """
        from korvane_mod_bond import transaction as T

        class Trade:
            order_book_id = "204001.XSHG"

            @property
            def last_quantity(self):
                T.calc_repo_commission = lambda order_book_id, amount: "rebound"
                churn()
                return 100.0

        T.calc_repo_commission = lambda order_book_id, amount: ("read first", amount)
        print(T.RepoTransactionDecider().get_trade_commission(Trade()))
        """,
        "('read first', 100.0)",
    ),
    "repo order cost": (
        """
        from korvane_mod_bond import transaction as T

        class Order:
            order_book_id = "204001.XSHG"
            quantity = 1000

            @property
            def haircut(self):
                T.calc_repo_commission = lambda order_book_id, amount: "rebound"
                churn()
                return 0.5

        T.calc_repo_commission = lambda order_book_id, amount: ("read first", amount)
        print(T.RepoTransactionDecider().get_order_transaction_cost(Order()))
        """,
        "('read first', 500.0)",
    ),
    "date converter replacing itself": (
        """
        from pelvorn import bond
        from korvane_mod_bond import position as P

        frame = bond.make_realized_frame("X", [("2024-03-01", 1.0, 0.0), ("2025-03-01", 2.0, 100.0)])
        P.bond = type("Client", (), {"realized_cash_flow": staticmethod(lambda order_book_id: frame)})

        def install():
            def convert(date):
                P.convert_date_to_date_int = lambda date: 0
                churn()
                return date.year * 10000 + date.month * 100 + date.day
            P.convert_date_to_date_int = convert

        install()
        print(P._all_real_cash_flow("X")["payment_date"].tolist())
        """,
        "[20240301, 20250301]",
    ),
}

PRELUDE = """
def churn():
    # Reuse freed memory at once, as a busy interpreter would.
    for _ in range(200):
        [object() for _ in range(20)]
"""


@pytest.mark.parametrize("case", sorted(CASES))
def test_a_rebound_global_stays_alive_while_in_use(case):
    script, expected = CASES[case]
    env = dict(os.environ, PYTHONMALLOC="malloc_debug")
    code = PRELUDE + textwrap.dedent(script)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == expected
