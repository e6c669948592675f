"""korvane-bond-demo sweep: grids refused before any cluster starts, points run on a real
Dask LocalCluster equal to single runs, a failing point isolated, Ctrl-C."""

import csv
import datetime
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from korvane.environment import Environment
from korvane_bond_demo import cli, config, sweep
from korvane_bond_demo.backtest import run_statistics
from korvane_bond_demo.settings import Settings

SHORT = ["--start", "2024-09-02", "--end", "2024-10-31"]
GRID = ["--set", "repo_tenor_days=1,7", "--set", "borrowed_share=0.5,1"]


@pytest.fixture(autouse=True)
def _no_environment_left():
    yield
    Environment.clear_instance()


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
def test_a_bad_grid_is_refused_with_one_line_before_any_cluster_starts(
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


def test_without_dask_the_sweep_says_how_to_install_it(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)  # import distributed raises ImportError
    code = cli.main(["sweep", *SHORT, *GRID, "--out", str(tmp_path)])
    assert code == 2
    assert capsys.readouterr().err == f"korvane-bond-demo: error: {sweep.INSTALL_HINT}\n"


def test_heatmap_cells_average_the_other_parameters_and_leave_failed_cells_empty(tmp_path):
    points = config.grid_points(
        {}, {"repo_tenor_days": [1, 7], "lend_overnight": [True, False], "borrowed_share": [0.5]}
    )
    results = [{"pnl": 1.0}, {"pnl": 3.0}, {"error": "ValueError: x"}, {"error": "ValueError: y"}]
    assert sweep._cells(points, results, "pnl", "repo_tenor_days", "borrowed_share") == (
        [1, 7],
        [0.5],
        [[2.0, None]],
    )
    assert sweep._cells(points, results, "pnl", "lend_overnight", None) == (
        [True, False],
        [None],
        [[1.0, 3.0]],
    )
    assert [n for n, _, _ in sweep.best(points, results, "pnl")] == [2, 1]
    written = sweep.write_heatmap(tmp_path, points, results, ("pnl", "repo_tenor_days", None))
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


def test_points_on_a_local_cluster_equal_single_runs_and_a_failing_point_is_isolated(tmp_path):
    out = tmp_path / "out"
    process = _start(
        [
            *SHORT,
            *GRID,
            "--workers",
            "2",
            "--out",
            str(out),
            "--heatmap",
            "sharpe_ratio:borrowed_share:repo_tenor_days",
        ]
    )
    stdout, stderr = process.communicate(timeout=300)
    assert process.returncode == 1, stderr
    assert "4 points on an embedded Dask cluster of 2 worker processes" in stderr
    assert stderr.endswith("korvane-bond-demo: 1 of 4 points failed\n") and "Traceback" not in stderr
    assert "4 points, 3 ran, 1 failed" in stdout and "best points by sharpe_ratio" in stdout
    with open(out / "sweep.csv", newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    assert list(rows[0]) == sweep.header(["repo_tenor_days", "borrowed_share"])
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


def test_ctrl_c_closes_the_cluster_and_writes_nothing(tmp_path):
    out = tmp_path / "out"
    # a grid that takes well over the wait below even on an idle machine (about 0.5 s a point)
    shares = ",".join(str(share / 10) for share in range(1, 11))
    grid = [
        "--set",
        "repo_tenor_days=1,7",
        "--set",
        f"borrowed_share={shares}",
        "--set",
        "lend_overnight=true,false",
    ]
    process = _start([*grid, "--workers", "2", "--out", str(out)], start_new_session=True)
    first = process.stderr.readline()  # written once the cluster is there
    assert first.startswith("40 points on an embedded Dask cluster"), first
    time.sleep(2)
    os.killpg(process.pid, signal.SIGINT)  # as a terminal's Ctrl-C: the whole process group
    stdout, stderr = process.communicate(timeout=120)
    assert process.returncode == 130
    assert stderr == "korvane-bond-demo: interrupted\n"
    assert stdout == ""
    assert not out.exists() or os.listdir(out) == []
    # pgrep is no Python program: it gets no preloaded sanitizer runtime (it can hang in its start-up)
    plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    for _ in range(30):  # no worker process outlives the command for long
        leftover = subprocess.run(
            ["pgrep", "-a", "-g", str(process.pid)], capture_output=True, text=True, env=plain, timeout=30
        )
        if leftover.stdout == "":
            break
        time.sleep(0.5)
    assert leftover.stdout == ""


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
