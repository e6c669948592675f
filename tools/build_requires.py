#!/usr/bin/env python3
"""Prints the build requirements ([build-system] requires) of the given project folders, one a
line, so that the development environment can install them and build without isolation."""

import sys
from pathlib import Path

try:
    import tomllib
except ImportError:  # Python 3.9 and 3.10: the copy pip carries
    from pip._vendor import tomli as tomllib

for folder in sys.argv[1:]:
    data = tomllib.loads((Path(folder) / "pyproject.toml").read_text())
    print(*data["build-system"]["requires"], sep="\n")
