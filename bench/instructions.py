"""Instructions per call of the hot paths, counted by valgrind's callgrind: a
measure that, unlike wall time, other work on the machine does not disturb, so
that two builds can be compared to the last per cent.

    python bench/instructions.py                       # prints the table
    python bench/instructions.py --save before.json    # ... and keeps the counts
    python bench/instructions.py --compare before.json # ... each beside a saved count

The operations run in one interpreter under callgrind, each in a loop between
two calls of a marker function (`sys.getswitchinterval`, which nothing else here
calls), before which callgrind writes out what it has counted: the count of a loop is
what lies between its two marks, divided by the calls it made. A count includes
the interpreter's loop and call around the method, the same for every build.
Hash randomisation is off, so a run repeats to within a few instructions.

Needs valgrind, the package and the framework stand-ins. About two minutes;
`--quick` runs each loop a tenth as long (the counts then move by a few
instructions a call: what the first calls of a loop cost weighs more).
"""

import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
MARK = "sys_getswitchinterval"  # the C function behind sys.getswitchinterval
BOOK = 100  # bonds in P1's book, half realized, half implied
WARM_DAYS, DAYS = 5, 20
CALLS = 2000  # per operation other than P1
P1 = "P1 bond day: before_trading + settlement"
P1_HOST = "P1 bond day, in the host's order"
FLOOR = "compiled floor: "  # the same calls made by bench/cfloor.c


def operations():
    """(name, calls per run, run) of every operation counted; each run is a closure
    over its own set-up. P1 counts position-days."""
    sys.path.insert(0, str(HERE))
    import cfloor
    from korvane.environment import Environment
    from pure_python import PyRepoTrade
    from workload import (
        LONG,
        PLEDGED,
        REPO,
        REPO_TRADING_DT,
        bond_book,
        bond_buy_order,
        bond_trade,
        exchange_bond,
        inter_bank_bond,
        repo_financing_order,
        repo_instruments,
        trading_days,
    )

    from korvane_mod_bond.position import BondPosition, BondPositionWithRealizedCashFlow, RepoPosition
    from korvane_mod_bond.trade import RepoTrade
    from korvane_mod_bond.transaction import BondTransactionDecider, RepoTransactionDecider
    from korvane_mod_bond.validator import BondValidator, RepoValidator

    ops = []

    # P1: a book's days, after the first days have filled the memos.
    env, real_ids, implied_ids = bond_book(BOOK // 2, BOOK // 2, extra_instruments=repo_instruments())
    book = [BondPosition(i, LONG, 1000) for i in real_ids + implied_ids]
    days = trading_days(WARM_DAYS + DAYS)

    def run_days(days, book=book):
        for d in days:
            for p in book:
                p.before_trading(d)
            for p in book:
                p.settlement(d)

    run_days(days[:WARM_DAYS])
    ops.append((P1, BOOK * DAYS, lambda: run_days(days[WARM_DAYS:])))
    # The same book in the host's order: the framework visits positions as they were
    # opened, so the two classes alternate.
    host_order = [p for pair in zip(book[: BOOK // 2], book[BOOK // 2 :]) for p in pair]
    ops.append((P1_HOST, BOOK * DAYS, lambda: run_days(days[WARM_DAYS:], host_order)))
    compiled = cfloor.get()
    hooks = {
        True: (compiled.realized_day_start, compiled.realized_settlement),
        False: (compiled.implied_day_start, compiled.implied_settlement),
    }

    def floor_days(book, days):
        visits = [(p,) + hooks[isinstance(p, BondPositionWithRealizedCashFlow)] for p in book]

        def run():
            for d in days:
                for p, start, _ in visits:
                    start(p, d)
                for p, _, settle in visits:
                    settle(p, d)

        return run

    ops.append((FLOOR + P1, BOOK * DAYS, floor_days(book, days[WARM_DAYS:])))
    ops.append((FLOOR + P1_HOST, BOOK * DAYS, floor_days(host_order, days[WARM_DAYS:])))
    realized, implied = book[0], book[-1]
    day = days[WARM_DAYS]
    for name, p in (("realized", realized), ("implied", implied)):
        ops.append(("BondPosition.before_trading ({})".format(name), CALLS, _repeat(p.before_trading, day)))
        ops.append(("BondPosition.settlement ({})".format(name), CALLS, _repeat(p.settlement, day)))
    ops.append(("BondPosition.closable", CALLS, _repeat_read(realized, "closable")))
    Environment.clear_instance()

    # P3: the validators on the orders they see most.
    env, _, _ = bond_book(1, 1, [BondPosition, RepoPosition], repo_instruments(), trading_dt=REPO_TRADING_DT)
    account = env.portfolio.account
    env.portfolio.get_position(PLEDGED, LONG)._old_quantity = 5000
    bond_validator, repo_validator = BondValidator(env), RepoValidator(env)
    for name, validator, order in [
        ("BondValidator.can_submit_order (exchange buy)", bond_validator, bond_buy_order(exchange_bond(0))),
        (
            "BondValidator.can_submit_order (inter-bank buy)",
            bond_validator,
            bond_buy_order(inter_bank_bond(0)),
        ),
        ("RepoValidator.can_submit_order (financing)", repo_validator, repo_financing_order()),
    ]:
        assert validator.can_submit_order(order, account) is True
        ops.append((name, CALLS, _repeat(validator.can_submit_order, order, account)))
        if validator is bond_validator:
            floor = compiled.bond_can_submit_order
            ops.append((FLOOR + name, CALLS, _repeat(floor, bond_validator, order, account)))

    # P2: the repo trade's factory and the cash a repo can take, and a pledge filed
    # (in a bond position of its own: the pledges pile up).
    ops.append(
        (
            "RepoTrade.create_repo_trade (weekend due date)",
            CALLS,
            _repeat(RepoTrade.create_repo_trade, 0.02, 1e6, REPO, None, 0.9, PLEDGED, 100),
        )
    )
    ops.append(("RepoTrade.calc_max_amount", CALLS, _repeat(RepoTrade.calc_max_amount, REPO, 1e6)))
    pledged = BondPosition(PLEDGED, LONG, 1000)
    pledge = RepoTrade.create_repo_trade(0.02, 1e6, REPO, 7, 0.9, PLEDGED, 100)
    ops.append(("BondPosition.apply_trade (a pledge)", CALLS, _repeat(pledged.apply_trade, pledge)))

    # P4: the cost deciders' three operations.
    bond_decider = BondTransactionDecider(0.00005, 1.0, 0.00001, 5.0)
    repo_decider = RepoTransactionDecider()
    for cls, decider, trade, order in [
        ("Bond", bond_decider, bond_trade(exchange_bond(0)), bond_buy_order(exchange_bond(0))),
        (
            "Repo",
            repo_decider,
            PyRepoTrade.create_repo_trade(0.02, 1e6, REPO, None, 0.9, PLEDGED, 100),
            repo_financing_order(),
        ),
    ]:
        prefix = cls + "TransactionDecider."
        ops.append((prefix + "get_trade_commission", CALLS, _repeat(decider.get_trade_commission, trade)))
        ops.append(
            (prefix + "get_order_transaction_cost", CALLS, _repeat(decider.get_order_transaction_cost, order))
        )
        ops.append((prefix + "get_trade_tax", CALLS, _repeat(decider.get_trade_tax, trade)))
        if decider is bond_decider:
            for name, floor, arg in [
                ("get_trade_commission", compiled.bond_trade_commission, trade),
                ("get_order_transaction_cost", compiled.bond_order_cost, order),
            ]:
                ops.append((FLOOR + prefix + name, CALLS, _repeat(floor, decider, arg)))
    return ops


def _repeat(method, *args):
    def run():
        for _ in range(CALLS):
            method(*args)

    return run


def _repeat_read(obj, name):
    def run():
        for _ in range(CALLS):
            getattr(obj, name)

    return run


def shorten():
    """The loops of `--quick`: a tenth as long."""
    global DAYS, CALLS
    DAYS, CALLS = DAYS // 10, CALLS // 10


def child(names_file, only):
    """Runs under callgrind: every operation once to warm it, then each between two marks."""
    mark = sys.getswitchinterval
    ops = [op for op in operations() if not only or any(text in op[0] for text in only)]
    for _, _, run in ops:
        run()
    mark()
    for _, _, run in ops:
        run()
        mark()
    Path(names_file).write_text(json.dumps([[name, calls] for name, calls, _ in ops]))


def count(only=(), keep=None, quick=False):
    """{operation: instructions per call}, from one run under callgrind; only the
    operations whose names contain one of `only` when it is given. `keep`: a folder
    to keep callgrind's output in, a file per operation (for callgrind_annotate);
    `quick`: loops a tenth as long."""
    sys.path.insert(0, str(HERE))
    import cfloor

    if cfloor.get() is None:  # built here, not under callgrind
        sys.exit("the compiled floors (bench/cfloor.c) could not be built")
    with tempfile.TemporaryDirectory() as tmp:
        names_file = os.path.join(tmp, "names.json")
        out = os.path.join(tmp, "callgrind.out")
        command = [
            "valgrind",
            "--tool=callgrind",
            "--dump-before=" + MARK,
            "--callgrind-out-file=" + out,
            sys.executable,
            __file__,
            "--child",
            names_file,
            *(["--quick"] if quick else []),
            *only,
        ]
        env = dict(os.environ, PYTHONHASHSEED="0")
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit("callgrind run failed:\n" + done.stderr[-3000:])
        ops = json.loads(Path(names_file).read_text())
        dumps = sorted(glob.glob(out + ".*"), key=lambda f: int(f.rsplit(".", 1)[1]))
        totals = [_total(f) for f in dumps]
        if keep:
            Path(keep).mkdir(parents=True, exist_ok=True)
            for k, (name, _) in enumerate(ops):
                slug = re.sub(r"[^A-Za-z0-9]+", "-", name).strip("-")
                shutil.copy(dumps[k + 1], Path(keep) / "{:02d}-{}.out".format(k, slug))
    # Dump 1: start-up and warm-up; dump k + 1: operation k (the last dump, at exit, is the tail).
    return {name: totals[k + 1] / calls for k, (name, calls) in enumerate(ops)}


def _total(dump):
    with open(dump) as f:
        for line in f:
            m = re.match(r"(?:summary|totals):\s+(\d+)", line)
            if m:
                return int(m.group(1))
    raise ValueError("no total in " + dump)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--save", metavar="FILE", help="write the counts as JSON")
    parser.add_argument("--compare", metavar="FILE", help="show each count beside one saved earlier")
    parser.add_argument("--keep", metavar="DIR", help="keep callgrind's output of each operation in DIR")
    parser.add_argument("--quick", action="store_true", help="loops a tenth as long (counts a bit rougher)")
    parser.add_argument("--child", metavar="FILE", help=argparse.SUPPRESS)
    parser.add_argument("only", nargs="*", help="count only the operations whose names contain one of these")
    args = parser.parse_args(argv)
    if args.quick:
        shorten()
    if args.child:
        child(args.child, args.only)
        return 0
    counts = count(args.only, args.keep, args.quick)
    before = json.loads(Path(args.compare).read_text()) if args.compare else {}
    print("{:<52} {:>12} {:>12} {:>8}".format("operation", "instructions", "before", "change"))
    for name, n in counts.items():
        line = "{:<52} {:>12,.1f}".format(name, n)
        if name in before:
            line += " {:>12,.1f} {:>+7.2f}%".format(before[name], (n / before[name] - 1) * 100)
        print(line)
    if args.save:
        Path(args.save).write_text(json.dumps(counts, indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
