"""A sweep loses no finished point: Ctrl-C mid-sweep, workers killed, a full disk, a lost
Dask cluster each keep every finished point in sweep.csv; --resume runs only the rest and
refuses, naming the row, a table it cannot trust; a second sweep is kept out of the folder."""

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
from demo_helpers import csv_rows
from korvane_bond_demo import cli, config, dataset, sweep, sweep_report, sweep_table

SHORT = ["--start", "2024-09-02", "--end", "2024-10-31"]
GRID = ["--set", "repo_tenor_days=1,7", "--set", "borrowed_share=0.5,1"]


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
    kept = csv_rows(out / "sweep.csv")
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
    assert len(csv_rows(out / "sweep.csv")) == kept + 1
    assert sorted(os.listdir(out)) == ["sweep-grid.json", "sweep.csv"]  # no partial file
    monkeypatch.undo()
    assert cli.main([*args, "--resume"]) == 0
    assert [row[0] for row in csv_rows(out / "sweep.csv")[1:]] == ["1", "2", "3", "4"]


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
    kept = len(csv_rows(out / "sweep.csv")) - 1
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


def test_resume_refuses_data_that_changed_since_the_sweep_began(tmp_path, capsys, monkeypatch):
    """sweep-grid.json records each data folder's content hash: a table begun on other data
    is not finished on these."""
    data, out = tmp_path / "market", tmp_path / "out"
    shutil.copytree(dataset.bundled_folder(), data, ignore=shutil.ignore_patterns("__*"))
    args = ["sweep", *SHORT, "--set", "repo_tenor_days=1,7", "--data", str(data), "--out", str(out),
            "--no-progress", "--workers", "1"]  # fmt: skip
    assert cli.main(args) == 0
    capsys.readouterr()
    assert json.loads((out / "sweep-grid.json").read_text(encoding="utf-8"))["data"] == {
        str(data): dataset.fingerprint(data)
    }
    with open(data / "sessions.csv", "a", encoding="utf-8") as f:
        f.write("\n")  # a blank line: the same sessions, other content
    monkeypatch.setattr(sweep, "run_grid", pytest.fail)
    assert cli.main([*args, "--resume"]) == 2
    assert capsys.readouterr().err == (
        f"korvane-bond-demo: error: --resume: the market data are not those {out}/sweep.csv was begun on "
        "(their content changed, or the record of it is missing); run it without --resume to start again\n"
    )
