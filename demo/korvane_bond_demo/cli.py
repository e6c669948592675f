"""``korvane-bond-demo`` / ``python -m korvane_bond_demo``: the sample bond-and-repo backtest.

``korvane-bond-demo sweep ...`` hands over to :mod:`korvane_bond_demo.sweep_cli`. Every
option is checked before the run: a bad one is refused with one line and exit status 2;
outputs that cannot be written after the run end it with one line and status 3.
Ctrl-C ends the run with "interrupted" and status 130; the outputs are renamed into
place only once all are written, so an interrupted or failed run leaves the previous
ones, or none. This module and the parser load no heavy library (``--help`` needs
neither NumPy nor pandas): the run imports what it needs.
"""

import argparse
import sys
import time

from korvane_bond_demo import command, config
from korvane_bond_demo.outputs import OUTPUT_HELP, OUTPUTS

DATA_FIRST, DATA_LAST = "2023-01-03", "2025-12-31"  # the bundled market data; checked by the tests


def parser():
    outputs = "\n".join(f"  {name:<14}{OUTPUT_HELP[name]}" for name in OUTPUTS)
    made = command.Parser(
        prog=command.PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Run the sample bond-and-repo backtest: buy bonds, finance against the exchange\n"
            "bonds with repos rolled on their due day, lend spare cash overnight, live through\n"
            "coupons and redemptions (--strategy carry buys more bonds with the borrowed cash).\n"
            "Prints a summary with the statistics and writes the outputs below.\n\n"
            f"The bundled market data cover {DATA_FIRST} to {DATA_LAST} (the exchange's sessions);\n"
            "--data DIR runs on a folder of your own (its layout: korvane_bond_demo.reader,\n"
            "demo/README.md). `korvane-bond-demo sweep --help` runs a grid of settings;\n"
            "`korvane-bond-demo tables --help` writes cash-flow tables from a bond's terms."
        ),
        epilog=(
            f"outputs, in the --out folder:\n{outputs}\n\n"
            "The CSV files keep every amount at full precision (they reconcile exactly);\n"
            "the summary and report.html round to the fen.\n\n"
            "exit status: 0 done, 1 not reconciled, 2 refused before the run, 3 the outputs\n"
            "could not be made or written (the previous ones are kept), 130 Ctrl-C."
        ),
    )
    made.add_argument(
        "--out", default=command.DEFAULT_OUT, help=f"output folder (default ./{command.DEFAULT_OUT})"
    )
    made.add_argument("--no-progress", action="store_true", help="no progress bar")
    config.add_options(made)  # every setting, and --config
    return made


def parse_args(argv=None):
    return parser().parse_args(argv)


def main(argv=None):
    """The command: ``argv`` defaults to the command line. Returns the exit status."""
    args = sys.argv[1:] if argv is None else list(argv)
    if args[:1] == ["sweep"]:
        from korvane_bond_demo import sweep_cli

        return command.run_command(lambda _: sweep_cli.body(args[1:]), argv)
    if args[:1] == ["tables"]:
        from korvane_bond_demo import terms_cli

        return command.run_command(lambda _: terms_cli.body(args[1:]), argv)
    return command.run_command(lambda _: body(args), argv)


def body(argv):
    args = parse_args(argv)
    started = time.perf_counter()
    from korvane_bond_demo.analysis import NotFinite
    from korvane_bond_demo.backtest import prepare
    from korvane_bond_demo.files import check_output_folder

    try:
        prepared = prepare(settings_of(args))  # the data opened and the settings checked, once
        out = check_output_folder(args.out, OUTPUTS)
    except ValueError as error:
        return command.error(error)
    bar = command.progress_bar(not args.no_progress, "trading days", "day")
    try:
        done = prepared.run(out, progress=bar)
    except NotFinite as error:  # the run ended with totals no output can be made of
        return command.error(error, status=command.INCOMPLETE)
    except ValueError as error:  # what the framework refuses of the run
        return command.error(error)
    except OSError as error:  # a full disk, the folder changed under the run
        message = f"cannot write the outputs into {out}: {error.strerror or error}"
        return command.error(message, status=command.INCOMPLETE)
    print(done.text)
    print(f"\ndone in {time.perf_counter() - started:.1f} s")
    return command.OK if done.summary.reconciled else command.FAILED


def settings_of(args):
    """The run's settings: the defaults, then the --config file's, then the options given.
    ValueError of one line."""
    from korvane_bond_demo.settings import Settings

    loaded = config.read_config(args.config) if args.config else None
    if loaded is not None and loaded.grid:
        raise ValueError(
            f"{args.config} has a [grid]: run it with `{command.PROG} sweep --config {args.config}`"
        )
    return Settings(**config.base_settings(args, loaded))
