# Top-level commands. `make test` is what CI runs (.ci/run).
#
#   make build     configure + build the extension into the source tree, refresh .venv
#   make example   build, then run every examples/*.py with .venv/bin/python
#   make test      build, then run every step of TEST_STEPS in order
#   make bench     build, then time the descriptors against their peers
#                  (BENCH_JSON=path also writes the figures as JSON)
#   make bench-callgrind  the same cases, counted in instructions under callgrind
#   make bench-scaling    1 -> 2 thread slowdown of reads with the GIL off, on a
#                  free-threaded interpreter (PYTHON_FT=... or .venv-ft/bin/python)
#   make refleak, asan, memcheck, fuzz, threads, tsan-unit
#                  reliability campaigns (reliability/campaigns.mk, reliability/README.md)
#   make clean     remove build products (the provisioned interpreter stays cached)
#
# The interpreter comes from scripts/provision-python: PYTHON=/path/to/python3.14
# selects an existing one, otherwise a private CPython 3.14 is provisioned.

SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
.ONESHELL:
# Steps run one after another in the order they are listed; the build itself
# runs in parallel inside ninja.
.NOTPARALLEL:
.DEFAULT_GOAL := build

ROOT := $(patsubst %/,%,$(dir $(abspath $(lastword $(MAKEFILE_LIST)))))
BUILD_DIR := $(ROOT)/build/default
VENV := $(ROOT)/.venv
VENV_PY := $(VENV)/bin/python

# The interpreter, provisioned the first time a recipe needs it and then kept
# for the rest of this make run (so `make clean` never provisions anything).
PY = $(eval PY := $(call provision))$(PY)
provision = $(strip $(shell "$(ROOT)/scripts/provision-python")$(if $(filter 0,$(.SHELLSTATUS)),,$(error scripts/provision-python failed (message above))))

# Packages in ~/.local (the user site) must not leak into builds and tests.
export PYTHONNOUSERSITE := 1

# Extra arguments, e.g. `make test PYTEST_ARGS='-k cached -x'`.
PYTEST_ARGS ?=
CTEST_ARGS ?=

# Test steps of `make test`, run in this order. Add a step by defining a
# `test-NAME: build` target below and appending it here.
TEST_STEPS := test-cpp test-python test-wheel

# Reliability campaigns (refleak, asan, memcheck, fuzz, threads, tsan-unit);
# they append their cheap forms to TEST_STEPS. See reliability/README.md.
include $(ROOT)/reliability/campaigns.mk

.PHONY: build example test clean $(TEST_STEPS)

build:
	@
	cd "$(ROOT)"
	[[ -f CMakeLists.txt ]] || { echo "make: no CMakeLists.txt in $(ROOT)" >&2; exit 1; }
	py="$(PY)"
	# A build tree configured for another interpreter (or generator) is
	# discarded: FindPython caches much more than Python_EXECUTABLE.
	cache="$(BUILD_DIR)/CMakeCache.txt"
	if [[ -f $$cache ]]; then
	  configured=$$(sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "$$cache")
	  generator=$$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$$cache")
	  if [[ $$configured != "$$py" || $$generator != Ninja ]]; then
	    echo "make: build tree was configured for '$$configured' ($$generator); reconfiguring for $$py"
	    rm -rf "$(BUILD_DIR)"
	  fi
	fi
	if [[ ! -f $(BUILD_DIR)/build.ninja ]]; then
	  echo "+ cmake -S . -B $(BUILD_DIR) -G Ninja -DPython_EXECUTABLE=$$py -DCMAKE_BUILD_TYPE=RelWithDebInfo"
	  cmake -S . -B "$(BUILD_DIR)" -G Ninja -DPython_EXECUTABLE="$$py" -DCMAKE_BUILD_TYPE=RelWithDebInfo
	fi
	echo "+ cmake --build $(BUILD_DIR)"
	cmake --build "$(BUILD_DIR)"
	# .venv sees the interpreter's own packages (pytest, hypothesis, ...) and,
	# through a .pth file, this source tree, so `import tovren` works from any cwd.
	if [[ ! -f $(VENV)/pyvenv.cfg ]] \
	  || ! grep -qx 'include-system-site-packages = true' "$(VENV)/pyvenv.cfg" \
	  || [[ $$(readlink -f "$(VENV_PY)" || true) != "$$(readlink -f "$$py")" ]]; then
	  echo "+ $$py -m venv --system-site-packages --without-pip $(VENV)"
	  rm -rf "$(VENV)"
	  "$$py" -m venv --system-site-packages --without-pip "$(VENV)"
	fi
	site=$$("$(VENV_PY)" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
	printf '%s\n' "$(ROOT)" >"$$site/tovren-source-tree.pth"

example: build
	@
	cd "$(ROOT)"
	shopt -s nullglob
	examples=(examples/*.py)
	(( $${#examples[@]} )) || { echo "make: no examples/*.py to run" >&2; exit 1; }
	for f in "$${examples[@]}"; do
	  echo "+ .venv/bin/python $$f"
	  "$(VENV_PY)" "$$f"
	done

test: $(TEST_STEPS)

# C++ unit tests registered with CTest (none registered: nothing to run).
test-cpp: build
	@
	if ctest --test-dir "$(BUILD_DIR)" -N | grep -q '^Total Tests: 0$$'; then
	  echo "make: no C++ unit tests registered with CTest"
	else
	  echo "+ ctest --test-dir $(BUILD_DIR) --output-on-failure $(CTEST_ARGS)"
	  ctest --test-dir "$(BUILD_DIR)" --output-on-failure $(CTEST_ARGS)
	fi

# Python tests. TOVREN_BUILD_DIR tells them where the test-only extension
# (_properties_testing) was built.
test-python: build
	@
	cd "$(ROOT)"
	echo "+ .venv/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS) tests"
	TOVREN_BUILD_DIR="$(BUILD_DIR)" "$(VENV_PY)" -m pytest -p no:cacheprovider $(PYTEST_ARGS) tests

# The wheel, built by pip through scikit-build-core (pyproject.toml) without
# network or build isolation, installed into a fresh virtual environment, and
# the test suite run against that installation: pytest runs from inside the
# venv folder with safe-path semantics (-P), so neither the working directory
# nor the source tree is on sys.path. The test-only extension still comes from
# the build tree.
WHEEL_DIST := $(ROOT)/build/wheel/dist
WHEEL_VENV := $(ROOT)/build/wheel-venv

test-wheel: build
	@
	cd "$(ROOT)"
	py="$(PY)"
	"$$py" -c 'import pip, scikit_build_core' 2>/dev/null \
	  || { echo "make: $$py cannot import pip and scikit_build_core, which building the wheel needs" >&2; exit 1; }
	rm -rf "$(WHEEL_DIST)" "$(WHEEL_VENV)"
	echo "+ $$py -m pip wheel --no-build-isolation --no-deps --no-index -w build/wheel/dist ."
	PIP_DISABLE_PIP_VERSION_CHECK=1 "$$py" -m pip wheel --no-build-isolation --no-deps --no-index -q -w "$(WHEEL_DIST)" .
	wheels=("$(WHEEL_DIST)"/*.whl)
	(( $${#wheels[@]} == 1 )) || { echo "make: expected one wheel in $(WHEEL_DIST), found $${#wheels[@]}" >&2; exit 1; }
	wheel=$${wheels[0]}
	echo "+ $$py -m venv --system-site-packages --without-pip build/wheel-venv"
	"$$py" -m venv --system-site-packages --without-pip "$(WHEEL_VENV)"
	echo "+ build/wheel-venv/bin/python -m pip install --no-deps --no-index $${wheel#$(ROOT)/}"
	PIP_DISABLE_PIP_VERSION_CHECK=1 "$(WHEEL_VENV)/bin/python" -m pip install --no-deps --no-index -q "$$wheel"
	cd "$(WHEEL_VENV)"
	export TOVREN_WHEEL="$$wheel" TOVREN_TESTING_DIR="$(BUILD_DIR)/testing"
	# The package must come from the venv's site-packages, not the source tree
	# (make strips the indentation of recipe lines, so no Python blocks here).
	"$(WHEEL_VENV)/bin/python" -P - <<'EOF'
	import pathlib, sys, sysconfig, tovren._libs.properties as m
	site = pathlib.Path(sysconfig.get_path("platlib")).resolve()
	where = pathlib.Path(m.__file__).resolve()
	installed = site in where.parents
	print(f"make: testing the installed {where}" if installed else f"make: {where} is not in {site}")
	sys.exit(0 if installed else 1)
	EOF
	echo "+ build/wheel-venv/bin/python -P -m pytest -p no:cacheprovider --rootdir=$(ROOT) $(PYTEST_ARGS) $(ROOT)/tests"
	"$(WHEEL_VENV)/bin/python" -P -m pytest -p no:cacheprovider --rootdir="$(ROOT)" $(PYTEST_ARGS) "$(ROOT)/tests"

# Benchmarks (bench/run_benchmarks.py): measurements, not tests; the targets
# they check are printed as PASS/MISS and do not fail the command. Extra
# arguments, e.g. `make bench BENCH_ARGS='--cases cache_hit --repeat 41'`.
BENCH_JSON ?=
BENCH_ARGS ?=
.PHONY: bench bench-callgrind bench-scaling

bench: build
	@
	cd "$(ROOT)"
	"$(VENV_PY)" bench/run_benchmarks.py $(if $(BENCH_JSON),--json "$(abspath $(BENCH_JSON))") $(BENCH_ARGS)

bench-callgrind: build
	@
	cd "$(ROOT)"
	command -v valgrind >/dev/null || { echo "make: bench-callgrind needs valgrind" >&2; exit 1; }
	"$(VENV_PY)" bench/run_benchmarks.py --callgrind $(if $(BENCH_JSON),--json "$(abspath $(BENCH_JSON))") $(BENCH_ARGS)

# The free-threaded interpreter: PYTHON_FT, else the venv .venv-ft. The module
# is built for it in build/ft (in place, beside the default build's).
FT_BUILD_DIR := $(ROOT)/build/ft

bench-scaling:
	@
	cd "$(ROOT)"
	ft="$${PYTHON_FT:-$(ROOT)/.venv-ft/bin/python}"
	[[ -x $$ft ]] || { echo "make: bench-scaling needs a free-threaded interpreter: PYTHON_FT=/path/to/python3.14t, or .venv-ft" >&2; exit 1; }
	[[ $$("$$ft" -c 'import sysconfig; print(sysconfig.get_config_var("Py_GIL_DISABLED") or 0)') == 1 ]] \
	  || { echo "make: $$ft is not a free-threaded interpreter" >&2; exit 1; }
	base=$$("$$ft" -c 'import sys; print(sys._base_executable)')
	if [[ ! -f $(FT_BUILD_DIR)/build.ninja ]]; then
	  echo "+ cmake -S . -B $(FT_BUILD_DIR) -G Ninja -DPython_EXECUTABLE=$$base -DCMAKE_BUILD_TYPE=RelWithDebInfo"
	  cmake -S . -B "$(FT_BUILD_DIR)" -G Ninja -DPython_EXECUTABLE="$$base" -DCMAKE_BUILD_TYPE=RelWithDebInfo
	fi
	cmake --build "$(FT_BUILD_DIR)" --target properties
	echo "+ PYTHON_GIL=0 $$ft bench/scaling.py $(BENCH_ARGS)"
	PYTHONPATH="$(ROOT)" PYTHON_GIL=0 "$$ft" bench/scaling.py $(if $(BENCH_JSON),--json "$(abspath $(BENCH_JSON))") $(BENCH_ARGS)

clean:
	@
	cd "$(ROOT)"
	rm -rf build .venv .pytest_cache
	rm -f tovren/_libs/properties.cpython-*.so
	find tovren tests examples -name __pycache__ -type d -prune -exec rm -rf {} + 2>/dev/null || true
