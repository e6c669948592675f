"""What happens to the user's process around the modules: daemon threads still
inside a method when the interpreter exits (also inside the __del__ of an
object a method let go), first calls made by several threads at once while
Python code that lets the GIL go runs under them (an import hook, a
finaliser), a subinterpreter importing a module, and a module loaded a second
time after it was dropped from sys.modules. Each case runs in a fresh
interpreter with a timeout.
"""

import os
import subprocess
import sys
import textwrap

import pytest

MODULES = ["trade", "position", "validator", "transaction"]
RUNS = 20

# Runs `child()` in RUNS children forked from this interpreter (each ends as
# any interpreter does, through its shutdown, or by its own exit status) and
# prints their exit statuses, "hung" for one still running after a minute.
FORKED_RUNS = """
def forked_runs(child):
    codes = []
    for _ in range(RUNS):
        pid = os.fork()
        if pid == 0:
            child()
        deadline = time.monotonic() + 60
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                codes.append(os.waitstatus_to_exitcode(status))
                break
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                codes.append("hung")
                break
            time.sleep(0.005)
    print(codes)
"""

# The four modules' environment: an exchange bond held long, a one-day repo.
ENVIRONMENT = """
import builtins, datetime, gc, os, sys, threading, time
from korvane.const import POSITION_DIRECTION, POSITION_EFFECT, SIDE
from korvane.testing import make_env
from pelvorn import bond
from korvane_mod_bond import position as P, trade as T, transaction as D, validator as V
from korvane_mod_bond.data import BondInstrument, RepoInstrument

BOND, REPO = "019547.XSHG", "204001.XSHG"
env = make_env(
    [BondInstrument(BOND, issue_price=100.0, initial_issue_size=1e10), RepoInstrument(REPO, repo_period=1)],
    position_classes=[P.BondPosition, P.RepoPosition],
    trading_dt=datetime.datetime(2024, 9, 20, 15, 0),
)
bond.set_frames(realized={BOND: None})
"""

# Starts a daemon thread per module, each calling its module's entry in a
# loop, and ends the interpreter once each has been round `rounds` times and
# then `settle` seconds more.
DAEMONS = """
def daemons_until_exit(calls, rounds, settle):
    started = threading.Barrier(len(calls) + 1)

    def busy(call):
        for _ in range(rounds):
            call()
        started.wait()
        while True:
            call()

    for name in MODULES:
        threading.Thread(target=busy, args=(calls[name],), daemon=True).start()
    started.wait()
    time.sleep(settle)
    raise SystemExit(0)
"""

# Four daemon threads, one per module, each calling a method that runs Python
# code (a property, the host's base class, a sibling function) in a loop; the
# main thread ends once every thread has been round a few times, and they are
# back in their loops, waiting for the GIL in turn.
BUSY_AT_EXIT = """
D.calc_repo_commission = lambda order_book_id, amount: amount * 1e-5

class Order:
    order_book_id = REPO
    @property
    def side(self):
        return "SELL" + "".join(str(i) for i in range(3))

class Trade:
    order_book_id = REPO
    @property
    def last_quantity(self):
        return sum(range(10)) * 1.0

position = P.BondPosition(BOND, "LONG")
validator, decider = V.RepoValidator(env), D.RepoTransactionDecider()
today = datetime.date(2024, 9, 20)
calls = {
    "trade": lambda: T.RepoTrade.calc_max_amount(REPO, 1000.0),
    "position": lambda: (position.before_trading(today), position.settlement(today)),
    "validator": lambda: validator.can_submit_order(Order()),
    "transaction": lambda: decider.get_trade_commission(Trade()),
}
forked_runs(lambda: daemons_until_exit(calls, 20, 0.02))
"""

# A daemon thread per module, each calling an entry that lets go of the last
# reference to an object of the user's whose __del__ lets the GIL go (a 20 ms
# sleep): when the main thread returns, the threads are most likely inside
# that __del__, and the interpreter ends them there.
DROPS_AT_EXIT = """
class Slow(float):
    def __del__(self):
        time.sleep(0.02)

class Position(P.BondPositionWithRealizedCashFlow):
    @property
    def _payment_receivable(self):
        return Slow(1.0)

    @_payment_receivable.setter
    def _payment_receivable(self, value):
        pass

class Order:
    order_book_id = REPO

    @property
    def side(self):
        return Slow(0.0)

class Trade:
    order_book_id = REPO

    @property
    def last_quantity(self):
        return Slow(1000.0)

position = P.BondPosition(BOND, "LONG")
position.__class__ = Position
T.get_commission_rate = lambda order_book_id: Slow(1e-5)
D.calc_repo_commission = lambda order_book_id, amount: amount * 1e-5
validator, decider = V.RepoValidator(env), D.RepoTransactionDecider()
calls = {
    "trade": lambda: T.RepoTrade.calc_max_amount(REPO, 1000.0),
    "position": lambda: position.equity,
    "validator": lambda: validator.can_submit_order(Order()),
    "transaction": lambda: decider.get_trade_commission(Trade()),
}

forked_runs(lambda: daemons_until_exit(calls, 1, 0.05))
"""

# Each thread makes the first calls of every entry that reads an Enum member
# (and of the cost decider's), in an order of its own, while an import hook
# and the finalisers of cyclic garbage let the GIL go under them: a C++
# static whose initialiser ran Python code would leave one thread waiting on
# its guard with the GIL, the other waiting for the GIL inside the initialiser.
FIRST_CALLS = """
env.portfolio.get_position(BOND, POSITION_DIRECTION.LONG)._old_quantity = 1000
T.get_commission_rate = lambda order_book_id: 1e-5
T.calc_repo_commission = D.calc_repo_commission = lambda order_book_id, amount: amount * 1e-5

class Order:
    def __init__(self, **fields):
        self.__dict__.update(fields)

class Trade:
    order_book_id = REPO
    last_quantity = 1000.0

bond_order = Order(
    order_book_id=BOND, quantity=100, side=SIDE.BUY, position_effect=POSITION_EFFECT.CLOSE,
    position_direction=POSITION_DIRECTION.LONG,
)
repo_order = Order(order_book_id=REPO, quantity=1e6, side=SIDE.FINANCING, bond_order_book_id=BOND)

def repo_trade():
    trade = T.RepoTrade.create_repo_trade(0.02, 100_000, REPO, None, 0.9, BOND, 10)
    return trade.position_direction, T.RepoTrade.create_reverse_repo_trade(0.02, 1000, REPO, None)

def pledge():
    return T.RepoTrade.create_exchange_repo_trade("1", 0.02, 100_000, REPO, 0.9, BOND, 10)

calls = [
    repo_trade,
    lambda: P.RepoPosition(REPO, POSITION_DIRECTION.SHORT).apply_trade(pledge()),
    lambda: P.BondPosition(BOND, POSITION_DIRECTION.LONG).apply_trade(pledge()),
    lambda: V.BondValidator(env).can_submit_order(bond_order),
    lambda: V.RepoValidator(env).can_submit_order(repo_order),
    lambda: D.RepoTransactionDecider().get_trade_commission(Trade()),
]

class Finaliser:
    def __del__(self):
        time.sleep(0.001)

def garbage():
    cycle = Finaliser()
    cycle.cycle = cycle

real_import = builtins.__import__

def slow_import(*args, **kwargs):
    time.sleep(0.002)
    return real_import(*args, **kwargs)

def first_calls_at_once():
    builtins.__import__ = slow_import
    gc.set_threshold(1)
    failures = []

    def first(offset):
        for i in range(len(calls)):
            garbage()
            try:
                calls[(i + offset) % len(calls)]()
            except Exception as error:
                failures.append(repr(error))

    threads = [threading.Thread(target=first, args=(n,)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    sys.stderr.write("".join(f + "\\n" for f in failures))
    sys.stderr.flush()
    os._exit(3 if failures else 0)

# No call made before the children are forked: each starts with its statics unmade.
forked_runs(first_calls_at_once)
"""


# A daemon thread lets go of objects through the cost decider while an exit
# handler that runs after the modules' own (atexit runs the last registered
# first) takes its time: the thread holds the GIL when it lets go, so the
# objects are freed, and the handler finds hardly any of them alive. (Counted,
# not measured as resident memory: the sanitizer's allocator keeps freed
# memory aside.)
SLOW_EXIT_HANDLER = """
import atexit, threading, time

class Payload:
    alive = 0

    def __init__(self):
        Payload.alive += 1

    def __del__(self):
        Payload.alive -= 1

def slow_exit_handler():
    time.sleep(0.5)
    print(Payload.alive)

atexit.register(slow_exit_handler)

from korvane_mod_bond import transaction as D

class Trade:
    order_book_id = "204001.XSHG"

    @property
    def last_quantity(self):
        return Payload()

D.calc_repo_commission = lambda order_book_id, amount: 0.0
decider = D.RepoTransactionDecider()

def busy():
    while True:
        decider.get_trade_commission(Trade())

threading.Thread(target=busy, daemon=True).start()
time.sleep(0.1)
"""


def fresh_interpreter(code, **kwargs):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        **kwargs,
    )


def finished(process, timeout=120):
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
        err += "\n(timed out)"
    return process.returncode, out, err


@pytest.mark.parametrize("scenario", [BUSY_AT_EXIT, DROPS_AT_EXIT], ids=["busy", "inside a __del__"])
def test_daemon_threads_inside_every_module_let_the_interpreter_exit(scenario):
    code = "MODULES, RUNS = {!r}, {}\n".format(MODULES, RUNS) + ENVIRONMENT + FORKED_RUNS + DAEMONS + scenario
    status, out, err = finished(fresh_interpreter(code), timeout=300)
    assert status == 0, err[-2000:]
    assert out.strip() == repr([0] * RUNS), err[-2000:]


@pytest.mark.parametrize("threads", [2, 8])
def test_first_calls_from_several_threads_finish_while_python_code_lets_the_gil_go(threads):
    code = "THREADS, RUNS = {}, 5\n".format(threads) + ENVIRONMENT + FORKED_RUNS + FIRST_CALLS
    status, out, err = finished(fresh_interpreter(code), timeout=300)
    assert status == 0, err[-2000:]
    assert out.strip() == repr([0] * 5), err[-2000:]


def test_references_let_go_while_a_slow_exit_handler_runs_are_freed():
    status, out, err = finished(fresh_interpreter(SLOW_EXIT_HANDLER), timeout=60)
    assert status == 0, err[-2000:]
    assert int(out) < 100, out  # left as they were, they would be hundreds of thousands


SUBINTERPRETER = """
import os, sys
try:
    import _interpreters as interpreters  # 3.13
except ImportError:
    import _xxsubinterpreters as interpreters  # 3.9 to 3.12
read, write = os.pipe()
script = '''
import os
try:
    import korvane_mod_bond.{module}
    text = "imported"
except ImportError as error:
    text = type(error).__name__ + ": " + str(error)
os.write({write}, text.encode())
'''
interpreter = interpreters.create()
interpreters.run_string(interpreter, script.format(module={module!r}, write=write))
interpreters.destroy(interpreter)
os.close(write)
print(os.read(read, 4096).decode())
"""


@pytest.mark.parametrize("module", MODULES)
def test_a_subinterpreter_import_fails_fast(module):
    status, out, err = finished(
        fresh_interpreter(SUBINTERPRETER.replace("{module!r}", repr(module))), timeout=60
    )
    assert status == 0, err[-2000:]
    assert out.startswith("ImportError: "), out
    assert "korvane_mod_bond.{}".format(module) in out and "interpreter" in out


def test_a_second_load_of_every_module_works_on_its_own():
    code = """
    import datetime, importlib, sys
    from korvane.const import POSITION_DIRECTION, SIDE
    from korvane.testing import make_env
    from pelvorn import bond
    from korvane_mod_bond.data import BondInstrument, RepoInstrument

    BOND, REPO = "019547.XSHG", "204001.XSHG"
    names = ["position", "validator", "transaction", "trade"]
    first = {n: importlib.import_module("korvane_mod_bond." + n) for n in names}
    for n in names:
        del sys.modules["korvane_mod_bond." + n]
    second = {n: importlib.import_module("korvane_mod_bond." + n) for n in names}
    assert all(first[n] is not second[n] for n in names)

    P1, T1 = first["position"], first["trade"]
    instruments = [BondInstrument(BOND, issue_price=100.0, initial_issue_size=1e10)]
    instruments.append(RepoInstrument(REPO, repo_period=1))
    env = make_env(
        instruments,
        position_classes=[P1.BondPosition, P1.RepoPosition],
        trading_dt=datetime.datetime(2024, 9, 20, 15, 0),
    )
    bond.set_frames(realized={BOND: None})

    # Each load reads its own globals: the second's are rebound, the first's are not.
    second["transaction"].calc_repo_commission = lambda order_book_id, amount: "second"
    second["trade"].get_commission_rate = lambda order_book_id: "second"
    trade = type("Trade", (), {"order_book_id": REPO, "last_quantity": 1000.0})()
    print(first["transaction"].RepoTransactionDecider().get_trade_commission(trade) != "second")
    print(T1.RepoTrade.calc_max_amount(REPO, 1000.0) != "second")
    held = P1.BondPosition(BOND, POSITION_DIRECTION.LONG)
    P2 = second["position"]
    print(isinstance(held, P1.BondPosition), isinstance(P2.BondPosition(BOND, "LONG"), P2.BondPosition))
    env.portfolio.get_position(BOND, POSITION_DIRECTION.LONG)._old_quantity = 1000
    repo = P1.RepoPosition(REPO, POSITION_DIRECTION.SHORT)
    pledge = T1.RepoTrade.create_repo_trade(0.02, 100_000, REPO, None, 0.9, BOND, 100)
    print(repo.apply_trade(pledge) > 0)
    loaded = sys.modules["korvane_mod_bond.position"]
    print(importlib.reload(P2) is P2, P2.BondPosition is loaded.BondPosition)
    """
    status, out, err = finished(fresh_interpreter(code))
    assert status == 0, err[-2000:]
    assert out.split() == ["True"] * 7
