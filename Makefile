# The two everyday commands:
#   make demo   run the main job (a sample bond-and-repo backtest on bundled data)
#   make test   build everything and run the C++ and Python tests
# PYTHON picks the interpreter (default: a working Python 3.9, else python3).

PYTHON ?= $(shell tools/find-python 3.9)

# What the builds need from the machine, checked before anything runs: a Python with venv
# and a C++17 compiler for every target that builds the package, and GoogleTest for the C++
# tests. A missing one stops make with one line saying what to install.
GOALS := $(or $(MAKECMDGOALS),all)
NEEDS := $(if $(filter all test test-cpp test-python demo sweep bench install install-dev,$(GOALS)),compiler) \
         $(if $(filter all test test-cpp,$(GOALS)),gtest)
ifneq ($(strip $(NEEDS)),)
MISSING := $(shell tools/check-prerequisites "$(PYTHON)" $(NEEDS))
ifneq ($(MISSING),)
$(error $(MISSING))
endif
endif

PYVER  := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV   ?= .venv-$(PYVER)
VPY    := $(VENV)/bin/python

# Dependencies are declared in the pyproject.toml files (the product's build requirements and
# dependency groups, the stand-ins', the demo's) and their versions pinned in constraints.txt,
# which every pip run here obeys. The builds here run without isolation, in the environment;
# tools/wheels.py, whose builds are isolated, also pins their environments (PIP_BUILD_CONSTRAINT:
# pip refuses it together with --no-build-isolation, so it is not set here).
export PIP_CONSTRAINT := $(abspath constraints.txt)
PIP       := $(VPY) -m pip install -q
DEP_FILES := pyproject.toml standins/pyproject.toml demo/pyproject.toml constraints.txt

# Two layers of the environment, each redone when a dependency file changes: what building
# the packages needs (the build requirements, CMake and Ninja), enough for `make demo`; and
# the test and development tools on top.
BASE := $(VENV)/.stamp-build
DEV  := $(VENV)/.stamp-dev
DOCS := $(VENV)/.stamp-docs

.PHONY: all venv install install-dev test test-cpp test-python demo sweep bench lint tidy format sanitize \
        leakcheck stubtest wheels constraints docs clean

all: test

$(BASE): $(DEP_FILES)
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(PIP) --upgrade pip
	$(PIP) $$($(VPY) tools/build_requires.py . standins demo) --group cmake
	touch $@

$(DEV): $(BASE)
	$(PIP) --group dev
	touch $@

venv: $(DEV)

# The documentation tools, a layer of their own on the build layer: the tests need none of them.
$(DOCS): $(BASE)
	$(PIP) --group docs
	touch $@

# The package (compiled modules and siblings), the framework stand-ins and the demo, with their
# dependencies, installed into the virtual environment; the build folder is kept, so rebuilds are
# incremental. The development install adds the demo's extras for its tests: sweep (Dask) and
# parquet (pyarrow). The stand-ins' and the demo's setuptools build folders go first: setuptools
# copies into them and never removes what a package no longer has, which would be installed again.
INSTALL = rm -rf standins/build demo/build && $(PIP) --no-build-isolation . ./standins
install: $(BASE)
	$(INSTALL) ./demo

install-dev: $(DEV)
	$(INSTALL) "./demo[sweep,parquet]"

test-cpp: $(BASE)
	$(VENV)/bin/cmake -S . -B build/cpp-tests -G Ninja -DKMB_BUILD_TESTS=ON -DKMB_BUILD_MODULES=OFF \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
	$(VENV)/bin/cmake --build build/cpp-tests
	cd build/cpp-tests && $(abspath $(VENV))/bin/ctest --output-on-failure

test-python: install-dev
	$(VPY) -m pytest -q tests

test: test-cpp test-python

demo: install
	$(VPY) -m korvane_bond_demo

# A 12-point parameter sweep of the sample backtest on this machine's cores (out/sweep/); it
# needs nothing beyond `make demo` (Dask only for a sweep on a cluster, --scheduler).
SWEEP_GRID ?= --set repo_tenor_days=1,7 --set borrowed_share=0.5,0.75,1 --set lend_overnight=true,false
sweep: install
	$(VPY) -m korvane_bond_demo sweep $(SWEEP_GRID) --out out/sweep

bench: install
	$(VPY) bench/run.py

lint: $(DEV)
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VPY) tools/pin_constraints.py --check
	clang-format --dry-run --Werror cpp/*/*.cpp cpp/*/*.hpp tests/cpp/*.cpp

# clang-tidy over the C++ sources, with the compile commands of a module build.
tidy: $(BASE)
	$(VENV)/bin/cmake -S . -B build/tidy -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DPython_EXECUTABLE=$(abspath $(VPY)) -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir) >/dev/null
	clang-tidy -p build/tidy --quiet cpp/*/*.cpp

# The four modules and the C++ unit tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer (the first finding aborts), then the whole test
# suite run under them. The interpreter itself is not instrumented: the
# sanitizer runtime is preloaded into it, and PYTHONMALLOC=malloc hands every
# Python object to the instrumented allocator, so that an object read after it
# was freed is caught too. CPython keeps memory at exit on purpose, so the
# interpreter gets no leak report; `make leakcheck` watches for leaks. The
# instrumented frames live on AddressSanitizer's own stacks, which catches a
# frame's memory used after it returned, and leaves the thread's stack clean
# when a thread ended by the interpreter is unwound past frames it skips (on
# the thread's stack, their guard bytes would be taken for an overflow by the
# sanitizer's own clean-up).
SAN_CXX ?= g++
SAN_DIR := build/sanitize-$(PYVER)
SAN_ENV  = LD_PRELOAD=$$($(SAN_CXX) -print-file-name=libasan.so):$$($(SAN_CXX) -print-file-name=libubsan.so) \
           PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=1 \
           UBSAN_OPTIONS=print_stacktrace=1 \
           PYTHONPATH=$(abspath $(SAN_DIR))/stage

sanitize: install-dev
	$(VENV)/bin/cmake -S . -B $(SAN_DIR) -G Ninja -DKMB_SANITIZE=ON -DKMB_BUILD_TESTS=ON \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(SAN_CXX) \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DPython_EXECUTABLE=$(abspath $(VPY)) \
	    -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir) >/dev/null
	$(VENV)/bin/cmake --build $(SAN_DIR)
	cd $(SAN_DIR) && $(abspath $(VENV))/bin/ctest --output-on-failure
	rm -rf $(SAN_DIR)/stage && mkdir -p $(SAN_DIR)/stage/korvane_mod_bond
	ln -s $(abspath src/korvane_mod_bond)/* $(abspath $(SAN_DIR))/*.so $(SAN_DIR)/stage/korvane_mod_bond/
	$(SAN_ENV) $(VPY) -c 'import korvane_mod_bond.position as m; assert "/stage/" in m.__file__, m.__file__'
	$(SAN_ENV) $(VPY) -m pytest -q -p no:cacheprovider tests

# Every public operation of the four modules called LEAK_ROUNDS times in a loop
# of realistic calls, error paths included; fails unless memory stays flat.
LEAK_ROUNDS ?= 1000000
leakcheck: install
	$(VPY) tools/leakcheck.py --iterations $(LEAK_ROUNDS)

# The typing stubs (.pyi) against the compiled modules as installed, with mypy's stubtest;
# tools/stubtest-allowlist.txt names what the stubs leave out on purpose.
stubtest: install-dev
	cd build && $(abspath $(VPY)) -m mypy.stubtest korvane_mod_bond \
	    --allowlist $(abspath tools/stubtest-allowlist.txt) --mypy-config-file $(abspath pyproject.toml)

# One wheel per installed CPython of WHEEL_PYTHONS, built from the sdist with isolation,
# repaired to a manylinux tag, its contents checked, installed into a clean environment
# and tested there (tools/wheels.py; wheels and sdist land in dist/).
WHEEL_PYTHONS ?= 3.9 3.10 3.11 3.12 3.13
wheels: $(DEV)
	$(VPY) tools/wheels.py $(WHEEL_PYTHONS)

# The user guide and the reference (docs/) into build/docs/html. sphinx-autoapi reads the typing
# stubs of the compiled modules and the Python sources without importing them, so nothing is
# built first; every warning (nitpicky: every reference that does not resolve) is an error. Built
# afresh each time (a few seconds), so that no page is left from an earlier build.
docs: $(DOCS)
	rm -rf build/docs docs/reference/api
	$(VENV)/bin/sphinx-build -b html -W --keep-going -n -q docs build/docs/html

# Resolve the declared requirements again for every installed Python and rewrite constraints.txt.
constraints:
	$$(tools/find-python newest) tools/pin_constraints.py

format: $(DEV)
	$(VENV)/bin/ruff format .
	clang-format -i cpp/*/*.cpp cpp/*/*.hpp tests/cpp/*.cpp

clean:
	rm -rf build dist .venv-*
