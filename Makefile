# The two everyday commands:
#   make demo   run the main job (a sample bond-and-repo backtest on bundled data)
#   make test   build everything and run the C++ and Python tests
# PYTHON picks the interpreter (default: a working Python 3.9, else python3).

PYTHON ?= $(shell tools/find-python 3.9)
PYVER  := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV   ?= .venv-$(PYVER)
VPY    := $(VENV)/bin/python
STAMP  := $(VENV)/.deps-stamp
DEPS   := numpy pandas pytest hypothesis exchange_calendars "pybind11>=2.12" "scikit-build-core>=0.10" \
          ninja cmake ruff QuantLib tqdm matplotlib empyrical-reloaded \
          "tomli; python_version<'3.11'" dask distributed

.PHONY: all venv install test test-cpp test-python demo bench lint tidy format sanitize leakcheck clean

all: test

$(STAMP): Makefile
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(DEPS)
	touch $@

venv: $(STAMP)

# The package (compiled modules and siblings) and the framework stand-ins, installed
# into the virtual environment; the build folder is kept, so rebuilds are incremental.
install: $(STAMP)
	$(VPY) -m pip install -q ./standins
	$(VPY) -m pip install -q --no-build-isolation --no-deps .
	$(VPY) -m pip install -q --no-deps ./demo

test-cpp: $(STAMP)
	$(VENV)/bin/cmake -S . -B build/cpp-tests -G Ninja -DKMB_BUILD_TESTS=ON -DKMB_BUILD_MODULES=OFF \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
	$(VENV)/bin/cmake --build build/cpp-tests
	cd build/cpp-tests && $(abspath $(VENV))/bin/ctest --output-on-failure

test-python: install
	$(VPY) -m pytest -q tests

test: test-cpp test-python

demo: install
	$(VPY) -m korvane_bond_demo

bench: install
	$(VPY) bench/run.py

lint: $(STAMP)
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	clang-format --dry-run --Werror cpp/*/*.cpp cpp/*/*.hpp tests/cpp/*.cpp

# clang-tidy over the C++ sources, with the compile commands of a module build.
tidy: $(STAMP)
	$(VENV)/bin/cmake -S . -B build/tidy -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DPython_EXECUTABLE=$(abspath $(VPY)) -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir) >/dev/null
	clang-tidy -p build/tidy --quiet cpp/*/*.cpp

# The four modules and the C++ unit tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer (the first finding aborts), then the whole test
# suite run under them. The interpreter itself is not instrumented: the
# sanitizer runtime is preloaded into it, and PYTHONMALLOC=malloc hands every
# Python object to the instrumented allocator, so that an object read after it
# was freed is caught too. CPython keeps memory at exit on purpose, so the
# interpreter gets no leak report; `make leakcheck` watches for leaks.
SAN_CXX ?= g++
SAN_DIR := build/sanitize-$(PYVER)
SAN_ENV  = LD_PRELOAD=$$($(SAN_CXX) -print-file-name=libasan.so):$$($(SAN_CXX) -print-file-name=libubsan.so) \
           PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
           PYTHONPATH=$(abspath $(SAN_DIR))/stage:$(abspath standins)

sanitize: $(STAMP)
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

format: $(STAMP)
	$(VENV)/bin/ruff format .
	clang-format -i cpp/*/*.cpp cpp/*/*.hpp tests/cpp/*.cpp

clean:
	rm -rf build .venv-*
