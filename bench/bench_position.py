"""P1: a book of bond positions through a year of day starts and settlements;
the bond position's hot methods one by one; the memo's edge; peak memory."""

import json
import subprocess
import sys
import time
import tracemalloc

import cfloor
import floors
import pure_python
from common import QUICK, Row, Section, best_seconds, interleaved
from korvane.environment import Environment
from pelvorn import bond
from pure_python import PyBondPosition, PyRepoTrade
from workload import (
    LONG,
    PLEDGED,
    REPO,
    REPO_TRADING_DT,
    bond_book,
    bond_trade,
    forget_client_calls,
    repo_instruments,
    trading_days,
)

from korvane_mod_bond.position import (
    BondPosition,
    BondPositionWithImpliedCashFlow,
    BondPositionWithRealizedCashFlow,
)
from korvane_mod_bond.trade import RepoTrade

BONDS = 1000  # half realized, half implied
DAYS = 20 if QUICK else 250
EDGE_BONDS = 1500  # more than the 1,024 entries of a table memo
EDGE_DAYS = 1


def run_year(real, implied, days, start_real, start_implied, settle_real, settle_implied):
    """The event loop's two daily passes over the book; returns the cash booked."""
    total = 0
    for d in days:
        for p in real:
            total += start_real(p, d)
        for p in implied:
            total += start_implied(p, d)
        for p in real:
            total += settle_real(p, d)
        for p in implied:
            total += settle_implied(p, d)
    return total


def run_methods(real, implied, days):
    total = 0
    for d in days:
        for p in real:
            total += p.before_trading(d)
        for p in implied:
            total += p.before_trading(d)
        for p in real:
            total += p.settlement(d)
        for p in implied:
            total += p.settlement(d)
    return total


def make_book(cls, real_ids, implied_ids):
    real = [cls(i, LONG, 1000) for i in real_ids]
    implied = [cls(i, LONG, 1000) for i in implied_ids]
    return real, implied


def p1(sections):
    env, real_ids, implied_ids = bond_book(BONDS // 2, BONDS // 2, extra_instruments=repo_instruments())
    days = trading_days(DAYS + 1)
    warm_up, days = days[:1], days[1:]
    cpp = make_book(BondPosition, real_ids, implied_ids)
    assert (
        type(cpp[0][0]) is BondPositionWithRealizedCashFlow
        and type(cpp[1][0]) is BondPositionWithImpliedCashFlow
    )
    py = make_book(PyBondPosition, real_ids, implied_ids)
    # The first day fills the memos; both books must book the very same cash.
    cash_cpp = run_methods(*cpp, warm_up + days[:20])
    cash_py = run_methods(*py, warm_up + days[:20])
    assert abs(cash_cpp - cash_py) < 1e-6 * abs(cash_py) and cash_cpp > 0, (cash_cpp, cash_py)
    forget_client_calls()

    year = {
        "cpp": lambda: run_methods(*cpp, days),
        "floor": lambda: run_year(
            *cpp,
            days,
            floors.realized_day_start,
            floors.implied_day_start,
            floors.realized_settlement,
            floors.implied_settlement,
        ),
        "python": lambda: run_methods(*py, days),
    }
    compiled = cfloor.get()
    if compiled:
        year["cfloor"] = lambda: run_year(
            *cpp,
            days,
            compiled.realized_day_start,
            compiled.implied_day_start,
            compiled.realized_settlement,
            compiled.implied_settlement,
        )
    # Best of two for C++ and floor, taken in turn; the Python twin, much slower, once.
    best = {name: float("inf") for name in year}
    for turn in range(2):
        for name, fn in year.items():
            if turn == 0 or name != "python":
                best[name] = min(best[name], best_seconds(fn, repeat=1))
    position_days = BONDS * len(days)
    ns = {name: seconds / position_days * 1e9 for name, seconds in best.items()}
    rows = [
        Row(
            "P1 bond day: before_trading + settlement",
            ns["cpp"],
            ns["floor"],
            ns["python"],
            1.5,
            note="{:,.0f} position-days/s".format(1e9 / ns["cpp"]),
            cfloor=ns.get("cfloor"),
        )
    ]
    rows += hot_methods(cpp, py, days[:10])
    edge = memo_edge(ns["cpp"])
    notes = [
        "P1: {:,} bonds (half realized, half implied, 40-record tables) x {} trading days"
        " = {:,} position-days; C++ {:.2f} s, floor {:.2f} s, Python {:.2f} s per year".format(
            BONDS, len(days), position_days, best["cpp"], best["floor"], best["python"]
        )
    ]
    Environment.clear_instance()
    sections.append(Section("P1 bond positions (ns per position-day / per call)", rows + edge, notes))


def hot_methods(cpp, py, days):
    """ns per call of each hot method over the book, C++ against floor and Python."""
    (cpp_real, cpp_implied), (py_real, py_implied) = cpp, py
    compiled = cfloor.get()
    namespace = {"days": days, "floors": floors}
    rows = []
    for label, method, cpp_ps, py_ps, floor_name in [
        ("before_trading (realized)", "before_trading", cpp_real, py_real, "realized_day_start"),
        ("before_trading (implied)", "before_trading", cpp_implied, py_implied, "implied_day_start"),
        ("settlement (realized)", "settlement", cpp_real, py_real, "realized_settlement"),
        ("settlement (implied)", "settlement", cpp_implied, py_implied, "implied_settlement"),
    ]:
        namespace.update(cpp_ps=cpp_ps, py_ps=py_ps, floor=getattr(floors, floor_name))
        stmts = {
            "cpp": "for d in days:\n for p in cpp_ps: p.{}(d)".format(method),
            "floor": "for d in days:\n for p in cpp_ps: floor(p, d)",
            "python": "for d in days:\n for p in py_ps: p.{}(d)".format(method),
        }
        if compiled:
            namespace["cfloor"] = getattr(compiled, floor_name)
            stmts["cfloor"] = "for d in days:\n for p in cpp_ps: cfloor(p, d)"
        ns = interleaved(stmts, namespace, repeat=3)
        calls = len(days) * len(cpp_ps)
        cf = ns["cfloor"] / calls if compiled else None
        rows.append(
            Row(
                "BondPosition." + label,
                ns["cpp"] / calls,
                ns["floor"] / calls,
                ns["python"] / calls,
                cfloor=cf,
            )
        )

    # Pledges: a few bonds pledged in repos, two due dates each.
    Environment.get_instance().update_time(REPO_TRADING_DT)
    cpp_ps, py_ps = cpp_real[:100], py_real[:100]
    for trade_cls, ps in ((RepoTrade, cpp_ps), (PyRepoTrade, py_ps)):
        for period in (7, 14):
            trade = trade_cls.create_repo_trade(0.02, 1e6, REPO, period, 0.9, PLEDGED, 100)
            for p in ps:
                p.apply_trade(trade)
    pledge_cpp = RepoTrade.create_repo_trade(0.02, 1e6, REPO, 7, 0.9, PLEDGED, 100)
    pledge_py = PyRepoTrade.create_repo_trade(0.02, 1e6, REPO, 7, 0.9, PLEDGED, 100)
    buys_cpp = [(p, bond_trade(p._order_book_id)) for p in cpp_ps]
    buys_py = [(p, bond_trade(p._order_book_id)) for p in py_ps]
    namespace.update(
        cpp_ps=cpp_ps,
        py_ps=py_ps,
        pledge_cpp=pledge_cpp,
        pledge_py=pledge_py,
        buys_cpp=buys_cpp,
        buys_py=buys_py,
    )
    for label, stmts in [
        (
            "closable (two pledges)",
            (
                "for p in cpp_ps: p.closable",
                "for p in cpp_ps: floors.closable(p)",
                "for p in py_ps: p.closable",
            ),
        ),
        (
            "apply_trade (financing: a pledge)",
            (
                "for p in cpp_ps: p.apply_trade(pledge_cpp)",
                "for p in cpp_ps: floors.bond_financing_apply_trade(p, pledge_cpp)",
                "for p in py_ps: p.apply_trade(pledge_py)",
            ),
        ),
        (
            "apply_trade (a buy, booked by the base)",
            (
                "for p, t in buys_cpp: p.apply_trade(t)",
                "for p, t in buys_cpp: floors.bond_buy_apply_trade(p, t)",
                "for p, t in buys_py: p.apply_trade(t)",
            ),
        ),
    ]:
        ns = interleaved(dict(zip(("cpp", "floor", "python"), stmts)), namespace, repeat=3)
        n = len(cpp_ps)
        rows.append(Row("BondPosition." + label, ns["cpp"] / n, ns["floor"] / n, ns["python"] / n))
    return rows


def memo_edge(p1_ns):
    """A book of more bonds than a table memo holds: every lookup misses."""
    env, real_ids, _ = bond_book(EDGE_BONDS, 0)
    days = trading_days(EDGE_DAYS + 1)
    real, _ = make_book(BondPosition, real_ids, [])
    py_real, _ = make_book(PyBondPosition, real_ids, [])
    run_methods(real, [], days[:1])
    run_methods(py_real, [], days[:1])
    forget_client_calls()
    seconds = best_seconds(lambda: run_methods(real, [], days[1:]), repeat=1)
    queries = len(bond.calls)
    forget_client_calls()
    py_seconds = best_seconds(lambda: run_methods(py_real, [], days[1:]), repeat=1)
    forget_client_calls()
    position_days = EDGE_BONDS * EDGE_DAYS
    ns = seconds / position_days * 1e9
    Environment.clear_instance()
    return [
        Row(
            "memo edge: {:,} exchange bonds held".format(EDGE_BONDS),
            ns,
            python=py_seconds / position_days * 1e9,
            note="{:.0f} ms a day, {:.0f}x a P1 position-day; {:.1f} client queries per position-day".format(
                seconds / EDGE_DAYS * 1e3, ns / p1_ns, queries / position_days
            ),
        )
    ]


# ------------------------------------------------------------------ memory


def _rss_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


MEMORY_DAYS = 20 if QUICK else 60


def measure_memory():
    """P1's book in this (fresh) process: the resident set it adds, then what
    tracemalloc sees of it, for the C++ classes and their Python twins. Prints JSON."""
    from korvane_mod_bond import clear_cash_flow_memos

    _, real_ids, implied_ids = bond_book(BONDS // 2, BONDS // 2)
    days = trading_days(MEMORY_DAYS)
    forget_client_calls()
    result = {"before": _rss_kib("VmRSS")}
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak counts from here
    except OSError:
        pass
    book = make_book(BondPosition, real_ids, implied_ids)
    run_methods(*book, days)
    forget_client_calls()
    result["peak"] = _rss_kib("VmHWM")
    del book
    for name, cls, clear_memos in [
        ("cpp", BondPosition, clear_cash_flow_memos),
        ("python", PyBondPosition, pure_python.clear_cash_flow_memos),
    ]:
        clear_memos()
        tracemalloc.start()
        book = make_book(cls, real_ids, implied_ids)
        run_methods(*book, days)
        forget_client_calls()
        result[name] = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        del book
    print(json.dumps(result))


def memory(sections):
    out = subprocess.run(
        [sys.executable, __file__, "--memory"], check=True, capture_output=True, text=True
    ).stdout
    m = json.loads(out.strip().splitlines()[-1])
    mib = 1 / (1 << 20)
    notes = [
        "P1 peak memory (tracemalloc; the 1,000 positions, their memoised tables and {} days' run):"
        " C++ {:.1f} MiB (kept {:.1f}), Python {:.1f} MiB (kept {:.1f})".format(
            MEMORY_DAYS, m["cpp"][1] * mib, m["cpp"][0] * mib, m["python"][1] * mib, m["python"][0] * mib
        ),
        "P1 resident set (C++): {:.1f} MiB before the book, peak {:.1f} MiB (+{:.1f})".format(
            m["before"] / 1024, m["peak"] / 1024, (m["peak"] - m["before"]) / 1024
        ),
    ]
    sections.append(Section("P1 memory", notes=notes))


def run(sections):
    start = time.perf_counter()
    p1(sections)
    sys.stderr.write("  P1 and memo edge: {:.1f} s\n".format(time.perf_counter() - start))
    memory(sections)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--memory":
        measure_memory()
    else:
        from common import print_table

        out = []
        run(out)
        print_table(out)
