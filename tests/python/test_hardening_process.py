"""What happens to the user's process around the modules: daemon threads still
inside a method when the interpreter exits, a subinterpreter importing a
module, and a module loaded a second time after it was dropped from
sys.modules. Each case runs in a fresh interpreter with a timeout.
"""

import os
import subprocess
import sys
import textwrap

import pytest

MODULES = ["trade", "position", "validator", "transaction"]
RUNS = 20

# Four daemon threads, one per module, each calling a method that runs Python
# code (a property, the host's base class, a sibling function) in a loop; the
# main thread ends once every thread has been round a few times. Each run is
# a child forked from one interpreter that has imported everything once, and
# ends as any interpreter does, through its shutdown.
BUSY_AT_EXIT = """
import datetime, os, threading, time
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

def busy_until_exit():
    started = threading.Barrier(len(calls) + 1)

    def busy(call):
        for _ in range(20):
            call()
        started.wait()
        while True:
            call()

    for name in MODULES:
        threading.Thread(target=busy, args=(calls[name],), daemon=True).start()
    started.wait()
    time.sleep(0.02)  # every thread back in its loop, waiting for the GIL in turn
    raise SystemExit(0)

codes = []
for _ in range(RUNS):
    pid = os.fork()
    if pid == 0:
        busy_until_exit()
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


def test_daemon_threads_inside_every_module_let_the_interpreter_exit():
    code = "MODULES, RUNS = {!r}, {}\n".format(MODULES, RUNS) + BUSY_AT_EXIT
    status, out, err = finished(fresh_interpreter(code), timeout=300)
    assert status == 0, err[-2000:]
    assert out.strip() == repr([0] * RUNS), err[-2000:]


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
