"""``korvane-bond-demo`` / ``python -m korvane_bond_demo``: the sample bond-and-repo backtest.

Every option is checked before the run: a bad one is refused with one line and
exit status 2. Ctrl-C ends the run with "interrupted" and status 130; the
outputs are renamed into place only once all are written, so an interrupted or
failed run leaves the previous ones, or none.
"""

import argparse
import datetime
import math
import os
import signal
import sys
import time

from korvane_bond_demo.settings import Settings

DEFAULTS = Settings()
DEFAULT_OUT = "out"
DATA_FIRST, DATA_LAST = "2023-01-03", "2025-12-31"  # the bundled market data; checked by the tests
PROG = "korvane-bond-demo"


def _date(text):
    try:
        return datetime.date.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a date (YYYY-MM-DD): {text!r}") from None


def _cash(text):
    try:
        value = float(text.replace(",", "").replace("_", ""))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an amount: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"initial cash must be a finite amount, got {text!r}")
    if not value > 0:
        raise argparse.ArgumentTypeError(f"initial cash must be a positive amount, got {text!r}")
    return value


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        """One line and status 2 (argparse's own adds the usage above it)."""
        self.exit(2, f"{self.prog}: error: {message} (--help lists the options)\n")


def _parser():
    from korvane_bond_demo.report import OUTPUT_HELP, OUTPUTS

    outputs = "\n".join(f"  {name:<14}{OUTPUT_HELP[name]}" for name in OUTPUTS)
    parser = _Parser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Run the sample bond-and-repo backtest on the bundled data: buy bonds, finance\n"
            "against the exchange bonds with seven-day repos rolled on their due day, lend\n"
            "spare cash overnight, live through coupons and redemptions. Prints a summary\n"
            "with the statistics and writes the outputs below.\n\n"
            f"The bundled market data cover {DATA_FIRST} to {DATA_LAST} (the exchange's sessions)."
        ),
        epilog=(
            f"outputs, in the --out folder:\n{outputs}\n\n"
            "The CSV files keep every amount at full precision (they reconcile exactly);\n"
            "the summary and report.html round to the fen."
        ),
    )
    parser.add_argument("--start", type=_date, default=None, help=f"first day (default {DEFAULTS.start})")
    parser.add_argument("--end", type=_date, default=None, help=f"last day (default {DEFAULTS.end})")
    parser.add_argument(
        "--cash",
        type=_cash,
        default=None,
        help=f"initial cash in yuan (default {DEFAULTS.cash:,.0f})",
    )
    parser.add_argument("--out", default=DEFAULT_OUT, help=f"output folder (default ./{DEFAULT_OUT})")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    # the other settings and --config; `korvane-bond-demo sweep` runs a grid of them
    from korvane_bond_demo.config import add_options

    add_options(parser)
    return parser


def parse_args(argv=None):
    return _parser().parse_args(argv)


def _error(message):
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return 2


def main(argv=None):
    """The command: ``argv`` defaults to the command line. Returns the exit status."""
    try:
        code = _main(argv)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        if argv is None:
            # Leave at once with status 130: an interrupt that landed inside code the
            # interpreter ran through its own run-a-string entry (some extension modules
            # do, while they are imported) marks it "unhandled", and the interpreter
            # would then end by killing itself with SIGINT. The staged outputs are gone
            # already; only the standard streams need flushing.
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(130)
        return 130
    if argv is None:
        # The work is done and reported: a Ctrl-C while the interpreter shuts down
        # (which restores the default action, death by signal) is ignored instead.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    return code


def _main(argv):
    if (sys.argv[1:] if argv is None else list(argv))[:1] == ["sweep"]:
        from korvane_bond_demo import sweep_cli

        return sweep_cli.main((sys.argv[1:] if argv is None else list(argv))[1:])
    args = parse_args(argv)
    started = time.perf_counter()
    from korvane_bond_demo.backtest import run
    from korvane_bond_demo.files import check_output_folder
    from korvane_bond_demo.report import OUTPUTS, format_summary

    try:
        settings = _settings(args)
        out = check_output_folder(args.out, OUTPUTS)
    except ValueError as error:
        return _error(error)
    bar = None
    if not args.no_progress:
        from tqdm import tqdm

        def bar(days):
            # disable=None: no bar when stderr is not a terminal
            return tqdm(days, desc="trading days", unit="day", leave=False, disable=None)

    try:
        done = run(settings, out, progress=bar)
    except ValueError as error:  # a run the framework refuses up front (no trading day, ...)
        return _error(error)
    except OSError as error:  # the folder changed under the run
        return _error(f"cannot write the outputs into {out}: {error.strerror or error}")
    print(format_summary(done.summary, done.stats, done.paths, done.notes))
    print(f"\ndone in {time.perf_counter() - started:.1f} s")
    return 0 if done.summary.reconciled else 1


def _settings(args):
    """The run's settings: the defaults, then the --config file's, then the options given."""
    from korvane_bond_demo import config

    loaded = config.read_config(args.config) if args.config else None
    if loaded is not None and loaded.grid:
        raise ValueError(f"{args.config} has a [grid]: run it with `{PROG} sweep --config {args.config}`")
    settings = Settings(**config.base_settings(args, loaded))
    config.check_settings(settings)
    return settings
