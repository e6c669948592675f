"""``korvane-bond-demo sweep``: the sample backtest over a grid of settings, on Dask.

The grid, the settings and the output folder are checked before any cluster starts:
a bad one is refused with one line and status 2. A point that fails is reported
and the others finish (status 1); Ctrl-C ends with "interrupted" and status 130
(see :func:`korvane_bond_demo.cli.main`), the cluster closed and no file torn.
"""

import argparse
import sys
import time

from korvane_bond_demo import config
from korvane_bond_demo.cli import DEFAULT_OUT, PROG, _error, _Parser

NAME = f"{PROG} sweep"


def _parser():
    from korvane_bond_demo.sweep import STATISTICS

    parser = _Parser(
        prog=NAME,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Run the sample backtest once for every point of a grid of settings, each point\n"
            "a whole backtest in a Dask worker process: on an embedded cluster of one worker\n"
            "per core, or on the cluster of --scheduler. Writes sweep.csv (one row per point:\n"
            "its parameters, its statistics, its error if it failed) and a heatmap, sweep.png."
        ),
        epilog=(
            "grid: --set NAME=V1,V2,... (repeatable), or a [grid] table in --config;\n"
            "  bond lists are written ID:QUANTITY+ID:QUANTITY (pledges ID:SHARE+...).\n"
            f"  parameters: {', '.join(config.PARAMETERS)}\n"
            f"statistics: {', '.join(STATISTICS)}\n\n"
            f"example: {NAME} --set repo_tenor_days=1,7 --set borrowed_share=0.25,0.5,0.75,1"
            " --set lend_overnight=true,false"
        ),
    )
    parser.add_argument(
        "--set",
        dest="grid",
        action="append",
        default=[],
        metavar="NAME=V1,V2,...",
        help="values of one parameter to sweep over (repeatable; wins over the file's [grid])",
    )
    parser.add_argument(
        "--heatmap",
        metavar="STAT:X[:Y]",
        help="the statistic and the parameters of the heatmap (default annual_return over the first two)",
    )
    parser.add_argument(
        "--scheduler", metavar="ADDRESS", help="run on the Dask cluster of this scheduler (tcp://HOST:PORT)"
    )
    parser.add_argument(
        "--workers", type=_workers, help="worker processes of the embedded cluster (default: one per core)"
    )
    parser.add_argument("--top", type=_workers, default=5, help="best points printed (default 5)")
    parser.add_argument("--out", default=DEFAULT_OUT, help=f"output folder (default ./{DEFAULT_OUT})")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    config.add_options(parser, skip=())  # every setting, the base of each point
    return parser


def _workers(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"at least 1, got {text!r}")
    return value


def main(argv):
    args = _parser().parse_args(argv)
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
        points = config.grid_points(config.base_settings(args, loaded), grid)
        _check_points(points)
        out = check_output_folder(args.out, sweep.OUTPUTS)
        sweep.require_dask()
    except ValueError as error:
        return _error(error)
    bar = None
    if not args.no_progress:
        from tqdm import tqdm

        def bar(finished):
            return tqdm(finished, total=len(points), desc="points", unit="point", leave=False, disable=None)

    def announce(client):
        count = len(client.scheduler_info()["workers"])
        if args.scheduler:
            where = f"the Dask cluster at {args.scheduler} ({count} worker{'s' if count != 1 else ''})"
        else:
            where = f"an embedded Dask cluster of {count} worker process{'es' if count != 1 else ''}"
        print(f"{len(points)} points on {where}", file=sys.stderr, flush=True)

    try:
        results = sweep.run_grid(
            [settings for _, settings in points], args.scheduler, args.workers, progress=bar, started=announce
        )
    except ConnectionError as error:
        return _error(error)
    try:
        paths = sweep.write_results(out, names, points, results, heatmap)
    except OSError as error:
        return _error(f"cannot write the outputs into {out}: {error.strerror or error}")
    print(sweep.format_summary(points, results, heatmap[0], paths, args.top))
    print(f"\ndone in {time.perf_counter() - started:.1f} s")
    failed = sum("error" in result for result in results)
    if failed:
        print(f"{PROG}: {failed} of {len(points)} points failed", file=sys.stderr)
        return 1
    return 0


def _check_points(points):
    """The checks of a single run's settings, for each point (a distinct one once)."""
    seen = set()
    for swept, settings in points:
        if settings in seen:
            continue
        seen.add(settings)
        try:
            config.check_settings(settings)
        except ValueError as error:
            where = ", ".join(f"{n}={config.PARAMETERS[n].text(v)}" for n, v in swept.items())
            raise ValueError(f"{where}: {error}") from None
