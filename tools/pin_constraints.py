#!/usr/bin/env python3
"""Writes constraints.txt: the versions that the Makefile and CI install, one pin a line.

The requirements are read from the project's pyproject.toml files (build requirements,
dependencies, extras and dependency groups, the project's own distributions left out),
resolved by pip for each installed CPython from 3.9 to the newest, and written as pins;
a package that resolves to different versions on different interpreters gets one pin per
range of Python versions, with an environment marker.

    tools/pin_constraints.py            # resolve again and rewrite constraints.txt (needs the index)
    tools/pin_constraints.py --check    # fail unless every declared requirement is pinned (offline)
"""

import argparse
import datetime
import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

from pythons import interpreter

try:
    import tomllib
except ImportError:  # Python 3.9 and 3.10: the copy pip carries
    from pip._vendor import tomli as tomllib
ROOT = Path(__file__).resolve().parent.parent
PROJECTS = ["pyproject.toml", "standins/pyproject.toml", "demo/pyproject.toml"]
VERSIONS = ["3.9", "3.10", "3.11", "3.12", "3.13", "3.14"]
OUT = ROOT / "constraints.txt"


def canonical(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def requirement_name(text):
    return canonical(re.match(r"\s*([A-Za-z0-9][A-Za-z0-9._-]*)", text).group(1))


def declared():
    """Every requirement of every project here, and the names of the projects themselves."""
    found, own = [], set()
    for rel in PROJECTS:
        path = ROOT / rel
        if not path.exists():
            continue
        data = tomllib.loads(path.read_text())
        own.add(canonical(data["project"]["name"]))
        found += data.get("build-system", {}).get("requires", [])
        found += data["project"].get("dependencies", [])
        for extra in data["project"].get("optional-dependencies", {}).values():
            found += extra
        for group in data.get("dependency-groups", {}).values():
            found += [item for item in group if isinstance(item, str)]
    reqs = sorted({r for r in found if requirement_name(r) not in own}, key=str.lower)
    return ["pip", *reqs]


def resolve(python, reqs):
    with tempfile.TemporaryDirectory() as tmp:
        report = Path(tmp) / "report.json"
        # The resolution starts from nothing: neither what is installed nor the old pins count.
        done = subprocess.run(
            [python, "-m", "pip", "install", "--dry-run", "--ignore-installed", "-q", "--report", str(report)]
            + reqs,
            env={**os.environ, "PIP_CONSTRAINT": ""},
            capture_output=True,
            text=True,
        )
        if done.returncode != 0:
            sys.exit("pip could not resolve for %s:\n%s" % (python, done.stderr))
        items = json.loads(report.read_text())["install"]
    return {canonical(i["metadata"]["name"]): i["metadata"]["version"] for i in items}


def marker(lo, hi):
    """The marker for Python versions from VERSIONS[lo] up to VERSIONS[hi], open at both ends."""
    parts = []
    if lo > 0:
        parts.append('python_version >= "%s"' % VERSIONS[lo])
    if hi < len(VERSIONS) - 1:
        parts.append('python_version < "%s"' % VERSIONS[hi + 1])
    return " and ".join(parts)


def pins(by_version):
    names = sorted({n for got in by_version.values() for n in got})
    lines = []
    for name in names:
        seen = [(VERSIONS.index(v), got[name]) for v, got in by_version.items() if name in got]
        if len({ver for _, ver in seen}) == 1:
            lines.append("%s==%s" % (name, seen[0][1]))
            continue
        # One range per run of interpreters that agree; a range reaches up to the next one.
        runs = []
        for index, ver in seen:
            if runs and runs[-1][2] == ver:
                runs[-1][1] = index
            else:
                runs.append([index, index, ver])
        for i, (lo, hi, ver) in enumerate(runs):
            lo = 0 if i == 0 else lo
            hi = len(VERSIONS) - 1 if i == len(runs) - 1 else runs[i + 1][0] - 1
            lines.append("%s==%s ; %s" % (name, ver, marker(lo, hi)))
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="fail unless every requirement is pinned")
    args = parser.parse_args()
    reqs = declared()
    if args.check:
        pinned = {requirement_name(line) for line in OUT.read_text().splitlines() if line[:1].isalnum()}
        missing = [r for r in reqs if requirement_name(r) not in pinned]
        if missing:
            sys.exit(
                "constraints.txt pins no version of %s: run tools/pin_constraints.py" % ", ".join(missing)
            )
        return
    by_version = {}
    for version in VERSIONS:
        python = interpreter(version)
        if python is None:
            print("Python %s: not installed, not resolved for" % version, file=sys.stderr)
            continue
        print("Python %s: resolving %d requirements with %s" % (version, len(reqs), python), file=sys.stderr)
        by_version[version] = resolve(python, reqs)
    head = [
        "# The versions the Makefile and CI install (pip --constraint, PIP_CONSTRAINT for isolated builds).",
        "# Written by tools/pin_constraints.py from the requirements in the pyproject.toml files; rerun it",
        "# after changing a requirement there. Resolved for Python %s." % ", ".join(by_version),
        "# Resolved on %s." % datetime.date.today().isoformat(),
    ]
    OUT.write_text("\n".join(head + pins(by_version)) + "\n")
    print("wrote %s" % OUT.relative_to(ROOT), file=sys.stderr)


if __name__ == "__main__":
    main()
