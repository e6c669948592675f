"""korvane-bond-demo sweep: grids refused before any cluster starts, points run on a real
Dask LocalCluster equal to single runs, a failing point isolated, Ctrl-C mid-sweep keeping
the finished points, --resume, a failing plot keeping the table, the grid limit."""

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


# 300 points of a week's run each: a few tenths of a second a point on two workers.
LONG_GRID = [
    "--start", "2024-09-02", "--end", "2024-09-13", "--exit-days", "2",
    "--set", "cash=" + ",".join(str(1_000_000 + 10_000 * i) for i in range(75)),
    "--set", "repo_tenor_days=1,7", "--set", "lend_overnight=true,false",
]  # fmt: skip


def _sweep(args, **kwargs):
    return subprocess.Popen(
        [sys.executable, "-m", "korvane_bond_demo", "sweep", *args, "--no-progress", "--workers", "2"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs,
    )  # fmt: skip


def _rows(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.reader(f))


def test_ctrl_c_mid_sweep_keeps_every_finished_point_and_resume_finishes_it(tmp_path):
    out, whole = tmp_path / "out", tmp_path / "whole"
    process = _sweep([*LONG_GRID, "--out", str(out)], start_new_session=True)
    first = process.stderr.readline()  # written once the cluster is there
    assert first.startswith("300 points on an embedded Dask cluster of 2 worker processes"), first
    time.sleep(8)  # well after the cluster started, well before the sweep ends
    interrupted = time.monotonic()
    os.killpg(process.pid, signal.SIGINT)  # as a terminal's Ctrl-C: the whole process group
    stdout, stderr = process.communicate(timeout=120)
    took = time.monotonic() - interrupted
    assert (process.returncode, stdout, stderr) == (130, "", "korvane-bond-demo: interrupted\n")
    assert took < 30, took  # seconds, not the rest of the sweep
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
    kept = _rows(out / "sweep.csv")
    assert kept[0] == sweep.header(["cash", "repo_tenor_days", "lend_overnight"])
    assert 0 < len(kept) - 1 < 300  # finished points, each a whole row
    assert all(len(row) == len(kept[0]) and row[-1] == "" for row in kept[1:])
    # --resume runs only the rest; the table then equals an uninterrupted sweep's
    resumed = _sweep([*LONG_GRID, "--out", str(out), "--resume"])
    stdout, stderr = resumed.communicate(timeout=600)
    assert resumed.returncode == 0, stderr
    assert stderr.startswith(f"{300 - (len(kept) - 1)} points ({len(kept) - 1} done already) on ")
    uninterrupted = _sweep([*LONG_GRID, "--out", str(whole)])
    _, stderr = uninterrupted.communicate(timeout=600)
    assert uninterrupted.returncode == 0, stderr
    assert (out / "sweep.csv").read_bytes() == (whole / "sweep.csv").read_bytes()
    # another grid in the same folder is not mistaken for the rest of this one
    other = subprocess.run(
        [sys.executable, "-m", "korvane_bond_demo", "sweep", *LONG_GRID[:-2], "--out", str(out), "--resume"],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert other.returncode == 2
    assert other.stderr == (
        f"korvane-bond-demo: error: --resume: {out}/sweep.csv holds another grid or other settings; "
        "run it without --resume to start again\n"
    )


def test_a_failing_plot_keeps_the_table(tmp_path, capsys, monkeypatch):
    def broken(*_args):
        raise ValueError("Image size of 50000x400 pixels is too large")

    monkeypatch.setattr(sweep, "plot_heatmap", broken)
    code = cli.main(["sweep", *SHORT, "--set", "repo_tenor_days=1,7", "--no-progress", "--workers", "1",
                     "--out", str(tmp_path)])  # fmt: skip
    captured = capsys.readouterr()
    assert code == 1
    assert captured.err.splitlines()[-1] == (
        "korvane-bond-demo: the heatmap failed, sweep.csv is complete: "
        "Image size of 50000x400 pixels is too large"
    )
    rows = _rows(tmp_path / "sweep.csv")
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
    path = sweep.write_heatmap(tmp_path, points, results, ("annual_return", "cash", "lend_overnight"))
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
