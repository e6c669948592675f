"""A small market-data client.

``from pelvorn import bond`` gives the bond namespace: cash flows and
reference data of bonds and bond repos, served from a small bundled data set
that tests can override in memory.
"""

from pelvorn import bond

__all__ = ["bond"]
__version__ = "0.1.0"
