"""``korvane-bond-demo sweep``: the sample backtest over a grid of settings, in worker
processes of this machine or on a Dask cluster.

The grid, the settings, the data and the output folder are checked before any worker
starts: a bad one is refused with one line and status 2, and so is a folder another
sweep holds. Each finished point is written to sweep.csv as it completes; a point
that fails is recorded and the others finish (status 1). A sweep that loses its
workers, its cluster or its disk ends with one line and status 3, every finished point
kept. Ctrl-C ends the sweep within a second with "interrupted" and status 130, the
workers ended and every finished point in sweep.csv; ``--resume`` runs the rest.
"""

import argparse
import os
import sys
import time

from korvane_bond_demo import command, config
from korvane_bond_demo.parameters import PARAMETERS

NAME = f"{command.PROG} sweep"


def parser():
    from korvane_bond_demo.sweep import MAX_POINTS, STATISTICS

    made = command.Parser(
        prog=NAME,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Run the sample backtest once for every point of a grid of settings, each point\n"
            "a whole backtest in a worker process: one per core of this machine, or on the\n"
            "Dask cluster of --scheduler. Writes sweep.csv (one row per point: its parameters,\n"
            "its statistics, its error if it failed; each row as its point finishes) and a\n"
            "heatmap, sweep.png."
        ),
        epilog=(
            "grid: --set NAME=V1,V2,... (repeatable), or a [grid] table in --config;\n"
            "  bond lists are written ID:QUANTITY+ID:QUANTITY (pledges ID:SHARE+...).\n"
            f"  parameters: {', '.join(PARAMETERS)}\n"
            f"statistics: {', '.join(STATISTICS)}\n"
            f"A grid of more than {MAX_POINTS:,} points needs --max-points.\n"
            "exit status: 0 done, 1 points failed (or the heatmap), 2 refused before any point\n"
            "ran, 3 stopped by a lost cluster or a full disk (--resume finishes), 130 Ctrl-C.\n\n"
            f"example: {NAME} --set strategy=conservative,carry --set target_leverage=0.5,1,2,3"
        ),
    )
    made.add_argument(
        "--set",
        dest="grid",
        action="append",
        default=[],
        metavar="NAME=V1,V2,...",
        help="values of one parameter to sweep over (repeatable; wins over the file's [grid])",
    )
    made.add_argument(
        "--heatmap",
        metavar="STAT:X[:Y]",
        help="the statistic and the parameters of the heatmap (default annual_return over the first two)",
    )
    made.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run on the Dask cluster of this scheduler (tcp://HOST:PORT); its log goes to "
        "sweep-dask.log in --out",
    )
    made.add_argument(
        "--workers",
        type=command.whole_number,
        help="worker processes on this machine (default: one per core)",
    )
    made.add_argument("--top", type=command.whole_number, default=5, help="best points printed (default 5)")
    made.add_argument(
        "--max-points",
        type=command.whole_number,
        default=MAX_POINTS,
        metavar="N",
        help=f"run a grid of up to N points (default {MAX_POINTS:,})",
    )
    made.add_argument(
        "--resume",
        action="store_true",
        help="run only the points that sweep.csv in --out does not hold yet (the same grid and settings)",
    )
    made.add_argument(
        "--out", default=command.DEFAULT_OUT, help=f"output folder (default ./{command.DEFAULT_OUT})"
    )
    made.add_argument("--no-progress", action="store_true", help="no progress bar")
    config.add_options(made)  # every setting, the base of each point
    return made


def body(argv):
    args = parser().parse_args(argv)
    started = time.perf_counter()
    from korvane_bond_demo import sweep, sweep_report, sweep_table
    from korvane_bond_demo.files import check_output_folder

    lock = None
    try:
        loaded = config.read_config(args.config) if args.config else None
        grid = dict(loaded.grid) if loaded is not None else {}
        for text in args.grid:
            name, values = config.parse_set(text)
            grid[name] = values
        if not grid:
            raise ValueError("no grid: give --set NAME=V1,V2,... or a [grid] table in --config")
        names = list(grid)
        heatmap = (
            sweep_report.parse_heatmap(args.heatmap, names)
            if args.heatmap
            else sweep_report.default_heatmap(names)
        )
        count = 1
        for values in grid.values():
            count *= len(values)
        if count > args.max_points:
            raise ValueError(
                f"the grid has {count:,} points, more than {args.max_points:,}: give --max-points {count} "
                "to run them all"
            )
        base = config.base_settings(args, loaded)
        _absolute_data(base, grid)
        points = config.grid_points(base, grid)
        found = sweep.fingerprints(points)  # before the data are read: what the workers must find
        check_points(points)
        out = check_output_folder(args.out, sweep.OUTPUTS)
        if args.scheduler:
            sweep.require_dask()
        lock = sweep_table.lock_folder(out)
        results = sweep_table.ResultsFile(out, names, points, found, resume=args.resume)
    except (ValueError, OSError) as error:
        if lock is not None:
            os.close(lock)
        if isinstance(error, OSError):
            error = f"cannot write the outputs into {args.out}: {error.strerror or error}"
        return command.error(error)
    try:
        return _run(args, results, points, found, heatmap, lock, started)
    finally:
        if lock is not None:
            os.close(lock)


def _run(args, results, points, found, heatmap, lock, started):
    """The sweep of the points ``results`` has no row for, then the table, heatmap and summary."""
    from korvane_bond_demo import sweep, sweep_report
    from korvane_bond_demo.cluster import ClusterLost
    from korvane_bond_demo.pool import WorkersGone

    remaining = results.remaining
    bar = command.progress_bar(not args.no_progress, "points", "point", total=len(remaining))
    log = results.path.with_name(sweep.LOG_FILE)

    def announce(where):
        done = len(points) - len(remaining)
        resumed = f" ({done:,} done already)" if args.resume else ""
        print(f"{len(remaining)} points{resumed} on {where}", file=sys.stderr, flush=True)

    def stopped(why):
        """One line: why the sweep stopped, what it kept, how to finish it."""
        results.close(final=False)
        kept = len(results.results)
        where = f" (Dask's log: {log})" if args.scheduler else ""
        command.error(
            f"{why}{where}; {kept:,} of {len(points):,} points are in {results.path}: "
            "run the same command with --resume to finish",
            status=command.INCOMPLETE,
        )
        return command.INCOMPLETE

    try:
        sweep.run_grid(
            remaining, found, args.scheduler, args.workers, progress=bar, started=announce,
            finished=results.add, log_path=log, close_fds=() if lock is None else (lock,),
        )  # fmt: skip
    except ConnectionError as error:  # the scheduler cannot be reached: no point ran
        results.close(final=False)
        return command.error(error)
    except (WorkersGone, ClusterLost) as error:
        return stopped(error)
    except OSError as error:  # sweep.csv cannot take a row: a full disk
        return stopped(f"cannot write {results.path}: {error.strerror or error}")
    except BaseException:
        results.close(final=False)  # every finished point is on disk already
        raise
    try:
        results.close()
    except OSError as error:
        return stopped(f"cannot rewrite {results.path} in point order: {error.strerror or error}")
    ordered = results.ordered_results()
    paths = [results.path]
    code = command.OK
    try:
        paths.append(sweep_report.write_heatmap(results.path.parent, points, ordered, heatmap))
    except Exception as error:  # a plot must never cost the table
        command.say(f"the heatmap failed, sweep.csv is complete: {' '.join(str(error).split())}")
        code = command.FAILED
    print(sweep_report.format_summary(points, ordered, heatmap[0], paths, args.top))
    print(f"\ndone in {time.perf_counter() - started:.1f} s")
    failed = sum("error" in result for result in ordered)
    if failed:
        command.say(f"{failed} of {len(points)} points failed")
        return command.FAILED
    return code


def _absolute_data(base, grid):
    """Make every data folder of the settings absolute: each worker reads the folder the
    sweep checked, whatever its own working folder."""
    if base.get("data"):
        base["data"] = os.path.abspath(base["data"])
    if "data" in grid:
        folders = [None if folder is None else os.path.abspath(folder) for folder in grid["data"]]
        if len(set(folders)) != len(folders):
            raise ValueError("data: a folder is listed more than once")
        grid["data"] = folders


def check_points(points):
    """The checks of a single run's settings against its data, for each point (a
    distinct one once)."""
    from korvane_bond_demo.dataset import data_of
    from korvane_bond_demo.settings import check_against

    seen = set()
    for swept, settings in points:
        if settings in seen:
            continue
        seen.add(settings)
        try:
            check_against(settings, data_of(settings))
        except ValueError as error:
            where = ", ".join(f"{n}={PARAMETERS[n].text(v)}" for n, v in swept.items())
            raise ValueError(f"{where}: {error}") from None
