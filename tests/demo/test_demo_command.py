"""The command never fails like a script: a bad option, setting or output folder gets one
line and status 2 before the run, a failure after it one line and status 3; --help names
the data and every output; make says what to install before anything runs."""

import os
import pathlib
import shutil
import subprocess

import pytest
from korvane_bond_demo import cli
from korvane_bond_demo.dataset import bundled
from korvane_bond_demo.outputs import OUTPUTS

SHORT = ["--start", "2024-09-02", "--end", "2024-09-13", "--no-progress"]


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

    market = bundled()
    assert (str(market.first_date), str(market.last_date)) == (cli.DATA_FIRST, cli.DATA_LAST)


MAKEFILE = pathlib.Path(__file__).resolve().parents[2] / "Makefile"


@pytest.mark.skipif(not MAKEFILE.exists() or shutil.which("make") is None, reason="no source tree or make")
@pytest.mark.parametrize(
    "goal, compiler, message",
    [
        ("demo", "false", "no C++17 compiler was found (CXX=false): install one (Debian: {g++})"),
        ("test", "{tmp}/no-gtest", "the C++ tests need GoogleTest: install it (Debian: {libgtest-dev})"),
        ("demo", "{tmp}/no-gtest", None),  # the demo needs no GoogleTest
    ],
)
def test_make_says_in_one_line_what_to_install_before_anything_runs(tmp_path, goal, compiler, message):
    fake = tmp_path / "no-gtest"  # a compiler that has no GoogleTest
    fake.write_text("#!/bin/sh\nif grep -q gtest; then exit 1; fi\n", encoding="utf-8")
    fake.chmod(0o755)
    compiler = compiler.format(tmp=tmp_path)
    # make is run as from a shell: not as a sub-make of the suite's caller, and make and the
    # compilers get no preloaded sanitizer runtime
    unset = ("MAKEFLAGS", "MAKELEVEL", "MFLAGS", "LD_PRELOAD")
    plain = {k: v for k, v in os.environ.items() if k not in unset}
    done = subprocess.run(
        ["make", "-n", "--no-print-directory", goal], cwd=MAKEFILE.parent, capture_output=True, text=True,
        timeout=120, env={**plain, "CXX": compiler},
    )  # fmt: skip
    if message is None:
        assert done.returncode == 0, done.stderr
        return
    assert done.returncode != 0 and done.stdout == ""
    message = message.replace("{g++}", "apt-get install g++")
    message = message.replace("{libgtest-dev}", "apt-get install libgtest-dev")
    assert done.stderr.endswith(f"*** {message}.  Stop.\n")
    assert done.stderr.count("\n") == 1
