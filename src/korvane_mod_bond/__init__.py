"""Bonds and repurchase agreements for the korvane backtesting framework.

The compiled modules ``position``, ``trade``, ``validator`` and ``transaction``
are imported by the framework on its own; importing this package loads none of them.
"""

__version__ = "0.1.0"
