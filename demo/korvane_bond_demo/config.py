"""The strategy's settings given: on the command line, in a TOML file, in a grid.

Every parameter (:mod:`korvane_bond_demo.parameters`) is an option of the commands and a
key of a TOML file. Lists of bonds are written ``ID:QUANTITY+ID:QUANTITY`` on the command
line and as a table in TOML.

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
import itertools
import os
import stat
import sys

from korvane_bond_demo.parameters import PARAMETERS, parameter
from korvane_bond_demo.settings import Settings

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
