"""The command line never fails like a script: bad input gets one line and status 2 before
the run, Ctrl-C gets one line and status 130, and no output is ever left torn."""

import os
import signal
import subprocess
import sys
import time

import pytest
from korvane.environment import Environment
from korvane_bond_demo import cli, report
from korvane_bond_demo.files import staged
from korvane_bond_demo.report import OUTPUTS

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
        (["--cash", "1e400"], "initial cash must be a finite amount, got '1e400'"),
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
    ],
)
def test_bad_options_get_one_line_and_status_2(tmp_path, capsys, args, message):
    out = tmp_path / "out"
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
    from korvane_bond_demo.market import bundled_market

    market = bundled_market()
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

    monkeypatch.setattr(report, "render_chart", interrupted)
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
