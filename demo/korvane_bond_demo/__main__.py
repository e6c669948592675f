"""The command's entry: ``python -m korvane_bond_demo`` and the ``korvane-bond-demo`` script.

Ctrl-C is heard from the first line: the handler (:mod:`korvane_bond_demo.interrupt`) is
installed before anything else is imported, the command itself
(:func:`korvane_bond_demo.cli.main`, which loads pandas, the framework and the rest only
where a command needs them) after.
"""

from korvane_bond_demo import interrupt

interrupt.install()

import sys  # noqa: E402  (after the handler, on purpose)


def main():
    """Run the command on the command line's arguments; its exit status."""
    from korvane_bond_demo.cli import main as command

    return command()


if __name__ == "__main__":
    sys.exit(main())
