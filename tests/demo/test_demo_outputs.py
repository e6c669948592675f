"""What the outputs hold: the summary and report.html with the statistics, report.html
self-contained, every output for a run of another strategy, and the record of the
settings and the data that made them."""

import base64
import dataclasses
import html
import json
import math
import os
import shlex
import shutil
from pathlib import Path

import pytest
from demo_helpers import D, HtmlPage, run_command
from korvane.environment import Environment
from korvane.runner import Backtest, Strategy
from korvane_bond_demo import formatting
from korvane_bond_demo.analysis import analyse
from korvane_bond_demo.cli import main
from korvane_bond_demo.dataset import bundled, bundled_folder
from korvane_bond_demo.files import check_output_folder
from korvane_bond_demo.outputs import OUTPUTS
from korvane_bond_demo.parameters import PARAMETERS
from korvane_bond_demo.settings import Settings
from pelvorn import bond

from korvane_mod_bond.mod import BondMod


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


def test_report_html_is_self_contained_and_holds_the_statistics(default_figures):
    _, out, _, stats = default_figures
    page = HtmlPage()
    page.feed((out / "report.html").read_text(encoding="utf-8"))
    page.close()
    assert page.external == []
    (image,) = page.images
    prefix = "data:image/png;base64,"
    assert image.startswith(prefix)
    assert base64.b64decode(image[len(prefix) :]) == (out / "equity.png").read_bytes()
    values = {row[0]: row[1] for row in page.tables["statistics"][1:]}
    assert values["total return"] == f"{stats['total_return']:+.2%}"
    assert values["annualised return"] == f"{stats['annual_return']:+.2%}"
    assert values["annualised volatility"] == f"{stats['annual_volatility']:.2%}"
    assert values["Sharpe ratio"] == f"{stats['sharpe_ratio']:.2f}"
    assert values["Calmar ratio"] == f"{stats['calmar_ratio']:.2f}"
    assert values["maximum drawdown"] == f"{stats['max_drawdown']:.2%}"
    monthly = {row[0]: row[1:] for row in page.tables["monthly"][1:]}
    for month, value in stats["monthly_returns"].items():
        assert monthly[month[:4]][int(month[5:]) - 1] == f"{value * 100:.2f}"
    attribution = {row[0].split()[0]: row[1:] for row in page.tables["attribution"][1:]}
    for key, line in stats["attribution"].items():
        cells = attribution["lending" if key == "lending" else key]
        assert cells == [formatting.money(line[c]) for c in formatting.ATTRIBUTION_COLUMNS]
    assert attribution["total"][-1] == formatting.money(stats["attribution_total"])


def test_summary_prints_the_statistics_and_explains_the_messages(default_figures):
    _, out, _, stats = default_figures
    text = (out / "summary.txt").read_text(encoding="utf-8")
    assert f"annualised return{'':<17}{stats['annual_return']:+12.2%}" in text
    assert (
        f"Sharpe ratio{'':<22}{stats['sharpe_ratio']:12.2f}   against the GC001 overnight repo rate" in text
    )
    assert "refused, sale of pledged bonds: the strategy tries to sell its bonds" in text
    assert "订单创建失败:  019547.XSHG 的仓位不足" in text  # the system's own message, unchanged
    assert "filled with a warning, repo rolled on its due day" in text
    assert "note:" not in text  # no calendar disagreement, nothing else to excuse
    assert "-0.00" not in text


class Ladder(Strategy):
    """Buys three bonds on the first day and holds them: no repo."""

    def handle_day(self, context):
        if context.date == context.trading_days[0]:
            for bond_id in ("019547.XSHG", "127001.XSHE", "200205.IB"):
                context.buy(bond_id, 5_000)


class Lender(Strategy):
    """Only lends its cash overnight."""

    def handle_day(self, context):
        if not context.is_last_day:
            amount = context.max_reverse_repo_amount("204001.XSHG")
            if amount >= 100_000:
                context.reverse_repo("204001.XSHG", math.floor(amount / 1_000) * 1_000)


@pytest.mark.parametrize("strategy", [Ladder(), Lender()], ids=["ladder", "lender"])
def test_statistics_and_report_take_a_run_of_another_strategy(tmp_path, strategy):
    data = bundled()
    data.install()
    backtest = Backtest(strategy, D(2024, 1, 2), D(2024, 6, 28), cash=2e6, instruments=data.instruments(),
                        market=data, mods=[BondMod()], sessions=data.sessions)  # fmt: skip
    try:
        result = backtest.run()
        done = analyse(result, data, check_output_folder(tmp_path, OUTPUTS), title="Ladder")
    finally:
        Environment.clear_instance()
        bond.reset()
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(OUTPUTS)
    stats = json.loads((tmp_path / "stats.json").read_text(encoding="utf-8"))
    assert done.summary.reconciled
    assert stats["attribution_total"] == pytest.approx(stats["pnl"], abs=1e-6)
    assert stats["days_financed"] == stats["days_holding_pledgeable_bonds"] == 0
    assert stats["collateral_shortfalls"] == []
    page = (tmp_path / "report.html").read_text(encoding="utf-8")
    assert "<title>Ladder, 2024-01-02 to 2024-06-28</title>" in page
    if isinstance(strategy, Ladder):
        assert stats["dv01_max"] > 0 and set(stats["risk_by_bond"]) == {
            "019547.XSHG",
            "127001.XSHE",
            "200205.IB",
        }
        assert list(stats["attribution"]) == ["019547.XSHG", "127001.XSHE", "200205.IB"]
    else:
        assert stats["dv01_max"] == 0 and list(stats["attribution"]) == ["lending"]


SHORT = ["--start", "2024-09-02", "--end", "2024-10-31"]


def test_the_outputs_record_the_settings_and_the_data_that_made_them(tmp_path, capsys, default_demo):
    """run.json and stats.json record every setting and the data (folder, sessions, content
    hash); the summary's head names the data and gives the settings as the options that give
    them: the same command with those options makes the same figures."""
    data = Path(os.path.realpath(tmp_path)) / "market data"  # a folder of one's own, its name to be quoted
    shutil.copytree(bundled_folder(), data, ignore=shutil.ignore_patterns("__*"))
    args = [*SHORT, "--repo-tenor-days", "1", "--no-lend-overnight", "--data", str(data)]
    code, _, err = run_command(capsys, *args, "--out", str(tmp_path / "out"))
    assert (code, err) == (0, "")
    record = json.loads((tmp_path / "out" / "run.json").read_text(encoding="utf-8"))
    stats = json.loads((tmp_path / "out" / "stats.json").read_text(encoding="utf-8"))
    assert {key: stats[key] for key in ("settings", "data")} == record
    settings = Settings(
        **{name: PARAMETERS[name].from_text(text) for name, text in record["settings"].items()}
    )
    expected = Settings(start=D(2024, 9, 2), end=D(2024, 10, 31), repo_tenor_days=1, lend_overnight=False)
    assert settings == dataclasses.replace(expected, data=str(data))
    bundled_run, _ = default_demo
    digest = bundled_run.record["data"]["sha256"]  # the same content: the same hash, wherever it is
    sessions = {"first_session": "2023-01-03", "last_session": "2025-12-31"}
    assert record["data"] == {
        "folder": str(data),
        "name": f"the market data in {data}",
        **sessions,
        "sha256": digest,
    }
    head = (tmp_path / "out" / "summary.txt").read_text(encoding="utf-8").splitlines()[1:3]
    assert (
        head[0] == f"data: the market data in {data}, 2023-01-03 to 2025-12-31 (content sha256 {digest[:12]})"
    )
    given = head[1][len("settings: ") : -len(" (every setting in run.json)")]
    assert given == f"{' '.join(args[:-1])} '{data}'"
    code, _, err = run_command(capsys, *shlex.split(given), "--out", str(tmp_path / "again"))
    assert (code, err) == (0, "")
    assert json.loads((tmp_path / "again" / "stats.json").read_text(encoding="utf-8")) == stats
    page = (tmp_path / "out" / "report.html").read_text(encoding="utf-8")
    assert f"Data: {head[0][len('data: ') :]}. Settings: {html.escape(given)}" in page


def test_a_default_run_records_the_bundled_data_and_the_defaults(default_demo):
    done, out = default_demo
    head = (out / "summary.txt").read_text(encoding="utf-8").splitlines()[1:3]
    data = done.record["data"]
    assert (data["folder"], data["name"], len(data["sha256"])) == (None, "the bundled market data", 64)
    assert head == [
        f"data: the bundled market data, 2023-01-03 to 2025-12-31 (content sha256 {data['sha256'][:12]})",
        "settings: the defaults (every setting in run.json)",
    ]
    assert Settings(
        **{name: PARAMETERS[name].from_text(text) for name, text in done.record["settings"].items()}
    ) == (Settings())
