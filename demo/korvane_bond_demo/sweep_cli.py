"""``korvane-bond-demo sweep``: the sample backtest over a grid of settings, on Dask.

The grid, the settings and the output folder are checked before any cluster starts:
a bad one is refused with one line and status 2. Each finished point is written to
sweep.csv as it completes; a point that fails is recorded and the others finish
(status 1). Ctrl-C ends the sweep within seconds with "interrupted" and status 130,
the cluster closed and every finished point in sweep.csv; ``--resume`` runs the rest.
"""

import argparse
import sys
import time

from korvane_bond_demo import command, config

NAME = f"{command.PROG} sweep"


def parser():
    from korvane_bond_demo.sweep import MAX_POINTS, STATISTICS

    made = command.Parser(
        prog=NAME,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Run the sample backtest once for every point of a grid of settings, each point\n"
            "a whole backtest in a Dask worker process: on an embedded cluster of one worker\n"
            "per core, or on the cluster of --scheduler. Writes sweep.csv (one row per point:\n"
            "its parameters, its statistics, its error if it failed; each row as its point\n"
            "finishes) and a heatmap, sweep.png."
        ),
        epilog=(
            "grid: --set NAME=V1,V2,... (repeatable), or a [grid] table in --config;\n"
            "  bond lists are written ID:QUANTITY+ID:QUANTITY (pledges ID:SHARE+...).\n"
            f"  parameters: {', '.join(config.PARAMETERS)}\n"
            f"statistics: {', '.join(STATISTICS)}\n"
            f"A grid of more than {MAX_POINTS:,} points needs --max-points.\n\n"
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
        "--scheduler", metavar="ADDRESS", help="run on the Dask cluster of this scheduler (tcp://HOST:PORT)"
    )
    made.add_argument(
        "--workers",
        type=command.whole_number,
        help="worker processes of the embedded cluster (default: one per core)",
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
    from korvane_bond_demo import sweep
    from korvane_bond_demo.files import check_output_folder

    try:
        loaded = config.read_config(args.config) if args.config else None
        grid = dict(loaded.grid) if loaded is not None else {}
        for text in args.grid:
            name, values = config.parse_set(text)
            grid[name] = values
        if not grid:
            raise ValueError("no grid: give --set NAME=V1,V2,... or a [grid] table in --config")
        names = list(grid)
        heatmap = sweep.parse_heatmap(args.heatmap, names) if args.heatmap else sweep.default_heatmap(names)
        count = 1
        for values in grid.values():
            count *= len(values)
        if count > args.max_points:
            raise ValueError(
                f"the grid has {count:,} points, more than {args.max_points:,}: give --max-points {count} "
                "to run them all"
            )
        points = config.grid_points(config.base_settings(args, loaded), grid)
        check_points(points)
        out = check_output_folder(args.out, sweep.OUTPUTS)
        sweep.require_dask()
        results = sweep.ResultsFile(out, names, points, resume=args.resume)
    except ValueError as error:
        return command.error(error)
    except OSError as error:
        return command.error(f"cannot write the outputs into {args.out}: {error.strerror or error}")
    remaining = results.remaining
    bar = command.progress_bar(not args.no_progress, "points", "point", total=len(remaining))

    def announce(client):
        workers = len(client.scheduler_info()["workers"])
        if args.scheduler:
            where = f"the Dask cluster at {args.scheduler} ({workers} worker{'s' if workers != 1 else ''})"
        else:
            where = f"an embedded Dask cluster of {workers} worker process{'es' if workers != 1 else ''}"
        done = len(points) - len(remaining)
        resumed = f" ({done:,} done already)" if args.resume else ""
        print(f"{len(remaining)} points{resumed} on {where}", file=sys.stderr, flush=True)

    try:
        sweep.run_grid(
            remaining, args.scheduler, args.workers, progress=bar, started=announce, finished=results.add
        )
    except ConnectionError as error:
        results.close(final=False)
        return command.error(error)
    except BaseException:
        results.close(final=False)  # every finished point is on disk already
        raise
    try:
        results.close()
    except OSError as error:
        return command.error(f"cannot write {results.path}: {error.strerror or error}")
    ordered = results.ordered_results()
    paths = [results.path]
    code = command.OK
    try:
        paths.append(sweep.write_heatmap(out, points, ordered, heatmap))
    except Exception as error:  # a plot must never cost the table
        command.say(f"the heatmap failed, sweep.csv is complete: {' '.join(str(error).split())}")
        code = command.FAILED
    print(sweep.format_summary(points, ordered, heatmap[0], paths, args.top))
    print(f"\ndone in {time.perf_counter() - started:.1f} s")
    failed = sum("error" in result for result in ordered)
    if failed:
        command.say(f"{failed} of {len(points)} points failed")
        return command.FAILED
    return code


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
            where = ", ".join(f"{n}={config.PARAMETERS[n].text(v)}" for n, v in swept.items())
            raise ValueError(f"{where}: {error}") from None
