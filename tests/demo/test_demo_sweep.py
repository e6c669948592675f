"""korvane-bond-demo sweep: grids refused before any worker starts, points run in worker
processes equal to single runs, a failing point isolated, Ctrl-C mid-sweep and workers
killed keeping the finished points, --resume completing them and refusing a table it
cannot trust, a second sweep kept out of the folder, a full disk, a lost Dask cluster,
a failing plot keeping the table, the grid limit."""

import csv
import datetime
import errno
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import time

import pytest
from korvane.environment import Environment
from korvane_bond_demo import cli, cluster, config, dataset, sweep, sweep_report, sweep_table
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


def test_the_point_keeps_the_statistics_of_a_whole_run_to_the_last_digit():
    """What a sweep's point computes is what the run's stats.json says (carry included)."""
    for settings in (
        Settings(start=datetime.date(2024, 9, 2), end=datetime.date(2024, 12, 31), repo_tenor_days=1),
        Settings(
            start=datetime.date(2024, 1, 2),
            end=datetime.date(2024, 6, 28),
            strategy="carry",
            target_leverage=2.0,
            exit_days=15,
        ),  # fmt: skip
    ):
        whole = run_statistics(settings)
        assert sweep.point_statistics(settings) == {name: whole[name] for name in sweep.STATISTICS}


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


LONG_NAMES = ["cash", "repo_tenor_days", "lend_overnight"]


@pytest.fixture(scope="module")
def uninterrupted(tmp_path_factory):
    """sweep.csv of the long grid, run to its end without a fault."""
    whole = tmp_path_factory.mktemp("whole")
    process = _sweep([*LONG_GRID, "--out", str(whole)])
    _, stderr = process.communicate(timeout=600)
    assert process.returncode == 0, stderr
    return (whole / "sweep.csv").read_bytes()


def _started(process, out, first="300 points on 2 worker processes\n"):
    """Once the sweep has started and finished a few points, well before its end."""
    line = process.stderr.readline()  # written once the workers are there
    assert line == first, line
    for _ in range(600):
        if (out / "sweep.csv").exists() and (out / "sweep.csv").read_bytes().count(b"\n") > 3:
            return
        time.sleep(0.1)
    raise AssertionError("no point finished in a minute")


def _kept(out):
    """The rows sweep.csv holds: whole rows of finished points."""
    kept = _rows(out / "sweep.csv")
    assert kept[0] == sweep_table.header(LONG_NAMES)
    assert 0 < len(kept) - 1 < 300
    assert all(len(row) == len(kept[0]) and row[-1] == "" for row in kept[1:])
    return len(kept) - 1


def _resume_equals(out, uninterrupted, kept):
    resumed = _sweep([*LONG_GRID, "--out", str(out), "--resume"])
    _, stderr = resumed.communicate(timeout=600)
    assert resumed.returncode == 0, stderr
    assert stderr.startswith(f"{300 - kept} points ({kept} done already) on ")
    assert (out / "sweep.csv").read_bytes() == uninterrupted


def test_ctrl_c_mid_sweep_keeps_every_finished_point_and_resume_finishes_it(tmp_path, uninterrupted):
    out = tmp_path / "out"
    process = _sweep([*LONG_GRID, "--out", str(out)], start_new_session=True)
    _started(process, out)
    interrupted = time.monotonic()
    os.killpg(process.pid, signal.SIGINT)  # as a terminal's Ctrl-C: the whole process group
    stdout, stderr = process.communicate(timeout=120)
    took = time.monotonic() - interrupted
    assert (process.returncode, stdout, stderr) == (130, "", "korvane-bond-demo: interrupted\n")
    assert took < 10, took  # a second or two, not the rest of the sweep
    for _ in range(30):  # no worker process outlives the command for long
        leftover = _pgrep("-g", process.pid)
        if leftover == []:
            break
        time.sleep(0.5)
    assert leftover == []
    # --resume runs only the rest; the table then equals an uninterrupted sweep's
    _resume_equals(out, uninterrupted, _kept(out))
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


def _pgrep(option, pid):
    # pgrep is no Python program: it gets no preloaded sanitizer runtime (it can hang in its start-up)
    plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    found = subprocess.run(["pgrep", option, str(pid)], capture_output=True, text=True, env=plain, timeout=30)
    return [int(line) for line in found.stdout.split()]


@pytest.mark.parametrize("killed", ["one", "all"])
def test_killed_workers_cost_no_finished_point(tmp_path, uninterrupted, killed):
    """One worker killed: the others run its point and the rest. Every worker killed: one
    line and status 3, and --resume finishes the table."""
    out = tmp_path / "out"
    process = _sweep([*LONG_GRID, "--out", str(out)])
    _started(process, out)
    workers = _pgrep("-P", process.pid)
    assert len(workers) == 2, workers
    for pid in workers[:1] if killed == "one" else workers:
        os.kill(pid, signal.SIGKILL)
    stdout, stderr = process.communicate(timeout=600)
    if killed == "one":
        assert process.returncode == 0, stderr
        assert "300 points, 300 ran, 0 failed" in stdout
        assert (out / "sweep.csv").read_bytes() == uninterrupted
        return
    kept = _kept(out)
    assert (process.returncode, stdout) == (3, "")
    assert stderr == (
        "korvane-bond-demo: error: every worker process is gone (the last one killed by SIGKILL); "
        f"{kept} of 300 points are in {out}/sweep.csv: run the same command with --resume to finish\n"
    )
    assert sorted(os.listdir(out)) == ["sweep-grid.json", "sweep.csv"]
    _resume_equals(out, uninterrupted, kept)


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


# -- --resume against a table it cannot trust --------------------------------------------

# 60 points: sweep.csv big enough to take a field beyond the csv module's limit.
CASH = ",".join(str(1_000_000 + 1_000 * i) for i in range(30))
WIDE = ["--set", f"cash={CASH}", "--set", "repo_tenor_days=1,7"]
FIGURES = {name: 0.25 for name in sweep.STATISTICS}


@pytest.fixture
def finished(tmp_path, monkeypatch):
    """A folder holding the table of a finished sweep of the WIDE grid (figures made up,
    nothing run), and the command that resumes it with no worker allowed to start."""
    out = tmp_path / "out"
    out.mkdir()
    grid = dict(config.parse_set(text) for text in WIDE[1::2])
    base = {"start": datetime.date(2024, 9, 2), "end": datetime.date(2024, 10, 31)}
    points = config.grid_points(base, grid)
    results = sweep_table.ResultsFile(out, list(grid), points, sweep.fingerprints(points))
    for number in range(1, len(points) + 1):
        results.add(number, FIGURES)
    results.close()
    monkeypatch.setattr(sweep, "run_grid", pytest.fail)
    return out, ["sweep", *SHORT, *WIDE, "--out", str(out), "--resume", "--no-progress"]


def _edit(path, line, edit):
    lines = path.read_bytes().split(b"\n")
    lines[line - 1] = edit(lines[line - 1])
    path.write_bytes(b"\n".join(lines))


def _cells(edit):
    def change(raw):
        cells = raw.decode().split(",")
        edit(cells)
        return ",".join(cells).encode()

    return change


@pytest.mark.parametrize(
    "line, edit, why",
    [
        (3, _cells(lambda c: c.__setitem__(2, "1")),
         "point 2 has repo_tenor_days '1' where the grid has '7'"),
        (3, _cells(lambda c: c.__setitem__(1, "2000000.0")),
         "point 2 has cash '2000000.0' where the grid has '1000000.0'"),
        (5, _cells(lambda c: c.__setitem__(0, "61")), "no point '61' in this grid of 60"),
        (5, _cells(lambda c: c.__setitem__(0, "0")), "no point '0' in this grid of 60"),
        (5, _cells(lambda c: c.__setitem__(0, "1")), "point 1 is given twice"),
        (4, _cells(lambda c: c.append("")), "13 cells where this grid's rows have 12"),
        (4, _cells(lambda c: c.__setitem__(3, "abc")), "point 3's pnl is no finite number: 'abc'"),
        (4, _cells(lambda c: c.__setitem__(3, "inf")), "point 3's pnl is no finite number: 'inf'"),
        (4, _cells(lambda c: c.__setitem__(11, "ValueError: x")), "point 3 has both figures and an error"),
        (4, lambda raw: raw + b'"' + b"x" * 140_000 + b'"', "field larger than field limit (131072)"),
        (4, lambda raw: raw[:5] + b"\0" + raw[5:], "a NUL character"),
        (6, lambda raw: raw[:5] + b"\xff\xfe" + raw[5:], "not UTF-8 text"),
    ],
    ids=["swept-value", "base-value", "past-the-grid", "point-0", "twice", "cells", "text-figure",
         "infinite-figure", "figures-and-error", "long-field", "nul", "not-utf8"],
)  # fmt: skip
def test_resume_refuses_a_table_it_cannot_trust_naming_the_row(finished, capsys, line, edit, why):
    out, command = finished
    _edit(out / "sweep.csv", line, edit)
    before = (out / "sweep.csv").read_bytes()
    assert cli.main(command) == 2
    assert capsys.readouterr().err == (
        f"korvane-bond-demo: error: --resume: {out}/sweep.csv, line {line}: {why}; it is not this "
        "sweep's table: run it without --resume to start again\n"
    )
    assert (out / "sweep.csv").read_bytes() == before  # left as it was
    assert sorted(os.listdir(out)) == ["sweep-grid.json", "sweep.csv"]


@pytest.mark.parametrize(
    "grid, why",
    [
        ("[" * 100_000 + "]" * 100_000, "holds another grid or other settings"),
        ("[" * 30_000 + "]" * 30_000, "cannot be read"),
        ("\xff{}", "cannot be read"),
    ],
    ids=["nested-beyond-its-size", "nested", "not-utf8"],
)
def test_resume_refuses_a_grid_file_it_cannot_read(finished, capsys, grid, why):
    out, command = finished
    (out / "sweep-grid.json").write_bytes(grid.encode("latin-1"))
    assert cli.main(command) == 2
    err = capsys.readouterr().err
    assert err.startswith("korvane-bond-demo: error: --resume: ") and why in err and err.count("\n") == 1


def test_resume_reruns_a_row_a_crash_cut_short(finished, capsys, monkeypatch):
    out, command = finished
    whole = (out / "sweep.csv").read_bytes()
    (out / "sweep.csv").write_bytes(whole[: whole.rindex(b"\n", 0, -1) + 9])  # point 60 cut short
    ran = []

    def run_grid(points, *_args, finished, **_kwargs):
        ran.extend(number for number, _ in points)
        for number, _ in points:
            finished(number, FIGURES)

    monkeypatch.setattr(sweep, "run_grid", run_grid)
    monkeypatch.setattr(sweep_report, "write_heatmap", lambda out, *_: out / "sweep.png")
    assert cli.main(command) == 0
    assert ran == [60]
    assert (out / "sweep.csv").read_bytes() == whole
    assert capsys.readouterr().err == ""


def test_a_second_sweep_into_a_folder_in_use_is_refused(finished, capsys):
    out, command = finished
    lock = sweep_table.lock_folder(out)
    try:
        assert cli.main(command) == 2
    finally:
        os.close(lock)
    assert capsys.readouterr().err == (
        f"korvane-bond-demo: error: the output folder {out} is in use by another sweep; let it finish, "
        "or give another --out\n"
    )
    os.close(sweep_table.lock_folder(out))  # and a sweep that ended leaves it free


# -- faults in the middle of a sweep -------------------------------------------------------


@pytest.mark.parametrize("where", ["row", "rewrite"])
def test_a_disk_that_fills_mid_sweep_keeps_every_finished_point(tmp_path, capsys, monkeypatch, where):
    out = tmp_path / "out"
    args = ["sweep", *SHORT, *GRID, "--out", str(out), "--no-progress", "--workers", "1"]
    write, rewrite = sweep_table.ResultsFile._write, sweep_table._write_atomically
    rows = []

    def full(self, cells):
        if where == "row" and len(rows) == 2:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        rows.append(cells)
        write(self, cells)

    def full_rewrite(path, text):
        if where == "rewrite" and path.name == "sweep.csv" and text.count("\n") > 1:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        rewrite(path, text)

    monkeypatch.setattr(sweep_table.ResultsFile, "_write", full)
    monkeypatch.setattr(sweep_table, "_write_atomically", full_rewrite)
    assert cli.main(args) == 3
    captured = capsys.readouterr()
    why = "cannot write" if where == "row" else "cannot rewrite"
    kept = 2 if where == "row" else 4
    assert captured.out == ""
    assert captured.err.splitlines()[1:] == [
        f"korvane-bond-demo: error: {why} {out}/sweep.csv{' in point order' if where == 'rewrite' else ''}: "
        f"No space left on device; {kept} of 4 points are in {out}/sweep.csv: run the same command with "
        "--resume to finish"
    ]
    assert len(_rows(out / "sweep.csv")) == kept + 1
    assert sorted(os.listdir(out)) == ["sweep-grid.json", "sweep.csv"]  # no partial file
    monkeypatch.undo()
    assert cli.main([*args, "--resume"]) == 0
    assert [row[0] for row in _rows(out / "sweep.csv")[1:]] == ["1", "2", "3", "4"]


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


SWEEP_ON_DASK = textwrap.dedent(
    """
    import sys
    from korvane_bond_demo import cli, cluster

    cluster.WORKERS_GONE_SECONDS = 3
    sys.exit(cli.main(sys.argv[1:]))
    """
)


@pytest.mark.parametrize("lost", ["scheduler", "worker"])
def test_a_lost_dask_cluster_is_one_line_and_keeps_every_finished_point(tmp_path, lost):
    pytest.importorskip("distributed")
    dask = os.path.join(os.path.dirname(sys.executable), "dask")
    port = _free_port()
    address = f"tcp://127.0.0.1:{port}"
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    scheduler = subprocess.Popen([dask, "scheduler", "--port", str(port), "--dashboard-address", ":0"],
                                 **quiet)  # fmt: skip
    worker = subprocess.Popen([dask, "worker", address, "--nthreads", "1", "--no-nanny",
                               "--dashboard-address", ":0"], **quiet)  # fmt: skip
    out = tmp_path / "out"
    try:
        process = subprocess.Popen(
            [sys.executable, "-c", SWEEP_ON_DASK, "sweep", *LONG_GRID, "--out", str(out), "--no-progress",
             "--scheduler", address],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )  # fmt: skip
        _started(process, out, f"300 points on the Dask cluster at {address} (1 worker)\n")
        (scheduler if lost == "scheduler" else worker).kill()
        stdout, stderr = process.communicate(timeout=120)
    finally:
        for started in (worker, scheduler):
            started.kill()
            started.wait()
    kept = len(_rows(out / "sweep.csv")) - 1
    why = (
        f"lost the Dask scheduler at {address}"
        if lost == "scheduler"
        else (f"no worker left on the Dask scheduler at {address} for 3 s")
    )
    assert (process.returncode, stdout) == (3, "")
    assert stderr == (
        f"korvane-bond-demo: error: {why} (Dask's log: {out}/sweep-dask.log); {kept} of 300 points are in "
        f"{out}/sweep.csv: run the same command with --resume to finish\n"
    )
    assert 0 < kept < 300
    assert sorted(os.listdir(out)) == ["sweep-dask.log", "sweep-grid.json", "sweep.csv"]


# -- the workers ---------------------------------------------------------------------------


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
    import collections

    from korvane_bond_demo import pool as pools

    monkeypatch.setattr(pools, "CLOSE_SECONDS", 0.5)
    pool = pools.Pool(1, _task)
    worker = pool._workers[0]
    pool._send(worker, collections.deque([(1, "hang")]))
    started = time.monotonic()
    pool.close()  # asked to leave, it does not (it runs a point): ended, and close returns
    assert time.monotonic() - started < 10
    assert worker.process.exitcode is not None


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
