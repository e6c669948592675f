"""The command line never fails like a script: bad input gets one line and status 2 before
the run, a failure after it one line and status 3, Ctrl-C one line and status 130 from the
entry's first import on, and no output is ever left torn."""

import os
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from korvane.environment import Environment
from korvane_bond_demo import chart, cli
from korvane_bond_demo.files import staged
from korvane_bond_demo.outputs import OUTPUTS

SHORT = ["--start", "2024-09-02", "--end", "2024-09-13", "--no-progress"]


@pytest.fixture(autouse=True)
def _no_environment_left():
    yield
    Environment.clear_instance()


def _main(args, capsys):
    code = cli.main(args)
    captured = capsys.readouterr()
    return code, captured.out, captured.err


@pytest.mark.parametrize(
    "make, out, message",
    [
        (
            lambda tmp: (tmp / "file").write_text("x"),
            "file",
            "the output folder {tmp}/file is a file, not a folder",
        ),
        (
            lambda tmp: (tmp / "file").write_text("x"),
            "file/sub",
            "the output folder {tmp}/file/sub cannot be made: {tmp}/file is a file, not a folder",
        ),
        (lambda _tmp: None, "/proc/korvane-demo", "cannot make the output folder /proc/korvane-demo: "),
        (lambda _tmp: None, "/proc/self", "cannot write into the output folder /proc/self: "),
        (
            lambda tmp: (tmp / "out" / "equity.png").mkdir(parents=True),
            "out",
            "{tmp}/out/equity.png is in the way of an output: it is not a regular file",
        ),
        (lambda _tmp: None, "", "the output folder is empty"),
        (lambda _tmp: None, "  ", "the output folder is empty"),
    ],
)
def test_an_unusable_output_folder_is_refused_before_the_run(
    tmp_path, capsys, monkeypatch, make, out, message
):
    make(tmp_path)
    monkeypatch.chdir(tmp_path)
    before = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*"))
    target = out if out.startswith("/") or not out.strip() else str(tmp_path / out)
    code, printed, err = _main(["--out", target] + SHORT, capsys)
    assert (code, printed) == (2, "")
    assert err.count("\n") == 1 and err.startswith("korvane-bond-demo: error: ")
    assert message.format(tmp=tmp_path) in err
    assert sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*")) == before  # nothing written


@pytest.mark.parametrize(
    "args, message",
    [
        (["--cash", "1e400"], "initial cash must be a finite amount, got inf"),
        (["--cash", "inf"], "initial cash must be a finite amount"),
        (["--cash", "nan"], "initial cash must be a finite amount"),
        (["--cash", "-5"], "initial cash must be a positive amount"),
        (["--cash", "0"], "initial cash must be a positive amount"),
        (["--cash", "lots"], "not an amount: 'lots'"),
        (["--start", "2024-13-01"], "not a date (YYYY-MM-DD): '2024-13-01'"),
        (
            ["--start", "2025-01-02", "--end", "2024-01-02"],
            "the start 2025-01-02 is after the end 2024-01-02",
        ),
        (["--start", "2022-06-01"], "the bundled market data covers 2023-01-03 to 2025-12-31"),
        (["--end", "2026-01-05"], "the bundled market data covers 2023-01-03 to 2025-12-31"),
        (
            ["--start", "2024-10-01", "--end", "2024-10-07"],
            "no trading day between 2024-10-01 and 2024-10-07",
        ),
        (["--frobnicate"], "unrecognized arguments: --frobnicate"),
        (["--cash", "1e308"], "the initial cash must be at most 1e+15 yuan, got 1e+308"),
        (["--bonds", "019547.XSHG:15"], "bonds: 019547.XSHG: 15 is not a whole number of lots of 10"),
        (["--bonds", "200205.IB:500"], "bonds: 200205.IB: the inter-bank market trades at least 1,000 bonds"),
        (
            ["--bonds", "019547.XSHG:1000", "--pledges", "127001.XSHE:0.7"],
            "pledges: 127001.XSHE is not among the bonds bought (019547.XSHG)",
        ),
        (["--pledges", "200205.IB:0.5"], "pledges: 200205.IB is an inter-bank bond"),
        (
            ["--exit-days", "0"],
            "exit days 0: a 7-day repo opened on 2025-12-31 falls due after the bundled market data ends "
            "(2025-12-31); give at least 5 exit days or an earlier end",
        ),
        (["--strategy", "bold"], "strategy: one of conservative, carry, got 'bold'"),
        (["--target-leverage", "0"], "the target leverage must be above 0 and at most 20, got 0.0"),
        (["--config", "/dev/zero"], "the settings file /dev/zero is not a regular file"),
        (["--config", "{tmp}/fifo"], "the settings file {tmp}/fifo is not a regular file"),
        (["--config", "{tmp}"], "the settings file {tmp} is not a regular file"),
        (
            ["--config", "{tmp}/big.toml"],
            "the settings file {tmp}/big.toml is 1,048,579 bytes, above the limit of 1,048,576",
        ),
        (["--data", "{tmp}/nowhere"], "no data folder {tmp}/nowhere"),
    ],
)
def test_bad_options_get_one_line_and_status_2(tmp_path, capsys, args, message):
    out = tmp_path / "out"
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "big.toml").write_text("# " + "x" * (1 << 20) + "\n", encoding="utf-8")
    args = [a.format(tmp=tmp_path) for a in args]
    message = message.format(tmp=tmp_path)
    try:
        code, printed, err = _main(args + ["--out", str(out), "--no-progress"], capsys)
    except SystemExit as stop:  # argparse's refusals exit from the parser
        code, captured = stop.code, capsys.readouterr()
        printed, err = captured.out, captured.err
    assert (code, printed) == (2, "")
    assert err.count("\n") == 1 and err.startswith("korvane-bond-demo: error: ")
    assert message in err
    assert not out.exists()


def test_help_names_the_data_span_and_every_output(capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["--help"])
    assert stop.value.code == 0
    text = capsys.readouterr().out
    assert f"cover {cli.DATA_FIRST} to {cli.DATA_LAST}" in text
    for name in OUTPUTS:
        assert name in text
    from korvane_bond_demo.dataset import bundled

    market = bundled()
    assert (str(market.first_date), str(market.last_date)) == (cli.DATA_FIRST, cli.DATA_LAST)


def _old_outputs(out):
    out.mkdir(parents=True, exist_ok=True)
    for name in OUTPUTS:
        (out / name).write_text(f"old {name}\n", encoding="utf-8")


def _check_whole(out, reference):
    """Every output is the previous one or the complete new one; no temporary file is left."""
    leftovers = sorted(p.name for p in out.iterdir() if p.name not in OUTPUTS)
    assert leftovers == []
    states = set()
    for name in OUTPUTS:
        data = (out / name).read_bytes()
        if data == f"old {name}\n".encode():
            states.add("old")
        else:
            assert data == (reference / name).read_bytes(), f"{name} is neither the old nor the new output"
            states.add("new")
    return states


def test_an_interrupt_while_writing_leaves_the_previous_outputs(tmp_path, capsys, monkeypatch):
    out = tmp_path / "out"
    _old_outputs(out)

    def interrupted(*_args):
        raise KeyboardInterrupt  # as Ctrl-C would, after the CSV files have been staged

    monkeypatch.setattr(chart, "render_chart", interrupted)
    code, printed, err = _main(["--out", str(out)] + SHORT, capsys)
    assert (code, printed, err) == (130, "", "korvane-bond-demo: interrupted\n")
    assert sorted(p.name for p in out.iterdir()) == sorted(OUTPUTS)
    for name in OUTPUTS:
        assert (out / name).read_text(encoding="utf-8") == f"old {name}\n"


def test_ctrl_c_while_renaming_waits_until_every_output_is_in_place(tmp_path, monkeypatch):
    import korvane_bond_demo.files as files

    rename = os.replace

    def replace_and_interrupt(source, target):
        os.kill(os.getpid(), signal.SIGINT)  # Ctrl-C between two renames
        rename(source, target)

    monkeypatch.setattr(files.os, "replace", replace_and_interrupt)
    with pytest.raises(KeyboardInterrupt):
        with staged(tmp_path) as staging:
            for name in ("a.csv", "b.csv"):
                staging.path(name).write_text(name)
    assert sorted((p.name, p.read_text()) for p in tmp_path.iterdir()) == [
        ("a.csv", "a.csv"),
        ("b.csv", "b.csv"),
    ]


def test_a_failed_run_leaves_no_staged_file(tmp_path):
    with pytest.raises(RuntimeError):
        with staged(tmp_path) as staging:
            staging.path("a.csv").write_text("half")
            raise RuntimeError("the chart failed")
    assert list(tmp_path.iterdir()) == []


@pytest.fixture(scope="module")
def reference_outputs(tmp_path_factory):
    """A complete run of the command, in a fresh interpreter, into the folder the
    interrupted runs use (the summary names its folder)."""
    root = tmp_path_factory.mktemp("sigint")
    started = time.monotonic()
    done = _command(root / "out")
    took = time.monotonic() - started
    assert done.returncode == 0, done.stderr
    reference = root / "reference"
    (root / "out").rename(reference)
    return root, reference, took


def _command(out, **kwargs):
    args = [sys.executable, "-m", "korvane_bond_demo", "--out", str(out), "--no-progress"]
    return subprocess.run(args, capture_output=True, text=True, timeout=300, **kwargs)


@pytest.mark.parametrize("share", [0.3, 0.55, 0.75, 0.9, 0.97])
def test_ctrl_c_mid_run_ends_with_one_line_and_leaves_no_torn_file(reference_outputs, share):
    """A real SIGINT at a share of the time a whole run takes: while importing, running,
    writing or shutting down."""
    root, reference, took = reference_outputs
    out = root / "out"
    if out.exists():
        for p in out.iterdir():
            p.unlink()
    _old_outputs(out)
    args = [sys.executable, "-m", "korvane_bond_demo", "--out", str(out), "--no-progress"]
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(share * took)
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=300)
    if process.returncode == 0:  # the run ended before the signal came
        assert _check_whole(out, reference) == {"new"}
        return
    assert process.returncode == 130, stderr
    assert stderr == "korvane-bond-demo: interrupted\n"
    assert stdout == ""
    assert _check_whole(out, reference) in ({"old"}, {"new"})


# The command as its entry runs it, with Ctrl-C sent the moment it starts loading the
# module named first: the entry is still importing.
ENTRY_INTERRUPTED = textwrap.dedent(
    """
    import os, runpy, signal, sys

    class Interrupt:
        def find_spec(self, name, path=None, target=None):
            if name == WHEN:
                sys.meta_path.remove(self)
                os.kill(os.getpid(), signal.SIGINT)
            return None

    WHEN = sys.argv[1]
    sys.meta_path.insert(0, Interrupt())
    sys.argv = ["korvane-bond-demo", *sys.argv[2:]]
    runpy.run_module("korvane_bond_demo", run_name="__main__", alter_sys=True)
    """
)
SWEEP = ["sweep", *SHORT[:4], "--set", "repo_tenor_days=1,7", "--no-progress"]


# What a sweep says on stderr before its first point ends ("12 points on 2 worker processes").
SWEEP_STARTED = re.compile(r"\d+ points?( \(.*\))? on .+")


def _interrupted_cleanly(process_result, out):
    """Status 130, "interrupted" as the last line, and before it nothing but the line a
    sweep says when it starts (a Ctrl-C may come after it): no traceback."""
    code, stdout, stderr = process_result
    *before, last = stderr.splitlines() or [""]
    assert (code, stdout, last) == (130, "", "korvane-bond-demo: interrupted"), stderr
    assert stderr.endswith("\n") and all(SWEEP_STARTED.fullmatch(line) for line in before), stderr
    if out.exists():  # nothing half-written: the previous outputs, or none
        assert [p.name for p in out.iterdir() if p.name.startswith(".")] == []


@pytest.mark.parametrize(
    "args, when",
    [
        ([], "korvane_bond_demo.cli"),  # the first import after the handler
        ([], "pandas"),
        ([], "korvane.runner"),
        ([], "QuantLib"),  # the run is over: the analysis starts
        ([], "matplotlib"),  # the outputs are being staged
        (SWEEP, "korvane_bond_demo.sweep_cli"),
        (SWEEP, "pandas"),
        (SWEEP, "korvane_bond_demo.pool"),  # the table is there, the workers not yet
    ],
)
def test_ctrl_c_while_the_entry_is_still_importing_is_one_line(tmp_path, args, when):
    out = tmp_path / "out"
    if not args:
        _old_outputs(out)
    done = subprocess.run(
        [sys.executable, "-c", ENTRY_INTERRUPTED, when, *args, "--out", str(out), "--no-progress"],
        capture_output=True, text=True, timeout=300,
    )  # fmt: skip
    _interrupted_cleanly((done.returncode, done.stdout, done.stderr), out)
    if not args:
        assert _check_whole(out, out) == {"old"}


@pytest.mark.parametrize("args", [[], SWEEP], ids=["run", "sweep"])
@pytest.mark.parametrize("delay", [0.2, 1.0])
def test_ctrl_c_early_in_the_installed_command_is_one_line(tmp_path, args, delay):
    script = os.path.join(os.path.dirname(sys.executable), "korvane-bond-demo")
    out = tmp_path / "out"
    process = subprocess.Popen(
        [script, *args, "--out", str(out), "--no-progress"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True, start_new_session=True,
    )  # fmt: skip
    time.sleep(delay)
    os.killpg(process.pid, signal.SIGINT)  # as a terminal's Ctrl-C: the whole process group
    stdout, stderr = process.communicate(timeout=300)
    _interrupted_cleanly((process.returncode, stdout, stderr), out)


@pytest.mark.parametrize(
    "fault, message",
    [
        (OSError(28, "No space left on device"), "cannot write the outputs into {out}: No space left"),
        (None, "the run's totals are not finite numbers"),
    ],
    ids=["disk-full", "not-finite"],
)
def test_a_failure_after_the_run_has_a_status_of_its_own_and_keeps_the_previous_outputs(
    tmp_path, capsys, monkeypatch, fault, message
):
    from korvane_bond_demo import backtest, tables

    out = tmp_path / "out"
    _old_outputs(out)
    if fault is None:

        def overflowed(result, _ledger):
            raise backtest.NotFinite(f"the run's totals are not finite numbers ({result.initial_cash:g})")

        monkeypatch.setattr(backtest, "_check_finite", overflowed)
    else:

        def full(*_args):
            raise fault

        monkeypatch.setattr(tables, "write_csv", full)
    code, printed, err = _main(["--out", str(out)] + SHORT, capsys)
    assert (code, printed) == (3, "")
    assert err.startswith("korvane-bond-demo: error: " + message.format(out=out)) and err.count("\n") == 1
    assert _check_whole(out, out) == {"old"}
