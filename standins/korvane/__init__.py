"""A small event-driven backtesting framework.

Only the pieces that extension packages build against live here: constants,
the environment, the data proxy, positions and the portfolio, trades and
orders, the validator and cost-decider interfaces and a few utilities.
``korvane.testing`` builds a complete environment in one call.
"""

__version__ = "0.1.0"
