"""No output is ever left torn: Ctrl-C, from the entry's first import on, ends a command with
one line and status 130, and an interrupted or failed run leaves the previous outputs, or
none."""

import os
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from korvane_bond_demo import analysis, chart, cli, tables
from korvane_bond_demo.files import staged
from korvane_bond_demo.outputs import OUTPUTS

SHORT = ["--start", "2024-09-02", "--end", "2024-09-13", "--no-progress"]


def _main(args, capsys):
    code = cli.main(args)
    captured = capsys.readouterr()
    return code, captured.out, captured.err


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

    out = tmp_path / "out"
    _old_outputs(out)
    if fault is None:

        def overflowed(run):
            raise analysis.NotFinite(f"the run's totals are not finite numbers ({run.result.initial_cash:g})")

        monkeypatch.setattr(analysis.Run, "_check_finite", overflowed)
    else:

        def full(*_args):
            raise fault

        monkeypatch.setattr(tables, "write_csv", full)
    code, printed, err = _main(["--out", str(out)] + SHORT, capsys)
    assert (code, printed) == (3, "")
    assert err.startswith("korvane-bond-demo: error: " + message.format(out=out)) and err.count("\n") == 1
    assert _check_whole(out, out) == {"old"}


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


# A sweep of whole runs, long enough that a Ctrl-C after a second finds it running.
LONG_SWEEP = ["sweep", "--set", "repo_tenor_days=1,7", "--no-progress"]


@pytest.mark.parametrize("args", [[], LONG_SWEEP], ids=["run", "sweep"])
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
    if process.returncode == 0:  # a quick machine: the command ended before the signal came
        assert not [p.name for p in out.iterdir() if p.name.startswith(".")], stderr
        return
    _interrupted_cleanly((process.returncode, stdout, stderr), out)
