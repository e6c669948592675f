#!/usr/bin/env python3
"""Reference-leak check of the four extension modules.

Runs a loop of realistic calls that reaches every public operation of
`position`, `trade`, `validator` and `transaction`, the error paths included
(each TypeError the modules raise, argument errors, a failing data client,
malformed cash-flow frames, refused orders) and the package's clearing of the
cash-flow memos, and shows that memory stays flat:

- Python allocations, traced by tracemalloc;
- the process's resident set size (RSS), which also sees what C++ allocates;
- the reference counts of the objects the calls pass around (arguments,
  enumeration members, None, True and False): a reference taken and never
  given back shows there even when it costs no memory.

Every round makes each call once (the table builds from pandas frames, every
tenth round); the first rounds (a twentieth) warm caches and free lists up and
are not measured. RSS and reference counts are watched over every measured
round, tracemalloc (which more than doubles the time of a call) over the last
50,000 rounds, or the last tenth when that is more. A leak of one small object
per round shows as a megabyte or more of traced growth, and a leaked reference
as tens of thousands in a count; the allowances are a quarter of a megabyte
plus half a byte per round, and a count change of a thousandth of the rounds.
When anything grows, each group of calls is run alone to name the one that
leaks.

    python tools/leakcheck.py                      # 1,000,000 rounds (about 7 minutes)
    python tools/leakcheck.py --iterations 20000   # quick
    python tools/leakcheck.py --per-op 20000       # each operation alone

Needs the package, the framework stand-ins (`standins/`) and the data client
stand-in importable. Exit status 1 when something grows beyond noise.
"""

import argparse
import datetime
import gc
import os
import resource
import sys
import time
import tracemalloc

import pandas as pd
from korvane.const import POSITION_DIRECTION, POSITION_EFFECT, SIDE
from korvane.environment import Environment
from korvane.model.order import Order
from korvane.testing import make_env, make_trade
from pelvorn import bond as pelvorn_bond

from korvane_mod_bond import clear_cash_flow_memos
from korvane_mod_bond import position as P
from korvane_mod_bond import trade as T
from korvane_mod_bond import transaction as X
from korvane_mod_bond import validator as V
from korvane_mod_bond.data import BondInstrument, RepoInstrument

EX, IB, REPO, REVERSE = "019547.XSHG", "200205.IB", "204007.XSHG", "131810.XSHE"
TRADE_DAY = datetime.datetime(2024, 9, 20, 15, 0)  # a Friday; Monday the 23rd trades
DUE = datetime.date(2024, 9, 27)  # seven days on, a trading day
COUPON_DAY = datetime.date(2024, 3, 1)
LONG, SHORT = POSITION_DIRECTION.LONG, POSITION_DIRECTION.SHORT


class Log:
    """The user log, counting lines instead of keeping them."""

    def __init__(self):
        self.lines = 0

    def warn(self, msg):  # noqa: ARG002 (the signature of what it stands in for)
        self.lines += 1

    def warning(self, msg):  # noqa: ARG002 (the signature of what it stands in for)
        self.lines += 1


class Client:
    """The data client's bond namespace: frames by order book id, one id that fails."""

    def __init__(self, realized, implied):
        self.realized, self.implied = realized, implied

    def realized_cash_flow(self, order_book_id):
        if order_book_id == "down":
            raise ConnectionError("data client unavailable")
        return self.realized.get(order_book_id)

    def get_implied_cash_flow(self, order_book_id, start, end):  # noqa: ARG002 (the signature of what it stands in for)
        if order_book_id == "down":
            raise ConnectionError("data client unavailable")
        return self.implied.get(order_book_id)


def frames():
    realized = pelvorn_bond.make_realized_frame(
        EX, [("2024-03-01", 3.0, 0.0), ("2025-03-01", 3.0, 0.0), ("2026-03-01", 103.0, 100.0)]
    )
    implied = pelvorn_bond.make_implied_frame(
        IB, [("2024-02-28", 0.0, 1.5, 0.0), ("2024-03-01", 3.0, 0.0, 0.0), ("2025-03-01", 103.0, 0.0, 100.0)]
    )
    nullable = realized.copy()
    nullable["cash_flow"] = pd.array([1, None, 3], dtype="Int64")
    return {
        "realized": realized,
        "implied": implied,
        "nullable": nullable,
        "no column": realized.drop(columns=["principal_payment"]),
        "text": realized.assign(cash_flow=["1", "2", "3"]),
        "empty": realized.iloc[:0],
    }


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call!r} did not raise {error.__name__}")


def read(obj, *properties):
    for name in properties:
        getattr(obj, name)


def build_world():
    """The environment, positions, orders and trades the operations work on,
    and the objects whose reference counts are watched."""
    env = make_env(
        [
            BondInstrument(EX, issue_price=100.0, initial_issue_size=1e6),
            BondInstrument(IB, issue_price=100.0, initial_issue_size=3e9),
            RepoInstrument(REPO, repo_period=7),
            RepoInstrument(REVERSE, repo_period=1),
        ],
        position_classes=[P.BondPosition, P.RepoPosition],
        trading_dt=TRADE_DAY,
        cash=1e9,
    )
    f = frames()
    client = Client(
        {EX: f["realized"], "nullable": f["nullable"], "no column": f["no column"], "text": f["text"]},
        {IB: f["implied"], "empty": f["empty"]},
    )
    P.bond = client
    log = V.user_system_log = Log()
    w = {"env": env, "client": client, "log": log, "frames": f}
    w["bond"] = env.portfolio.get_position(EX, LONG)  # the realized variant, pledged below
    w["ib"] = P.BondPosition(IB, LONG, 1000)  # the implied variant
    w["repo"] = env.portfolio.get_position(REPO, SHORT)
    w["reverse"] = P.RepoPosition(REVERSE, LONG)
    w["buy"] = make_trade(EX, 10, 100.0, commission=1.0)
    w["sell"] = make_trade(EX, 10, 100.0, side=SIDE.SELL, position_effect=POSITION_EFFECT.CLOSE)
    w["financing"] = T.RepoTrade.create_exchange_repo_trade(None, 0.02, 1_000_000, REPO, 0.9, EX, 10)
    w["lending"] = T.RepoTrade.create_exchange_reverse_repo_trade(None, 0.018, 100_000, REVERSE)
    w["not repo"] = make_trade(REPO, 1000, 0.02, side=SIDE.FINANCING)
    w["no quantity"] = make_trade(EX, None, 100.0)
    w["orders"] = {
        "ok": Order(EX, 100, SIDE.BUY, POSITION_EFFECT.OPEN),
        "lot": Order(EX, 105, SIDE.BUY, POSITION_EFFECT.OPEN),
        "nan": Order(EX, float("nan"), SIDE.BUY, POSITION_EFFECT.OPEN),
        "close": Order(EX, 10**6, SIDE.SELL, POSITION_EFFECT.CLOSE),
        "issue": Order(EX, 20_000, SIDE.BUY, POSITION_EFFECT.OPEN),
        "not bond": Order(REPO, 1000, SIDE.BUY, POSITION_EFFECT.OPEN),
        "none": Order(EX, None, SIDE.BUY, POSITION_EFFECT.OPEN),
        "repo ok": Order(REPO, 100_000, SIDE.FINANCING, bond_order_book_id=EX, haircut=0.9),
        "repo small": Order(REPO, 99_999, SIDE.FINANCING, bond_order_book_id=EX, haircut=0.9),
        "repo over": Order(REPO, 10**9, SIDE.FINANCING, bond_order_book_id=EX, haircut=0.9),
        "repo lend": Order(REVERSE, 1000, SIDE.MARGIN, bond_order_book_id=None, haircut=1),
        "repo none": Order(REPO, None, SIDE.FINANCING, bond_order_book_id=EX, haircut=0.9),
        "frozen": Order(IB, 200, SIDE.BUY, POSITION_EFFECT.OPEN, frozen_price=99.5),
    }
    w["bond validator"] = V.BondValidator(env)
    w["repo validator"] = V.RepoValidator(env)
    w["bond decider"] = X.BondTransactionDecider(0.00005, 1.0, 0.0001, 5.0)
    w["repo decider"] = X.RepoTransactionDecider()
    w["proxy"] = P.BondPositionProxy.__new__(P.BondPositionProxy)
    w["repo proxy"] = P.RepoPositionProxy.__new__(P.RepoPositionProxy)
    w["state"] = w["ib"].get_state()
    # Enough held for the closing and pledging calls below, none of it pledged yet.
    env.portfolio.apply_trade(make_trade(EX, 5000, 100.0))
    w["bond"].settlement(TRADE_DAY.date())
    w["watched"] = [
        None,
        True,
        False,
        env,
        client,
        SIDE.BUY,
        SIDE.FINANCING,
        LONG,
        SHORT,
        POSITION_EFFECT.OPEN,
        POSITION_EFFECT.CLOSE,
        *(
            w[k]
            for k in (
                "bond",
                "ib",
                "repo",
                "reverse",
                "buy",
                "sell",
                "financing",
                "lending",
                "not repo",
                "no quantity",
            )
        ),
        *w["orders"].values(),
        *f.values(),
        COUPON_DAY,
        DUE,
        P.BondPosition,
        P.RepoPosition,
        T.RepoTrade,
    ]
    return w


def operations(w):
    """(name, call) pairs: each call makes one realistic call and checks its answer."""
    env, log, orders = w["env"], w["log"], w["orders"]
    bond, ib, repo, reverse = w["bond"], w["ib"], w["repo"], w["reverse"]
    bv, rv, bd, rd = w["bond validator"], w["repo validator"], w["bond decider"], w["repo decider"]
    RepoTrade = T.RepoTrade

    def day_of_a_bond():
        bond.before_trading(COUPON_DAY)
        assert bond.apply_trade(w["buy"]) < 0
        assert bond.apply_trade(w["sell"]) > 0
        bond.settlement(COUPON_DAY)
        read(bond, "equity", "closable", "pledged_quantity", "quantity")

    def day_of_a_repo():
        assert repo.apply_trade(w["financing"]) > 0  # pledges on the bond position too
        assert bond.pledged_quantity == 10
        read(repo, "trading_pnl", "position_pnl", "margin", "market_value", "equity")
        repo.settlement(DUE)  # the amount due paid, the pledge released
        bond.settlement(DUE)
        assert reverse.apply_trade(w["lending"]) < 0
        reverse.settlement(DUE)

    def implied_hooks():
        ib._get_day_cash_flow(COUPON_DAY)
        ib._get_cash_flow_receivable(COUPON_DAY)
        ib._get_cash_flow(datetime.date(2025, 3, 1))
        bond._get_cash_flow_receivable(COUPON_DAY)
        assert bond._get_cash_flow(datetime.date(2026, 3, 1)) == (103.0, True)

    def state():
        ib.set_state(w["state"])
        assert "payment_receivable" in ib.get_state()

    def new_positions():
        assert type(P.BondPosition(EX, LONG)) is P.BondPositionWithRealizedCashFlow
        assert type(P.BondPositionWithRealizedCashFlow(IB, LONG, 10)) is P.BondPositionWithImpliedCashFlow
        P.RepoPosition(REPO, SHORT)

    def tables_built():
        build_real, build_implied = P._all_real_cash_flow.__wrapped__, P._all_implied_cash_flow.__wrapped__
        assert len(build_real(EX)) == 3 and len(build_implied(IB)) == 3
        assert build_real("nullable")["cash_flow"][1] == 0.0
        assert build_implied("empty") is None and build_real("none") is None

    def tables_memoised():
        assert P._all_real_cash_flow(EX) is P._all_real_cash_flow(EX)
        P._all_implied_cash_flow(IB)

    def memos_cleared():
        clear_cash_flow_memos()
        for memo in (P._all_real_cash_flow, P._all_implied_cash_flow):
            assert memo.cache_info().currsize == 0
        assert len(P._all_real_cash_flow(EX)) == 3 and len(P._all_implied_cash_flow(IB)) == 3

    def client_failures():
        expect(ConnectionError, P._all_real_cash_flow, "down")
        expect(ConnectionError, P._all_implied_cash_flow, "down")

    def malformed_frames():
        expect(KeyError, P._all_real_cash_flow.__wrapped__, "no column")
        expect(TypeError, P._all_real_cash_flow.__wrapped__, "text")

    def position_type_errors():
        expect(TypeError, bond.apply_trade, w["not repo"])  # financing trade requires type of RepoTrade
        expect(TypeError, repo.apply_trade, w["buy"])  # unsupported trade type
        expect(NotImplementedError, P.BondPosition._get_cash_flow, bond, COUPON_DAY)
        expect(NotImplementedError, P.BondPosition._get_cash_flow_receivable, bond, COUPON_DAY)
        expect(TypeError, P.BondPosition, EX)  # missing direction
        expect(TypeError, bond.before_trading, COUPON_DAY, 1)  # too many arguments
        expect(TypeError, bond.settlement, date=COUPON_DAY)  # unexpected keyword

    def proxies():
        read(w["proxy"], "type")
        read(w["repo proxy"], "type")

    def repo_trades():
        t = RepoTrade.create_repo_trade(0.02, 1_000_000, REPO, 7, 0.9, EX, 10)
        assert t.position_direction == SHORT
        RepoTrade.create_reverse_repo_trade(0.018, 100_000, REVERSE, 1)
        RepoTrade.create_exchange_repo_trade(None, 0.02, 1_000_000, REPO, 0.9, EX, 10)
        assert (
            RepoTrade.create_exchange_reverse_repo_trade(1, 0.018, 1000, REVERSE).position_direction == LONG
        )
        RepoTrade.__from_create__(None, 0.02, 1000, SIDE.MARGIN, REVERSE, repo_period=3)
        assert RepoTrade.calc_max_amount(REPO, 1_000_000) < 1_000_000
        expect(TypeError, RepoTrade.create_repo_trade, 0.02, 1000, REPO)  # missing arguments
        expect(TypeError, RepoTrade.__from_create__, None, 0.02, 1000, SIDE.MARGIN, REVERSE, REVERSE)
        expect(TypeError, RepoTrade.create_reverse_repo_trade, None, 1000, REVERSE, 1)  # None / 365

    def bond_orders():
        before = log.lines
        assert bv.can_submit_order(orders["ok"], env.portfolio) is True
        for refused in ("lot", "nan", "close", "issue"):
            assert bv.can_submit_order(orders[refused], account=env.portfolio) is False
        assert log.lines == before + 4
        expect(
            TypeError, bv.can_submit_order, orders["not bond"], env.portfolio
        )  # wrong type for bond instrument
        expect(TypeError, bv.can_submit_order, orders["none"], env.portfolio)  # None % round_lot
        expect(TypeError, bv.can_submit_order)
        assert bv.can_cancel_order(orders["ok"]) is True

    def repo_orders():
        before = log.lines
        assert rv.can_submit_order(orders["repo ok"]) is True
        assert rv.can_submit_order(orders["repo small"]) is False
        assert rv.can_submit_order(orders["repo over"], None) is True  # with a warning
        assert rv.can_submit_order(orders["repo lend"]) is True
        assert log.lines == before + 2
        expect(TypeError, rv.can_submit_order, orders["repo none"])
        assert rv.can_cancel_order(orders["repo ok"], None) is True

    def costs():
        assert bd.get_trade_commission(w["buy"]) == 0.1
        assert bd.get_order_transaction_cost(orders["frozen"]) == 1.0
        assert bd.get_trade_tax(w["buy"]) == 0
        bd._get_commission(100.0, 10**6, EX)
        rd.get_trade_commission(w["financing"])
        rd.get_order_transaction_cost(orders["repo ok"])
        assert rd.get_trade_tax(w["financing"]) == 0
        expect(AttributeError, rd.get_order_transaction_cost, w["buy"])  # no haircut
        expect(TypeError, bd.get_trade_commission, w["no quantity"])
        expect(TypeError, X.BondTransactionDecider, 0.1, 1.0)
        X.BondTransactionDecider(0.00005, 1.0, 0.0001, 5.0)
        V.BondValidator(env), V.RepoValidator(env)

    every_round = [
        ("bond position day", day_of_a_bond),
        ("repo positions day", day_of_a_repo),
        ("cash-flow hooks", implied_hooks),
        ("saved state", state),
        ("new positions", new_positions),
        ("tables memoised", tables_memoised),
        ("failing data client", client_failures),
        ("position TypeErrors", position_type_errors),
        ("proxies", proxies),
        ("repo trade factories", repo_trades),
        ("bond orders", bond_orders),
        ("repo orders", repo_orders),
        ("costs", costs),
    ]
    # Building a table from a pandas frame takes some fifty times as long as
    # any call above: these run every tenth round (the memos cleared and refilled too).
    now_and_then = [
        ("tables built", tables_built),
        ("malformed frames", malformed_frames),
        ("memos cleared and refilled", memos_cleared),
    ]
    return every_round, now_and_then


def rss_bytes():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:  # not Linux: the peak is the best there is
        scale = 1 if sys.platform == "darwin" else 1024
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * scale


def measure(every_round, now_and_then, iterations, watched, report=None):
    """Runs `iterations` rounds: every call of `every_round` each round, those of
    `now_and_then` every tenth round. Returns the number of rounds measured and
    of rounds traced, the traced and RSS growth and the change of each watched
    reference count.

    Memory is traced only over the last rounds (at least a tenth, at most all of
    them), for tracemalloc more than doubles the time of a call; RSS and the
    reference counts are taken over every measured round. Caches that fill and
    empty again (pandas' weak references to a frame's index, the table layout
    cache) make traced memory a saw; a leak raises the saw's low points, so the
    growth is the lowest point of the last third of the samples less the lowest
    of the first third.
    """

    def rounds(start, stop):
        for i in range(start, stop):
            for call in every_round:
                call()
            if i % 10 == 0:
                for call in now_and_then:
                    call()

    def checkpoint(done, traced=""):
        if report is None:
            return
        report(
            f"  {done:>10,}  RSS {(rss_bytes() - base_rss) / 2**20:+7.2f} MiB  {traced:<24}"
            f"({time.perf_counter() - started:.0f} s)"
        )

    warmup = max(50, iterations // 20)
    rounds(0, warmup)
    gc.collect()
    refs = [sys.getrefcount(obj) for obj in watched]
    base_rss = rss_bytes()
    started = time.perf_counter()
    measured = iterations - warmup
    traced_rounds = max(measured // 10, min(measured, 50_000))
    traced_from = iterations - traced_rounds
    step = max(1, measured // 20)
    for done in range(warmup, traced_from, step):
        rounds(done, min(done + step, traced_from))
        checkpoint(min(done + step, traced_from))

    gc.collect()
    tracemalloc.start(1)
    base_traced = tracemalloc.get_traced_memory()[0]
    samples = []
    step = max(1, traced_rounds // 12)
    for done in range(traced_from, iterations, step):
        rounds(done, min(done + step, iterations))
        gc.collect()
        samples.append(tracemalloc.get_traced_memory()[0] - base_traced)
        checkpoint(min(done + step, iterations), f"traced {samples[-1] / 1024:+9.1f} KiB")
    tracemalloc.stop()
    third = max(1, len(samples) // 3)
    traced = min(samples[-third:]) - min(samples[:third])
    rss = rss_bytes() - base_rss
    grown = [(obj, sys.getrefcount(obj) - before) for obj, before in zip(watched, refs)]
    return measured, traced_rounds, traced, rss, grown


def verdict(measured, traced_rounds, traced, rss, grown, args):
    traced_limit = args.traced_floor + args.bytes_per_round * traced_rounds
    rss_limit = args.rss_floor + args.bytes_per_round * measured
    ref_limit = max(16, measured // 1000)
    problems = []
    if traced > traced_limit:
        problems.append(f"traced memory grew {traced:,} bytes ({traced / traced_rounds:.1f} per round)")
    if rss > rss_limit:
        problems.append(f"RSS grew {rss:,} bytes ({rss / measured:.1f} per round)")
    for obj, delta in grown:
        if abs(delta) > ref_limit:
            problems.append(f"reference count of {type(obj).__name__} {obj!r:.60} changed by {delta:+,}")
    return problems


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--iterations", type=int, default=1_000_000, help="rounds of calls (default 1,000,000)"
    )
    parser.add_argument("--per-op", type=int, metavar="N", help="run each operation alone N times instead")
    parser.add_argument("--traced-floor", type=int, default=256 * 1024, help="bytes of traced growth allowed")
    parser.add_argument("--rss-floor", type=int, default=8 * 2**20, help="bytes of RSS growth allowed")
    parser.add_argument("--bytes-per-round", type=float, default=0.5, help="growth allowed per round")
    args = parser.parse_args(argv)

    world = build_world()
    every_round, now_and_then = operations(world)
    try:
        if args.per_op:
            return 1 if per_operation(every_round + now_and_then, world, args.per_op, args) else 0
        print(
            f"{args.iterations:,} rounds of {len(every_round)} groups of calls, "
            f"{len(now_and_then)} more every tenth round"
        )
        measured, traced_rounds, traced, rss, grown = measure(
            [call for _, call in every_round],
            [call for _, call in now_and_then],
            args.iterations,
            world["watched"],
            report=lambda line: print(line, flush=True),
        )
        problems = verdict(measured, traced_rounds, traced, rss, grown, args)
        print(
            f"over {measured:,} rounds: RSS {rss:+,} bytes, reference counts changed by at most "
            f"{max(abs(d) for _, d in grown)}; over the last {traced_rounds:,}: traced {traced:+,} bytes"
        )
        if not problems:
            print("flat: no leak")
            return 0
        for problem in problems:
            print("LEAK:", problem)
        print("each group of calls alone:")
        per_operation(every_round + now_and_then, world, max(2000, min(args.iterations, 20_000)), args)
        return 1
    finally:
        Environment.clear_instance()


def per_operation(ops, world, iterations, args):
    """Runs each group of calls alone, every round; returns the names of those that leak."""
    leaking = []
    for name, call in ops:
        measured, traced_rounds, traced, rss, grown = measure([call], [], iterations, world["watched"])
        problems = verdict(measured, traced_rounds, traced, rss, grown, args)
        print(f"  {name:<32} traced {traced / traced_rounds:+8.2f} B/round  {'LEAK' if problems else 'flat'}")
        for problem in problems:
            print("      ", problem)
        if problems:
            leaking.append(name)
    return leaking


if __name__ == "__main__":
    sys.exit(main())
