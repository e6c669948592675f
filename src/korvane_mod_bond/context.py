"""The strategy's context with the package's order functions, for editors and type checkers.

:class:`~korvane_mod_bond.mod.BondMod` offers its order functions on the
framework's context when a backtest is built, so the framework's context class
does not name them: an editor cannot complete ``context.repo`` and ``mypy``
cannot check its arguments. Annotate the context of a strategy's methods with
:class:`BondContext` and both see the four functions with their parameters::

    from korvane_mod_bond.context import BondContext

    class Carry(Strategy):
        def handle_day(self, context: BondContext) -> None:
            context.repo("204007.XSHG", "019547.XSHG", 10_000, 0.9)

The annotation changes nothing at run time: the framework hands the strategy its
own context, on which the functions are there.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    from korvane.runner import OrderRecord

__all__ = ["BondContext"]


class BondContext(Protocol):
    """The framework's context as a strategy sees it with :class:`~korvane_mod_bond.mod.BondMod`
    installed: the four order functions, typed, and the framework's own members.

    The order functions are those of :mod:`korvane_mod_bond.mod`, called without
    their first argument, the context. The framework's own members (``date``,
    ``buy``, ``position``, ``open_repos``, ...) are the framework's: a type
    checker reads them as ``Any``.

    Examples
    --------
    The annotation is all a strategy needs; the backtest runs as before:

    >>> from types import SimpleNamespace
    >>> from korvane.runner import Backtest, BondQuote, Strategy
    >>> from pelvorn import bond
    >>> from korvane_mod_bond.context import BondContext
    >>> from korvane_mod_bond.data import instrument_from_record
    >>> from korvane_mod_bond.mod import BondMod
    >>> class Lend(Strategy):
    ...     def handle_day(self, context: BondContext) -> None:
    ...         self.amount = context.max_reverse_repo_amount("204001.XSHG")
    >>> instruments = [instrument_from_record(bond.instrument_info(i)) for i in bond.all_instruments().index]
    >>> market = SimpleNamespace(bond_quote=lambda order_book_id, day: None,
    ...                          repo_rate=lambda order_book_id, day: 0.018)
    >>> strategy = Lend()
    >>> result = Backtest(strategy, "2024-11-15", "2024-11-15", cash=1_000_000.0,
    ...                   instruments=instruments, market=market, mods=[BondMod()]).run()
    >>> strategy.amount  # whole lots of 1,000 yuan that the cash covers with the commission
    999000.0

    ``mypy`` then checks each call, ``context.repo("204001.XSHG", 10_000)`` for one:
    "Missing positional arguments "quantity", "haircut" in call to "repo" of "BondContext"".
    """

    def repo(self, repo_id: str, bond_id: str, quantity: float, haircut: float) -> OrderRecord:
        """Borrow cash for the repo's period, pledging ``quantity`` bonds of ``bond_id``:
        :func:`korvane_mod_bond.mod.repo`."""
        ...

    def reverse_repo(self, repo_id: str, amount: float) -> OrderRecord:
        """Lend ``amount`` yuan of cash for the repo's period: :func:`korvane_mod_bond.mod.reverse_repo`."""
        ...

    def max_reverse_repo_amount(self, repo_id: str, cash: float | None = None) -> float:
        """The largest amount, in whole lots of the repo, that can be lent out of ``cash``:
        :func:`korvane_mod_bond.mod.max_reverse_repo_amount`."""
        ...

    def pledgeable_quantity(self, bond_id: str) -> float:
        """The bonds of ``bond_id`` free to pledge today: :func:`korvane_mod_bond.mod.pledgeable_quantity`."""
        ...

    def __getattr__(self, name: str) -> Any:
        """The framework's own members of the context, untyped here."""
        ...
