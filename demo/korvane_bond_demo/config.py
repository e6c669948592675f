"""The strategy's settings as named parameters: on the command line, in a TOML file, in a grid.

Each field of :class:`korvane_bond_demo.settings.Settings` is a parameter of the same
name. A parameter reads a value from command-line text (``--repo-tenor-days 1``,
``--set repo_tenor_days=1,7``) and from a TOML value (``repo_tenor_days = 1``), and
refuses a value of the wrong kind with a ``ValueError`` of one line; ranges and the
relations between values are the ``Settings``' own checks. Lists of bonds are written
``ID:QUANTITY+ID:QUANTITY`` on the command line and as a table in TOML.

A TOML file (``--config``) holds the base settings at its top level (or in a
``[settings]`` table) and, for a sweep, a ``[grid]`` table of value lists::

    start = 2024-01-01
    cash = 3_000_000
    bonds = { "019547.XSHG" = 10_000, "127001.XSHE" = 5_000 }

    [grid]
    repo_tenor_days = [1, 7]
    borrowed_share = [0.5, 0.75, 1.0]
"""

import argparse
import dataclasses
import datetime
import itertools
import os
import stat
import sys

from korvane_bond_demo.settings import STRATEGIES, Settings

TRUE_WORDS, FALSE_WORDS = ("true", "yes", "on", "1"), ("false", "no", "off", "0")


@dataclasses.dataclass(frozen=True)
class Parameter:
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


# -- TOML files ----------------------------------------------------------------------


def _toml():
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        import tomli as tomllib
    return tomllib


@dataclasses.dataclass(frozen=True)
class Config:
    settings: dict  # parameter name -> value
    grid: dict  # parameter name -> list of values


MAX_CONFIG_BYTES = 1 << 20  # a settings file is a few lines; a bigger one is no settings file


def read_config(path):
    """The base settings and the grid of the TOML file ``path``; ValueError of one line.
    Only a regular file of at most :data:`MAX_CONFIG_BYTES` is read (a device, a FIFO or
    a folder is refused before anything is read from it)."""
    tomllib = _toml()
    try:
        # O_NONBLOCK: opening a FIFO with no writer must not wait
        handle = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    except OSError as error:
        raise ValueError(f"cannot read the settings file {path}: {error.strerror or error}") from None
    try:
        info = os.fstat(handle)
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(f"the settings file {path} is not a regular file")
        if info.st_size > MAX_CONFIG_BYTES:
            raise ValueError(
                f"the settings file {path} is {info.st_size:,} bytes, above the limit of {MAX_CONFIG_BYTES:,}"
            )
        with os.fdopen(handle, "rb") as f:
            handle = None
            data = f.read(MAX_CONFIG_BYTES + 1)
    except OSError as error:
        raise ValueError(f"cannot read the settings file {path}: {error.strerror or error}") from None
    finally:
        if handle is not None:
            os.close(handle)
    if len(data) > MAX_CONFIG_BYTES:
        raise ValueError(f"the settings file {path} is above the limit of {MAX_CONFIG_BYTES:,} bytes")
    try:
        document = tomllib.loads(data.decode("utf-8"))
    except UnicodeDecodeError:
        raise ValueError(f"{path}: not UTF-8 text") from None
    except tomllib.TOMLDecodeError as error:
        raise ValueError(f"{path}: not valid TOML: {' '.join(str(error).split())}") from None
    grid = document.pop("grid", {})
    base = document.pop("settings", {})
    if not isinstance(grid, dict) or not isinstance(base, dict):
        raise ValueError(f"{path}: [grid] and [settings] must be tables")
    for name, value in document.items():
        if name in base:
            raise ValueError(f"{path}: {name} is given twice, at the top and in [settings]")
        base[name] = value
    try:
        settings = {name: parameter(name).from_toml(value) for name, value in base.items()}
        values = {}
        for name, listed in grid.items():
            p = parameter(name)
            if not isinstance(listed, list):
                raise ValueError(f"{name}: a grid lists values in brackets, got {listed!r}")
            values[name] = _grid_values(name, [p.from_toml(value) for value in listed])
    except ValueError as error:
        raise ValueError(f"{path}: {error}") from None
    return Config(settings, values)


# -- grids ---------------------------------------------------------------------------


def parse_set(text):
    """``name=v1,v2,...`` of ``--set``: (name, list of values)."""
    name, equals, values = text.partition("=")
    name = name.strip()
    if not equals or not name:
        raise ValueError(f"write --set NAME=VALUE,VALUE,..., got {text!r}")
    p = parameter(name)
    listed = [] if values.strip() == "" else values.split(",")
    return name, _grid_values(name, [p.from_text(value) for value in listed])


def _grid_values(name, values):
    if not values:
        raise ValueError(f"{name}: the grid lists no value")
    if len(set(map(repr, values))) != len(values):
        raise ValueError(f"{name}: a value is listed more than once")
    return values


def grid_points(base, grid):
    """Every combination of the grid's values over the base settings, in order (the
    first parameter varies slowest): a list of (swept values, Settings). ValueError,
    naming the point, when one makes no valid Settings."""
    names = list(grid)
    points = []
    for combination in itertools.product(*(grid[name] for name in names)):
        swept = dict(zip(names, combination))
        try:
            settings = Settings(**{**base, **swept})
        except ValueError as error:
            where = ", ".join(f"{n}={PARAMETERS[n].text(v)}" for n, v in swept.items())
            raise ValueError(f"{where}: {error}" if where else str(error)) from None
        points.append((swept, settings))
    return points


# -- command-line options ------------------------------------------------------------


def add_options(parser):
    """An option for each parameter (default None: not given), and --config."""
    defaults = Settings()
    group = parser.add_argument_group("the strategy's settings (default: the values shown)")
    for p in PARAMETERS.values():
        default = p.text(getattr(defaults, p.name))
        if p.kind == "flag":
            group.add_argument(
                p.option, action=argparse.BooleanOptionalAction, default=None, help=f"{p.help} ({default})"
            )
        else:
            metavar = "DIR" if p.kind == "path" else None
            group.add_argument(
                p.option, type=_option_type(p), default=None, metavar=metavar, help=f"{p.help} ({default})"
            )
    parser.add_argument(
        "--config",
        metavar="FILE",
        help="a TOML file of settings (the options given here win over it)",
    )


def _option_type(p):
    def read(text):
        try:
            return p.from_text(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    read.__name__ = p.name  # argparse names the type in its messages
    return read


def base_settings(args, config=None):
    """The settings given: the file's, then the options given on the command line."""
    values = dict(config.settings) if config is not None else {}
    for name in PARAMETERS:
        given = getattr(args, name, None)
        if given is not None:
            values[name] = given
    return values
