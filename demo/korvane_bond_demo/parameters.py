"""The strategy's settings as named parameters, each read from the command line and from TOML.

Each field of :class:`korvane_bond_demo.settings.Settings` is a parameter of the same
name. A parameter reads a value from command-line text (``--repo-tenor-days 1``,
``--set repo_tenor_days=1,7``) and from a TOML value (``repo_tenor_days = 1``), writes it
back as text (:meth:`Parameter.text`, how the outputs and a sweep's grid record it), and
refuses a value of the wrong kind with a ``ValueError`` of one line; ranges and the
relations between values are the ``Settings``' own checks. Lists of bonds are written
``ID:QUANTITY+ID:QUANTITY`` on the command line and as a table in TOML.
"""

import dataclasses
import datetime
import shlex

from korvane_bond_demo.settings import STRATEGIES, Settings

TRUE_WORDS, FALSE_WORDS = ("true", "yes", "on", "1"), ("false", "no", "off", "0")


@dataclasses.dataclass(frozen=True)
class Parameter:
    """One setting as the commands take it: its name, its kind (how a value is read and
    written back), its help text and, for a choice, the values allowed."""

    name: str
    kind: str  # "date", "amount", "whole", "flag", "choice", "path", "quantities", "shares"
    help: str
    choices: tuple = ()

    @property
    def option(self):
        return "--" + self.name.replace("_", "-")

    def from_text(self, text):
        """The value written ``text`` on the command line; ValueError when it is not one."""
        text = text.strip()
        if self.kind == "date":
            return _date(text)
        if self.kind == "amount":
            try:
                return float(text.replace(",", "").replace("_", ""))
            except ValueError:
                raise ValueError(f"{self.name}: not an amount: {text!r}") from None
        if self.kind == "whole":
            try:
                return int(text.replace("_", ""))
            except ValueError:
                raise ValueError(f"{self.name}: not a whole number: {text!r}") from None
        if self.kind == "flag":
            if text.lower() in TRUE_WORDS:
                return True
            if text.lower() in FALSE_WORDS:
                return False
            raise ValueError(f"{self.name}: not true or false: {text!r}")
        if self.kind == "path" and text == "":
            return None  # the bundled data
        if self.kind in ("choice", "path"):
            return self.from_toml(text)
        items = []
        for item in text.split("+"):
            order_book_id, colon, figure = item.strip().partition(":")
            if not colon or not order_book_id.strip():
                raise ValueError(f"{self.name}: write ID:{self._figure}[+ID:{self._figure}...], got {text!r}")
            items.append((order_book_id.strip(), self._item_from_text(figure.strip())))
        return self._items(items)

    @property
    def _figure(self):
        return "QUANTITY" if self.kind == "quantities" else "SHARE"

    def _item_from_text(self, figure):
        try:
            return int(figure.replace("_", "")) if self.kind == "quantities" else float(figure)
        except ValueError:
            what = "a whole quantity" if self.kind == "quantities" else "a share"
            raise ValueError(f"{self.name}: not {what}: {figure!r}") from None

    def from_toml(self, value):
        """The value read from TOML (or given in Python); ValueError when of the wrong kind."""
        if self.kind == "date":
            if isinstance(value, str):
                return _date(value)
            if isinstance(value, datetime.datetime) or not isinstance(value, datetime.date):
                raise ValueError(f"{self.name}: not a date (YYYY-MM-DD): {value!r}")
            return value
        if self.kind == "amount":
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise ValueError(f"{self.name}: not an amount: {value!r}")
            return float(value)
        if self.kind == "whole":
            if isinstance(value, bool) or not isinstance(value, int):
                raise ValueError(f"{self.name}: not a whole number: {value!r}")
            return value
        if self.kind == "flag":
            if not isinstance(value, bool):
                raise ValueError(f"{self.name}: not true or false: {value!r}")
            return value
        if self.kind == "choice":
            if value not in self.choices:
                raise ValueError(f"{self.name}: one of {', '.join(self.choices)}, got {value!r}")
            return value
        if self.kind == "path":
            if value is None or value == "":
                return None  # the bundled data
            if not isinstance(value, str) or not value.strip():
                raise ValueError(f"{self.name}: not a folder name: {value!r}")
            return value
        if isinstance(value, dict):
            value = list(value.items())
        if not isinstance(value, (list, tuple)) or not all(
            isinstance(item, (list, tuple)) and len(item) == 2 and isinstance(item[0], str) for item in value
        ):
            raise ValueError(f'{self.name}: write a table of {{ "ID" = {self._figure} }}, got {value!r}')
        items = []
        for order_book_id, figure in value:
            if self.kind == "quantities":
                ok = isinstance(figure, int) and not isinstance(figure, bool)
            else:
                ok = isinstance(figure, (int, float)) and not isinstance(figure, bool)
            if not ok:
                raise ValueError(f"{self.name}: {order_book_id}: not {self._figure.lower()}: {figure!r}")
            items.append((order_book_id, figure if self.kind == "quantities" else float(figure)))
        return self._items(items)

    def _items(self, items):
        if not items:
            raise ValueError(f"{self.name}: name at least one bond")
        ids = [order_book_id for order_book_id, _ in items]
        duplicated = sorted({i for i in ids if ids.count(i) > 1})
        if duplicated:
            raise ValueError(f"{self.name}: {', '.join(duplicated)} named more than once")
        return tuple(items)

    def text(self, value):
        """``value`` written as on the command line (the inverse of :meth:`from_text`)."""
        if self.kind == "flag":
            return "true" if value else "false"
        if self.kind in ("quantities", "shares"):
            return "+".join(f"{order_book_id}:{figure!r}" for order_book_id, figure in value)
        if self.kind == "amount":
            return repr(value)
        if value is None:
            return ""
        return str(value)


PARAMETERS = {
    p.name: p
    for p in (
        Parameter("start", "date", "first day"),
        Parameter("end", "date", "last day"),
        Parameter("cash", "amount", "initial cash in yuan"),
        Parameter("bonds", "quantities", "bonds bought and their quantities, ID:QUANTITY+ID:QUANTITY"),
        Parameter(
            "pledges", "shares", "exchange bonds financed with repos and the share lent, ID:SHARE+ID:SHARE"
        ),
        Parameter("repo_tenor_days", "whole", "repo tenor in calendar days, 1 or 7"),
        Parameter("borrowed_share", "amount", "share of the pledgeable holding pledged, above 0 to 1"),
        Parameter("lend_overnight", "flag", "lend spare cash in the overnight reverse repo (true/false)"),
        Parameter("exit_days", "whole", "last trading days with no new financing and the bonds sold"),
        Parameter("ib_commission_rate", "amount", "inter-bank commission rate"),
        Parameter("ib_min_commission", "amount", "inter-bank minimum commission a trade, yuan"),
        Parameter("exchange_commission_rate", "amount", "exchange commission rate"),
        Parameter("exchange_max_commission", "amount", "exchange maximum commission a trade, yuan"),
        Parameter(
            "strategy",
            "choice",
            "conservative (own cash buys the bonds) or carry (borrowed cash buys more)",
            STRATEGIES,
        ),
        Parameter("target_leverage", "amount", "carry: repo owed / equity to borrow up to, above 0 to 20"),
        Parameter("cash_buffer", "amount", "carry: share of equity kept in cash, 0 to below 1"),
        Parameter(
            "data", "path", "a folder of market data in the documented layout (default: the bundled data)"
        ),
        Parameter(
            "roll_cash_flow_dates",
            "flag",
            "move a cash-flow date of the data that is no session to the next session (true/false)",
        ),
        Parameter("max_table_mb", "amount", "the largest data table read, in million bytes"),
    )
}
assert set(PARAMETERS) == {f.name for f in dataclasses.fields(Settings)}


def _date(text):
    try:
        return datetime.date.fromisoformat(text)
    except ValueError:
        raise ValueError(f"not a date (YYYY-MM-DD): {text!r}") from None


def parameter(name):
    try:
        return PARAMETERS[name]
    except KeyError:
        raise ValueError(f"unknown parameter {name!r}; the parameters are {', '.join(PARAMETERS)}") from None


def settings_text(settings):
    """{parameter: its value as text} of ``settings``, every parameter: how a sweep's grid and
    a run's outputs record them."""
    return {name: p.text(getattr(settings, name)) for name, p in PARAMETERS.items()}


def as_options(texts):
    """The command-line options that give the settings of ``texts`` (as
    :func:`settings_text` writes them) from the defaults: one string per setting that
    differs from its default, as a shell takes it."""
    defaults = settings_text(Settings())
    found = []
    for name, p in PARAMETERS.items():
        text = texts[name]
        if text == defaults[name]:
            continue
        if p.kind == "flag":
            found.append(p.option if text == "true" else "--no-" + p.option[2:])
        else:
            found.append(f"{p.option} {shlex.quote(text)}")
    return found
