"""korvane-bond-demo sweep: grids refused before any worker starts, points run in worker
processes equal to single runs, a failing point isolated, a worker on other data refused,
the heatmap (its cells, its size, a failing plot keeping the table), the grid limit, an
unreachable scheduler, the worker pool."""

import collections
import csv
import datetime
import json
import os
import shutil
import subprocess
import sys
import textwrap
import time

import pytest
from demo_helpers import csv_rows
from korvane_bond_demo import cli, cluster, config, dataset, sweep, sweep_report, sweep_table
from korvane_bond_demo.backtest import run_statistics
from korvane_bond_demo.settings import Settings

SHORT = ["--start", "2024-09-02", "--end", "2024-10-31"]
GRID = ["--set", "repo_tenor_days=1,7", "--set", "borrowed_share=0.5,1"]


@pytest.mark.parametrize(
    "args, message",
    [
        (["--set", "tenor=1,7"], "unknown parameter 'tenor'; the parameters are start, end, cash,"),
        (["--set", "repo_tenor_days="], "repo_tenor_days: the grid lists no value"),
        (["--set", "repo_tenor_days"], "write --set NAME=VALUE,VALUE,..., got 'repo_tenor_days'"),
        (["--set", "borrowed_share=0.5,half"], "borrowed_share: not an amount: 'half'"),
        (["--set", "lend_overnight=true,maybe"], "lend_overnight: not true or false: 'maybe'"),
        (["--set", "repo_tenor_days=7,7"], "repo_tenor_days: a value is listed more than once"),
        (
            ["--set", "repo_tenor_days=1,14"],
            "repo_tenor_days=14: the repo tenor must be 1 or 7 days, got 14 (the bundled",
        ),
        (
            ["--set", "start=2024-09-02,2024-11-01", "--end", "2024-10-31"],
            "start=2024-11-01: the start 2024-11-01 is after the end 2024-10-31",
        ),
        (["--set", "end=2024-10-31,2026-01-30"], "end=2026-01-30: the bundled market data covers"),
        ([], "no grid: give --set NAME=V1,V2,... or a [grid] table in --config"),
        (GRID + ["--heatmap", "carry:repo_tenor_days"], "--heatmap: unknown statistic 'carry'"),
        (GRID + ["--heatmap", "pnl:cash"], "--heatmap: 'cash' is not a parameter of the grid"),
        (GRID + ["--heatmap", "pnl"], "write --heatmap STAT:X[:Y], got 'pnl'"),
        (
            ["--config", "{tmp}/list.toml"],
            "{tmp}/list.toml: repo_tenor_days: a grid lists values in brackets",
        ),
        (["--config", "{tmp}/empty.toml"], "{tmp}/list.toml: borrowed_share: the grid lists no value"),
        (["--config", "{tmp}/type.toml"], "{tmp}/type.toml: repo_tenor_days: not a whole number: '7'"),
        (GRID + ["--out", "{tmp}/file"], "the output folder {tmp}/file is a file, not a folder"),
    ],
)
def test_a_bad_grid_is_refused_with_one_line_before_any_worker_starts(
    tmp_path, capsys, monkeypatch, args, message
):
    (tmp_path / "list.toml").write_text("[grid]\nrepo_tenor_days = 7\n", encoding="utf-8")
    (tmp_path / "empty.toml").write_text("[grid]\nborrowed_share = []\n", encoding="utf-8")
    (tmp_path / "type.toml").write_text('[grid]\nrepo_tenor_days = [1, "7"]\n', encoding="utf-8")
    (tmp_path / "file").write_text("x", encoding="utf-8")
    monkeypatch.setattr(sweep, "run_grid", pytest.fail)
    args = ["sweep", *SHORT, "--out", str(tmp_path / "out"), *args]
    code = cli.main([a.format(tmp=tmp_path) for a in args])
    err = capsys.readouterr().err
    assert code == 2
    assert message.format(tmp=tmp_path).replace("list.toml: borrowed", "empty.toml: borrowed") in err
    assert err.count("\n") == 1 and "Traceback" not in err


def test_a_sweep_on_this_machine_needs_no_dask_and_one_on_a_cluster_says_how_to_install_it(
    tmp_path, capsys, monkeypatch
):
    monkeypatch.setitem(sys.modules, "distributed", None)  # import distributed raises ImportError
    code = cli.main(["sweep", *SHORT, *GRID, "--out", str(tmp_path / "here"), "--no-progress"])
    assert (code, capsys.readouterr().err) == (0, "4 points on 2 worker processes\n")
    code = cli.main(["sweep", *SHORT, *GRID, "--out", str(tmp_path / "there"), "--scheduler", "tcp://x:1"])
    assert code == 2
    assert capsys.readouterr().err == f"korvane-bond-demo: error: {cluster.INSTALL_HINT}\n"
    assert not (tmp_path / "there" / "sweep.csv").exists()


def test_heatmap_cells_average_the_other_parameters_and_leave_failed_cells_empty(tmp_path):
    points = config.grid_points(
        {}, {"repo_tenor_days": [1, 7], "lend_overnight": [True, False], "borrowed_share": [0.5]}
    )
    results = [{"pnl": 1.0}, {"pnl": 3.0}, {"error": "ValueError: x"}, {"error": "ValueError: y"}]
    assert sweep_report._cells(points, results, "pnl", "repo_tenor_days", "borrowed_share") == (
        [1, 7],
        [0.5],
        [[2.0, None]],
    )
    assert sweep_report._cells(points, results, "pnl", "lend_overnight", None) == (
        [True, False],
        [None],
        [[1.0, 3.0]],
    )
    assert [n for n, _, _ in sweep_report.best(points, results, "pnl")] == [2, 1]
    written = sweep_report.write_heatmap(tmp_path, points, results, ("pnl", "repo_tenor_days", None))
    assert written == tmp_path / "sweep.png"
    assert (tmp_path / "sweep.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert sorted(os.listdir(tmp_path)) == ["sweep.png"]  # nothing staged left


# The command in a fresh interpreter, with the third point's settings made invalid
# after they were checked: its run raises in the worker process.
SWEEP_WITH_A_BROKEN_POINT = textwrap.dedent(
    """
    import sys
    from korvane_bond_demo import cli, config

    checked = config.grid_points

    def grid_points(base, grid):
        points = checked(base, grid)
        object.__setattr__(points[2][1], "borrowed_share", "half")
        return points

    config.grid_points = grid_points
    sys.exit(cli.main(sys.argv[1:]))
    """
)


def _start(args, **kwargs):
    return subprocess.Popen(
        [sys.executable, "-c", SWEEP_WITH_A_BROKEN_POINT, "sweep", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        **kwargs,
    )


def test_points_in_worker_processes_equal_single_runs_and_a_failing_point_is_isolated(tmp_path):
    # the data given as a folder relative to the command's working folder: every worker
    # reads the folder the command checked, named by its absolute path
    shutil.copytree(dataset.bundled_folder(), tmp_path / "market", ignore=shutil.ignore_patterns("__*"))
    out = tmp_path / "out"
    process = _start(
        [*SHORT, *GRID, "--workers", "2", "--out", "out", "--data", "market",
         "--heatmap", "sharpe_ratio:borrowed_share:repo_tenor_days"],
        cwd=tmp_path,
    )  # fmt: skip
    stdout, stderr = process.communicate(timeout=300)
    assert process.returncode == 1, stderr
    assert stderr.startswith("4 points on 2 worker processes\n")
    assert stderr.endswith("korvane-bond-demo: 1 of 4 points failed\n") and "Traceback" not in stderr
    assert "4 points, 3 ran, 1 failed" in stdout and "best points by sharpe_ratio" in stdout
    with open(out / "sweep.csv", newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    assert list(rows[0]) == sweep_table.header(["repo_tenor_days", "borrowed_share"])
    assert [(r["point"], r["repo_tenor_days"], r["borrowed_share"]) for r in rows] == [
        ("1", "1", "0.5"),
        ("2", "1", "1.0"),
        ("3", "7", "0.5"),
        ("4", "7", "1.0"),
    ]
    broken = rows[2]
    assert broken["error"].startswith("TypeError: ") and "\n" not in broken["error"]
    assert all(broken[name] == "" for name in sweep.STATISTICS)
    for row in rows[:2] + rows[3:]:
        single = run_statistics(
            Settings(
                start=datetime.date(2024, 9, 2),
                end=datetime.date(2024, 10, 31),
                repo_tenor_days=int(row["repo_tenor_days"]),
                borrowed_share=float(row["borrowed_share"]),
            )
        )
        assert row["error"] == ""
        assert {name: row[name] for name in sweep.STATISTICS} == {
            name: repr(float(single[name])) for name in sweep.STATISTICS
        }
    assert (out / "sweep.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert sorted(os.listdir(out)) == ["sweep-grid.json", "sweep.csv", "sweep.png"]
    recorded = json.loads((out / "sweep-grid.json").read_text(encoding="utf-8"))
    assert {point["data"] for point in recorded["points"]} == {str(tmp_path / "market")}


def test_a_failing_plot_keeps_the_table(tmp_path, capsys, monkeypatch):
    def broken(*_args):
        raise ValueError("Image size of 50000x400 pixels is too large")

    monkeypatch.setattr(sweep_report, "plot_heatmap", broken)
    code = cli.main(["sweep", *SHORT, "--set", "repo_tenor_days=1,7", "--no-progress", "--workers", "1",
                     "--out", str(tmp_path)])  # fmt: skip
    captured = capsys.readouterr()
    assert code == 1
    assert captured.err.splitlines()[-1] == (
        "korvane-bond-demo: the heatmap failed, sweep.csv is complete: "
        "Image size of 50000x400 pixels is too large"
    )
    rows = csv_rows(tmp_path / "sweep.csv")
    assert [row[:2] for row in rows[1:]] == [["1", "1"], ["2", "7"]] and all(
        row[-1] == "" for row in rows[1:]
    )
    assert sorted(os.listdir(tmp_path)) == ["sweep-grid.json", "sweep.csv"]


def test_a_grid_above_the_limit_needs_max_points(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(sweep, "run_grid", pytest.fail)
    values = ",".join(str(i / 1000) for i in range(1, 1002))
    code = cli.main(["sweep", "--set", f"borrowed_share={values}", "--out", str(tmp_path)])
    assert code == 2
    assert capsys.readouterr().err == (
        "korvane-bond-demo: error: the grid has 1,001 points, more than 1,000: give --max-points 1001 "
        "to run them all\n"
    )


def test_a_wide_heatmap_stays_readable(tmp_path):
    import struct

    points = config.grid_points({}, {"cash": [1e6 + i for i in range(600)], "lend_overnight": [True, False]})
    results = [{"annual_return": i * 1e-5} for i in range(len(points))]
    path = sweep_report.write_heatmap(tmp_path, points, results, ("annual_return", "cash", "lend_overnight"))
    width, height = struct.unpack(">II", path.read_bytes()[16:24])  # the PNG's header
    assert width <= 16 * 110 and height <= 10 * 110


def test_an_unreachable_scheduler_is_one_line(tmp_path):
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "korvane_bond_demo",
            "sweep",
            *SHORT,
            *GRID,
            "--out",
            str(tmp_path),
            "--scheduler",
            "tcp://127.0.0.1:9",
        ],  # fmt: skip
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 2
    assert result.stderr.splitlines()[-1].startswith(
        "korvane-bond-demo: error: cannot reach the Dask scheduler at tcp://127.0.0.1:9: "
    )
    assert "Traceback" not in result.stderr


def test_a_worker_refuses_data_other_than_the_sweep_checked(tmp_path):
    folder = tmp_path / "market"
    shutil.copytree(dataset.bundled_folder(), folder, ignore=shutil.ignore_patterns("__*"))
    bundled = dataset.fingerprint(None)
    assert dataset.fingerprint(str(folder)) == bundled  # the same content, wherever it is
    prices = folder / "bond_prices.csv"
    prices.write_bytes(prices.read_bytes().replace(b"101.", b"102.", 1))
    changed = dataset.fingerprint(str(folder))
    assert changed != bundled
    settings = Settings(start=datetime.date(2024, 9, 2), end=datetime.date(2024, 9, 13), data=str(folder))
    assert sweep.run_point(settings, bundled) == {
        "error": f"DataChanged: the market data in {folder} on this worker differ from those the sweep was "
        f"checked against (content {changed[:12]}, expected {bundled[:12]})"
    }


def _task(payload):
    if payload == "die":
        os._exit(3)
    if payload == "hang":
        time.sleep(60)
    return {"pnl": float(payload)}


def test_a_point_that_takes_its_workers_down_is_recorded_and_the_others_run():
    from korvane_bond_demo.pool import Pool

    points = [(1, "1"), (2, "die"), *((n, str(n)) for n in range(3, 21))]
    with Pool(3, _task) as pool:
        results = dict(pool.run(points))
    assert results.pop(2) == {
        "error": "WorkerDied: a worker process running this point died 2 times "
        "(the last one exited with status 3)"
    }
    assert results == {n: {"pnl": float(n)} for n in [1, *range(3, 21)]}


def test_closing_the_pool_ends_a_worker_that_does_not_leave(monkeypatch):

    from korvane_bond_demo import pool as pools

    monkeypatch.setattr(pools, "CLOSE_SECONDS", 0.5)
    pool = pools.Pool(1, _task)
    worker = pool._workers[0]
    pool._send(worker, collections.deque([(1, "hang")]))
    started = time.monotonic()
    pool.close()  # asked to leave, it does not (it runs a point): ended, and close returns
    assert time.monotonic() - started < 10
    assert worker.process.exitcode is not None
