"""The korvane-bond-demo command."""

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
