"""The korvane-bond-demo command: the summary and outputs, bad options, --help that loads no
heavy library, and make saying what to install before anything runs."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest
from korvane.environment import Environment
from korvane_bond_demo.cli import main


@pytest.fixture(autouse=True)
def _no_environment_left():
    yield
    Environment.clear_instance()


def test_prints_the_summary_and_writes_the_ledger_and_chart(tmp_path, capsys):
    out = tmp_path / "out"
    code = main(
        [
            "--start",
            "2024-09-02",
            "--end",
            "2024-11-29",
            "--cash",
            "2,000,000",
            "--out",
            str(out),
            "--no-progress",
        ]
    )
    printed = capsys.readouterr().out
    assert code == 0
    for expected in (
        "019547.XSHG",
        "coupons",
        "repo interest paid",
        "repo interest earned",
        "commissions",
        "final cash",
        "final equity",
        "reconciled",
        str(out / "ledger.csv"),
        str(out / "equity.png"),
    ):
        assert expected in printed
    assert (out / "summary.txt").read_text(encoding="utf-8").strip() in printed
    header = (out / "ledger.csv").read_text(encoding="utf-8").splitlines()[0].split(",")
    assert header[:2] == ["date", "cash_open"] and header[-2:] == ["equity", "leverage"]
    png = (out / "equity.png").read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and len(png) > 20_000


@pytest.mark.parametrize(
    "args, message",
    [
        (["--start", "2022-06-01"], "the bundled market data covers 2023-01-03 to 2025-12-31"),
        (["--start", "2024-13-01"], "not a date"),
        (["--cash", "-5"], "initial cash must be a positive amount"),
    ],
)
def test_bad_options_are_reported(tmp_path, capsys, args, message):
    try:
        code = main(args + ["--out", str(tmp_path), "--no-progress"])
    except SystemExit as stop:  # argparse's own refusals
        code = stop.code
    assert code == 2
    assert message in capsys.readouterr().err


HEAVY = ("numpy", "pandas", "matplotlib", "QuantLib", "scipy", "korvane", "distributed")


@pytest.mark.parametrize("args", [["--help"], ["sweep", "--help"]], ids=["run", "sweep"])
def test_help_loads_no_heavy_library(args):
    code = (
        "import sys\n"
        "from korvane_bond_demo.__main__ import main\n"
        f"sys.argv = ['korvane-bond-demo', *{args!r}]\n"
        "try:\n    main()\nexcept SystemExit as stop:\n    assert stop.code == 0, stop.code\n"
        f"print(sorted(m for m in {HEAVY!r} if m in sys.modules), file=sys.stderr)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stderr == "[]\n" and "usage: korvane-bond-demo" in done.stdout


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
