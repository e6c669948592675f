"""The compiled floors (cfloor.c), built on first use into the build folder with
the interpreter's own compiler settings. None when no C compiler is at hand."""

import importlib.util
import pathlib
import shlex
import subprocess
import sys
import sysconfig

import floors
from korvane.portfolio.position import Position

from korvane_mod_bond import transaction, validator

HERE = pathlib.Path(__file__).parent


def _build():
    source = HERE / "cfloor.c"
    tag = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    out_dir = HERE.parent / "build" / "bench-cfloor"
    target = out_dir / ("_cfloor" + tag)
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        out_dir.mkdir(parents=True, exist_ok=True)
        cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
        command = cc + [
            "-O2",
            "-shared",
            "-fPIC",
            "-I" + sysconfig.get_paths()["include"],
            str(source),
            "-o",
            str(target),
        ]
        subprocess.run(command, check=True, capture_output=True)
    spec = importlib.util.spec_from_file_location("_cfloor", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def load():
    try:
        module = _build()
    except (OSError, subprocess.CalledProcessError) as e:
        sys.stderr.write("compiled floors unavailable ({}); the C floor column stays empty\n".format(e))
        return None
    module.setup(
        Position.before_trading,
        Position.settlement,
        floors._real,
        floors._implied,
        floors.convert_date_to_date_int,
        vars(transaction),
        vars(validator),
    )
    return module


_module = None


def get():
    global _module
    if _module is None:
        _module = load() or False
    return _module or None
