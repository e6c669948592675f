"""The strategy's settings: one frozen value with today's figures, each a parameter of the
command line, of --config files and of grids, refused with one line when bad; a run a
function of its settings alone, in a worker process too."""

import concurrent.futures
import dataclasses
import datetime
import multiprocessing
import pickle

import pytest
from demo_helpers import D
from korvane_bond_demo import cli, config
from korvane_bond_demo.backtest import run_statistics
from korvane_bond_demo.parameters import PARAMETERS
from korvane_bond_demo.settings import Settings


def _settings(args):
    return cli.settings_of(cli.parse_args(args))


def test_no_option_and_no_file_keep_todays_defaults():
    assert _settings([]) == Settings()


def test_options_and_file_give_the_settings_the_options_winning(tmp_path):
    path = tmp_path / "run.toml"
    path.write_text(
        "start = 2024-03-01\n"
        'end = "2024-12-31"\n'
        "cash = 5_000_000\n"
        'bonds = { "019547.XSHG" = 20_000, "127001.XSHE" = 1_000 }\n'
        "[settings]\n"
        "repo_tenor_days = 1\n"
        "lend_overnight = false\n"
        "borrowed_share = 0.5\n",
        encoding="utf-8",
    )
    settings = _settings(["--config", str(path), "--borrowed-share", "0.75", "--pledges", "019547.XSHG:0.8"])
    assert settings == Settings(
        start=datetime.date(2024, 3, 1),
        end=datetime.date(2024, 12, 31),
        cash=5_000_000.0,
        bonds=(("019547.XSHG", 20_000), ("127001.XSHE", 1_000)),
        pledges=(("019547.XSHG", 0.8),),
        repo_tenor_days=1,
        lend_overnight=False,
        borrowed_share=0.75,
    )
    assert _settings(
        ["--no-lend-overnight", "--exit-days", "12", "--ib-min-commission", "1,000"]
    ) == Settings(lend_overnight=False, exit_days=12, ib_min_commission=1000.0)


@pytest.mark.parametrize("name", list(PARAMETERS))
def test_a_value_written_as_text_reads_back_as_itself(name):
    p = PARAMETERS[name]
    value = getattr(Settings(), name)
    assert p.from_text(p.text(value)) == value
    assert p.from_toml(value) == value


@pytest.mark.parametrize(
    "args, message",
    [
        (["--repo-tenor-days", "14"], "got 14 (the bundled data hold no 14-day repo)"),
        (["--repo-tenor-days", "7.0"], "repo_tenor_days: not a whole number: '7.0'"),
        (["--borrowed-share", "1.5"], "the borrowed share must be above 0 and at most 1, got 1.5"),
        (["--borrowed-share", "nan"], "the borrowed share must be a finite amount"),
        (["--exit-days", "-1"], "exit days must be a whole number of at least 0"),
        (["--bonds", "019547.XSHG"], "bonds: write ID:QUANTITY[+ID:QUANTITY...]"),
        (["--bonds", "019547.XSHG:ten"], "bonds: not a whole quantity: 'ten'"),
        (["--bonds", "019547.XSHG:100+019547.XSHG:200"], "bonds: 019547.XSHG named more than once"),
        (["--bonds", "000000.XSHG:100"], "no bond 000000.XSHG in the bundled market data"),
        (["--pledges", "019547.XSHG:1.2"], "019547.XSHG: the lent share must be above 0 and at most 1"),
        (["--exchange-commission-rate", "-0.1"], "the exchange commission rate must be at least 0"),
        (["--end", "2026-03-01"], "the bundled market data covers 2023-01-03 to 2025-12-31"),
        (["--config", "{tmp}/missing.toml"], "cannot read the settings file {tmp}/missing.toml"),
        (["--config", "{tmp}/bad.toml"], "{tmp}/bad.toml: not valid TOML"),
        (["--config", "{tmp}/type.toml"], "{tmp}/type.toml: cash: not an amount: 'lots'"),
        (["--config", "{tmp}/unknown.toml"], "{tmp}/unknown.toml: unknown parameter 'tenor'"),
        (["--config", "{tmp}/grid.toml"], "{tmp}/grid.toml has a [grid]: run it with"),
    ],
)
def test_a_bad_setting_is_refused_with_one_line_before_the_run(tmp_path, capsys, monkeypatch, args, message):
    (tmp_path / "bad.toml").write_text("cash = \n", encoding="utf-8")
    (tmp_path / "type.toml").write_text('cash = "lots"\n', encoding="utf-8")
    (tmp_path / "unknown.toml").write_text("tenor = 7\n", encoding="utf-8")
    (tmp_path / "grid.toml").write_text("[grid]\nrepo_tenor_days = [1, 7]\n", encoding="utf-8")
    monkeypatch.setattr("korvane_bond_demo.backtest.Prepared.run", pytest.fail)
    args = [a.format(tmp=tmp_path) for a in args]
    try:
        code = cli.main(args + ["--out", str(tmp_path / "out"), "--no-progress"])
    except SystemExit as stop:  # argparse's own refusals
        code = stop.code
    err = capsys.readouterr().err
    assert code == 2
    assert message.format(tmp=tmp_path) in err
    assert err.count("\n") == 1 and "Traceback" not in err
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "text, name, values",
    [
        ("repo_tenor_days=1,7", "repo_tenor_days", [1, 7]),
        ("lend_overnight=true,off", "lend_overnight", [True, False]),
        ("start=2024-01-02, 2024-07-01", "start", [datetime.date(2024, 1, 2), datetime.date(2024, 7, 1)]),
        (
            "bonds=019547.XSHG:100+127001.XSHE:50,019547.XSHG:200",
            "bonds",
            [(("019547.XSHG", 100), ("127001.XSHE", 50)), (("019547.XSHG", 200),)],
        ),
    ],
)
def test_set_reads_a_list_of_values(text, name, values):
    assert config.parse_set(text) == (name, values)


def test_grid_points_are_every_combination_in_order():
    points = config.grid_points({"cash": 1e6}, {"repo_tenor_days": [1, 7], "borrowed_share": [0.5, 1.0]})
    assert [swept for swept, _ in points] == [
        {"repo_tenor_days": 1, "borrowed_share": 0.5},
        {"repo_tenor_days": 1, "borrowed_share": 1.0},
        {"repo_tenor_days": 7, "borrowed_share": 0.5},
        {"repo_tenor_days": 7, "borrowed_share": 1.0},
    ]
    assert points[3][1] == Settings(cash=1e6, repo_tenor_days=7, borrowed_share=1.0)


def test_settings_are_one_frozen_value_with_todays_figures():
    settings = Settings()
    assert (settings.start, settings.end, settings.cash) == (D(2024, 1, 1), D(2025, 12, 31), 3_000_000.0)
    assert dict(settings.bonds) == {"019547.XSHG": 10_000, "127001.XSHE": 5_000, "200205.IB": 10_000}
    assert dict(settings.pledges) == {"019547.XSHG": 0.9, "127001.XSHE": 0.7}
    assert (settings.repo_tenor_days, settings.borrowed_share, settings.lend_overnight) == (7, 1.0, True)
    assert settings.commission == (0.00001, 150.0, 0.00002, 100.0)
    with pytest.raises(dataclasses.FrozenInstanceError):
        settings.cash = 1.0
    assert pickle.loads(pickle.dumps(settings)) == settings


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(cash=float("inf")), "must be a finite amount"),
        (dict(cash=0.0), "must be a positive amount"),
        (dict(start=D(2025, 1, 2), end=D(2025, 1, 1)), "is after the end"),
        (dict(borrowed_share=1.5), "borrowed share must be above 0 and at most 1"),
        (dict(pledges=(("019547.XSHG", 0.0),)), "lent share must be above 0"),
        (dict(repo_tenor_days=3), "the repo tenor must be 1 or 7 days"),
        (dict(bonds=(("019547.XSHG", 10.5),)), "a quantity must be a positive whole number"),
        (dict(exit_days=-1), "exit days must be a whole number"),
        (dict(ib_min_commission=float("nan")), "must be a finite amount"),
    ],
)
def test_bad_settings_are_refused(changes, message):
    with pytest.raises(ValueError, match=message):
        Settings(**changes)


def test_a_run_is_a_function_of_its_settings_in_a_worker_process(default_demo):
    """What a sweep does: runs with other settings in worker processes, their statistics back."""
    done, _ = default_demo
    short = Settings(start=D(2024, 9, 2), end=D(2024, 10, 31), repo_tenor_days=1, lend_overnight=False)
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        stats = pool.submit(run_statistics, short).result(timeout=300)
        again = pool.submit(run_statistics, short).result(timeout=300)
    assert stats == again
    assert (stats["start"], stats["end"]) == ("2024-09-02", "2024-10-31")
    assert "lending" not in stats["attribution"]  # no overnight lending
    assert stats["days_financed"] > 0
    assert stats["total_return"] != done.stats["total_return"]
