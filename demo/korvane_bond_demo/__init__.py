"""The sample bond-and-repo backtest on the bundled data.

Run it with ``korvane-bond-demo`` or ``python -m korvane_bond_demo`` (``--help``
lists the options). :func:`korvane_bond_demo.cli.run` runs it from Python and
returns the result, its summary and the files written.
"""
