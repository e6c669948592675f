"""The sample bond-and-repo backtest on the bundled data.

Run it with ``korvane-bond-demo`` or ``python -m korvane_bond_demo`` (``--help``
lists the options and outputs). From Python, :func:`korvane_bond_demo.backtest.run`
runs it with a :class:`korvane_bond_demo.settings.Settings` and returns the
result, the ledger, the summary, the statistics and the files written;
:func:`korvane_bond_demo.backtest.run_statistics` returns the statistics only.
"""
