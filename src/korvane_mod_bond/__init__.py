"""Bonds and repurchase agreements for the korvane backtesting framework.

The compiled modules ``position``, ``trade``, ``validator`` and ``transaction``
are imported by the framework on its own; importing this package loads none of them.
``korvane_mod_bond.mod`` is the start-up code that installs them into a backtest
(``BondMod``) and the repo order functions a strategy calls.
"""

__version__ = "0.1.0"
