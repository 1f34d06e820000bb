# Top-level commands. `make test` is what CI runs (.ci/run).
#
#   make build     configure + build the extension into the source tree, refresh .venv
#   make example   build the extension only, then run every examples/*.py with .venv/bin/python
#   make test      build, then run every step of TEST_STEPS, and print one summary
#   make wheel     build the wheel offline into build/wheel/dist and print its path
#   make dist      the sdist and the manylinux wheels (cp314, cp315, cp314t
#                  with PYTHON_FT) into dist/, ready for a package index (mk/dist.mk)
#   make bench     build, then time the descriptors against their peers
#                  (BENCH_JSON=path also writes the figures as JSON)
#   make bench-callgrind  the same cases, counted in instructions under callgrind
#   make bench-scaling    1 -> 2 thread slowdown of reads with the GIL off, on
#                  the free-threaded interpreter (.venv-ft)
#   make build-free-threaded, wheel-free-threaded, tsan
#                  the module, its wheel and the ThreadSanitizer campaign on a
#                  free-threaded python3.14t (mk/free-threaded.mk)
#   make build-python315, wheel-python315
#                  the module and its wheel for CPython 3.15 (mk/python315.mk)
#   make build-ARCH, test-ARCH, wheel-ARCH, wheel-ARCH-315, test-architectures
#                  the module, the suite under qemu-user and the wheels for
#                  arm64, i386, s390x, armhf and ppc64el (mk/architectures.mk)
#   make refleak, asan, memcheck, fuzz, threads, tsan-unit
#                  reliability campaigns (reliability/campaigns.mk; README.md, Reliability)
#   make clean     remove build products (the provisioned interpreter stays cached)
#
# The interpreter comes from scripts/provision-python: PYTHON=/path/to/python3.14
# selects an existing one, otherwise a private CPython 3.14 is provisioned.
#
# How `make test` runs (scripts/run-test-steps):
#   1. every target of TEST_BUILDS, one after another (each build gets both
#      cores, and no two of them ever work on one tree at once);
#   2. every target of TEST_STEPS, TEST_JOBS at a time (default 2), longest
#      first, each as `make -o BUILD... test-NAME`, so the builds already made
#      are not made again beside another step;
#   3. one summary: per step its passed/failed/skipped counts (from pytest's
#      and ctest's own summary lines) and duration, then a final line that
#      says whether everything passed. Logs: build/test-logs/NAME.log.
# A step is a target `test-NAME` that depends on the builds it needs; an
# included .mk file adds one with
#     TEST_STEPS += test-NAME
#     TEST_BUILDS += build-NAME      (only if it needs a tree of its own)
# A step or build that cannot run here prints one line `skipped: <reason>`
# on stdout and exits 0; any non-zero exit is a failure. Each step must also
# work on its own (`make test-NAME` makes its prerequisites first).

SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
.ONESHELL:
# Within one make run, targets run one after another; the builds run in
# parallel inside ninja, and `make test` runs its steps side by side through
# separate make processes.
.NOTPARALLEL:
.DEFAULT_GOAL := build

ROOT := $(patsubst %/,%,$(dir $(abspath $(lastword $(MAKEFILE_LIST)))))
BUILD_DIR := $(ROOT)/build/default
VENV := $(ROOT)/.venv
VENV_PY := $(VENV)/bin/python

# The interpreter, provisioned the first time a recipe needs it and then kept
# for the rest of this make run (so `make clean` never provisions anything).
PY = $(eval PY := $(call provision))$(PY)
provision = $(strip $(shell env -u PYTHON_GIL "$(ROOT)/scripts/provision-python")$(if $(filter 0,$(.SHELLSTATUS)),,$(error scripts/provision-python failed (message above))))

# The debug interpreter, once `make refleak` (or provision-python --debug)
# has provisioned it: the few tests that need one use it, and skip otherwise.
# Nothing is fetched for it here.
PY_DEBUG_IF_PROVISIONED = $(eval PY_DEBUG_IF_PROVISIONED := $(strip $(shell env -u PYTHON_GIL "$(ROOT)/scripts/provision-python" --debug --if-provisioned 2>/dev/null)))$(PY_DEBUG_IF_PROVISIONED)
export TOVREN_PYTHON_DEBUG = $(PY_DEBUG_IF_PROVISIONED)

# Packages in ~/.local (the user site) must not leak into builds and tests.
export PYTHONNOUSERSITE := 1
# A default-build interpreter refuses to start with PYTHON_GIL set; the
# free-threaded steps set it themselves where they mean to.
unexport PYTHON_GIL

# Extra arguments, e.g. `make test PYTEST_ARGS='-k cached -x'`.
PYTEST_ARGS ?=
CTEST_ARGS ?=
# Steps of `make test` run side by side (the machine has 2 cores).
TEST_JOBS ?= 2

# Builds that `make test` makes first, in this order, and its steps.
TEST_BUILDS := build wheel
TEST_STEPS := test-cpp test-python test-wheel

# Reliability campaigns (refleak, asan, memcheck, fuzz, threads, tsan-unit);
# they append their cheap forms to TEST_STEPS and their builds to
# TEST_BUILDS. See README.md, Reliability.
include $(ROOT)/reliability/campaigns.mk
# The free-threaded interpreter: its build, its test steps and `make tsan`.
include $(ROOT)/mk/free-threaded.mk
# CPython 3.15: the module built for it, the suite and the cp315 wheel.
include $(ROOT)/mk/python315.mk
# Other Linux architectures: cross builds, the suite under emulation, wheels.
include $(ROOT)/mk/architectures.mk
# The sdist and the manylinux wheels of a release, and their checks.
include $(ROOT)/mk/dist.mk

# The sources compiled for Windows x64 and x86 (target below).
TEST_STEPS += test-windows-compile

.PHONY: build build-module example test wheel clean $(TEST_STEPS)

# configure_default: configures build/default for the interpreter (a tree
# configured for another interpreter or generator is discarded: FindPython
# caches much more than Python_EXECUTABLE). refresh_venv: .venv sees the
# interpreter's own packages (pytest, hypothesis, ...) and, through a .pth
# file, this source tree, so `import tovren` works from any cwd.
define configure_default
	cd "$(ROOT)"
	[[ -f CMakeLists.txt ]] || { echo "make: no CMakeLists.txt in $(ROOT)" >&2; exit 1; }
	py="$(PY)"
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
endef
define refresh_venv
	if [[ ! -f $(VENV)/pyvenv.cfg ]] \
	  || ! grep -qx 'include-system-site-packages = true' "$(VENV)/pyvenv.cfg" \
	  || [[ $$(readlink -f "$(VENV_PY)" || true) != "$$(readlink -f "$$py")" ]]; then
	  echo "+ $$py -m venv --system-site-packages --without-pip $(VENV)"
	  rm -rf "$(VENV)"
	  "$$py" -m venv --system-site-packages --without-pip "$(VENV)"
	fi
	site=$$("$(VENV_PY)" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
	printf '%s\n' "$(ROOT)" >"$$site/tovren-source-tree.pth"
endef

# Everything of build/default: the extension, its free-threaded ABI check,
# the test-only extension and the C++ unit tests.
build:
	@
	$(configure_default)
	echo "+ cmake --build $(BUILD_DIR)"
	cmake --build "$(BUILD_DIR)"
	$(refresh_venv)

# The extension alone, which is all the examples need.
build-module:
	@
	$(configure_default)
	echo "+ cmake --build $(BUILD_DIR) --target properties"
	cmake --build "$(BUILD_DIR)" --target properties
	$(refresh_venv)

example: build-module
	@
	cd "$(ROOT)"
	shopt -s nullglob
	examples=(examples/*.py)
	(( $${#examples[@]} )) || { echo "make: no examples/*.py to run" >&2; exit 1; }
	for f in "$${examples[@]}"; do
	  echo "+ .venv/bin/python $$f"
	  "$(VENV_PY)" "$$f"
	done

test:
	@
	cd "$(ROOT)"
	"$(PY)" "$(ROOT)/scripts/run-test-steps" --make "$(MAKE)" --root "$(ROOT)" --logs "$(ROOT)/build/test-logs" \
	  --jobs "$(TEST_JOBS)" --builds "$(strip $(TEST_BUILDS))" --steps "$(strip $(TEST_STEPS))"

# C++ unit tests registered with CTest (none registered: nothing to run).
test-cpp: build
	@
	if ctest --test-dir "$(BUILD_DIR)" -N | grep -q '^Total Tests: 0$$'; then
	  echo "skipped: no C++ unit tests registered with CTest"
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
# network or build isolation. It is built again only when its inputs changed:
# the stamp holds a hash over the interpreter, the build tools' versions and
# every file the build reads.
WHEEL_DIST := $(ROOT)/build/wheel/dist
WHEEL_STAMP := $(WHEEL_DIST)/.inputs
WHEEL_VENV := $(ROOT)/build/wheel-venv
WHEEL_INPUTS := CMakeLists.txt pyproject.toml docs/package-page.md LICENSE tovren cmake

# make_tools_venv DIR PYTHON: a venv of PYTHON (no pip of its own) that sees
# the test and build tools (pytest, hypothesis, pip, scikit-build-core, ...) of
# the default interpreter's package folder through a .pth file. On a
# free-threaded PYTHON only the pure-Python ones load: compiled packages in
# that folder are built for the default ABI. A third argument names another
# interpreter whose package folder is seen instead.
define make_tools_venv
make_tools_venv() {
  local dir=$$1 py=$$2 tools site
  tools=$$("$${3:-$(PY)}" -c 'import os, pytest; print(os.path.dirname(os.path.dirname(pytest.__file__)))' 2>/dev/null) \
    || { echo "make: $${3:-$(PY)} cannot import pytest, whose package folder $${dir#$(ROOT)/} is to see" >&2; return 1; }
  if [[ ! -f $$dir/pyvenv.cfg || $$(readlink -f "$$dir/bin/python") != "$$(readlink -f "$$py")" ]]; then
    echo "+ $$py -m venv --without-pip $${dir#$(ROOT)/}"
    rm -rf "$$dir"
    "$$py" -m venv --without-pip "$$dir"
  fi
  site=$$("$$dir/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
  printf '%s\n' "$$tools" >"$$site/tovren-tools.pth"
}
endef

# build_wheel PYTHON DIST [SDIST]: the wheel of PYTHON's ABI in DIST, built
# again only when the stamp DIST/.inputs differs. From the source tree, or,
# given an sdist, from that sdist alone, unpacked into a scratch folder
# outside the tree (its hash is then the stamp's input).
define build_wheel
	@
	cd "$(ROOT)"
	py=$(1)
	dist=$(2)
	sdist=$(3)
	tools=$$("$$py" -c 'import pip, scikit_build_core; print(pip.__version__, scikit_build_core.__version__)' 2>/dev/null) \
	  || { echo "make: $$py cannot import pip and scikit_build_core, which building the wheel needs" >&2; exit 1; }
	# In-place build products and caches are not inputs of the wheel.
	inputs=$$({ printf '%s\n' "$$py" "$$tools"
	  if [[ -n $$sdist ]]; then sha256sum <"$$sdist"
	  else find $(WHEEL_INPUTS) -type f ! -name '*.so' ! -name '*.pyd' ! -path '*/__pycache__/*' -print0 \
	    | LC_ALL=C sort -z | xargs -0 sha256sum; fi; } | sha256sum | cut -d' ' -f1)
	shopt -s nullglob
	wheels=("$$dist"/*.whl)
	if (( $${#wheels[@]} == 1 )) && [[ -f $$dist/.inputs && $$(<"$$dist/.inputs") == "$$inputs" ]]; then
	  echo "make: wheel up to date (inputs unchanged)"
	else
	  rm -rf "$$dist"
	  source=. shown=.
	  if [[ -n $$sdist ]]; then
	    scratch=$$(mktemp -d)
	    trap 'rm -rf "$$scratch"' EXIT
	    tar -xzf "$$sdist" -C "$$scratch"
	    unpacked=("$$scratch"/*/)
	    source=$${unpacked[0]} shown="<the unpacked $${sdist##*/}>"
	  fi
	  echo "+ $$py -m pip wheel --no-build-isolation --no-deps --no-index -w $${dist#$(ROOT)/} $$shown"
	  PIP_DISABLE_PIP_VERSION_CHECK=1 "$$py" -m pip wheel --no-build-isolation --no-deps --no-index -w "$$dist" "$$source"
	  wheels=("$$dist"/*.whl)
	  (( $${#wheels[@]} == 1 )) || { echo "make: expected one wheel in $$dist, found $${#wheels[@]}" >&2; exit 1; }
	  printf '%s\n' "$$inputs" >"$$dist/.inputs"
	fi
	echo "wheel: $${wheels[0]}"
endef

# skip_if_unavailable UNAVAILABLE-FILE: prints `skipped: <reason>` and ends
# the recipe with status 0 while the file that holds the reason (written by
# provision_or_skip, or by dist) is there.
define skip_if_unavailable
	if [[ -f "$(1)" ]]; then echo "skipped: $$(<"$(1)")"; exit 0; fi
endef

# provision_or_skip VARIABLE UNAVAILABLE-FILE ARGUMENTS: sets the shell
# variable VARIABLE to the interpreter that `scripts/provision-python
# ARGUMENTS` prints. Where none can be had (status 3, the output is the
# reason), writes the reason to UNAVAILABLE-FILE, prints `skipped: <reason>`
# and ends the recipe with status 0; the steps that need that interpreter
# skip with the same line while the file is there.
define provision_or_skip
	mkdir -p "$$(dirname -- "$(2)")"
	rm -f "$(2)"
	status=0
	$(1)=$$(env -u PYTHON_GIL "$(ROOT)/scripts/provision-python" $(3)) || status=$$?
	if ((status == 3)); then
	  printf '%s\n' "$$$(1)" >"$(2)"
	  echo "skipped: $$$(1)"
	  exit 0
	fi
	((status == 0)) || exit "$$status"
endef

wheel:
	$(call build_wheel,"$(PY)",$(WHEEL_DIST))

# test_installed_wheel PYTHON DIST VENV TESTING_DIR: the wheel of DIST
# installed into a virtual environment of its own (made again when the wheel
# changed), and the test suite run against that installation: pytest runs
# from inside the venv folder with safe-path semantics (-P), so neither the
# working directory nor the source tree is on sys.path. The test-only
# extension still comes from the build tree. A fifth argument goes on to
# make_tools_venv.
define test_installed_wheel
	@
	cd "$(ROOT)"
	py=$(1)
	venv=$(3)
	wheels=($(2)/*.whl)
	wheel=$${wheels[0]}
	[[ -f $$wheel ]] || { echo "make: no wheel in $(2)" >&2; exit 1; }
	installed="$$py $$(sha256sum "$$wheel")"
	if [[ ! -f $$venv/.installed || $$(<"$$venv/.installed") != "$$installed" ]]; then
	  rm -rf "$$venv"
	  $(make_tools_venv)
	  make_tools_venv "$$venv" "$$py" $(5)
	  echo "+ $${venv#$(ROOT)/}/bin/python -m pip install --no-deps --no-index $${wheel#$(ROOT)/}"
	  PIP_DISABLE_PIP_VERSION_CHECK=1 "$$venv/bin/python" -m pip install --no-deps --no-index -q "$$wheel"
	  printf '%s\n' "$$installed" >"$$venv/.installed"
	fi
	cd "$$venv"
	export TOVREN_WHEEL="$$wheel" TOVREN_TESTING_DIR=$(4)
	# The package must come from the venv's site-packages, not the source tree.
	"$$venv/bin/python" -P -c 'import pathlib, sys, sysconfig, tovren._libs.properties as m; where = pathlib.Path(m.__file__).resolve(); site = pathlib.Path(sysconfig.get_path("platlib")).resolve(); print("make: testing the installed", where); sys.exit(site not in where.parents)'
	echo "+ $${venv#$(ROOT)/}/bin/python -P -m pytest -p no:cacheprovider --rootdir=$(ROOT) $(PYTEST_ARGS) $(ROOT)/tests"
	"$$venv/bin/python" -P -m pytest -p no:cacheprovider --rootdir="$(ROOT)" $(PYTEST_ARGS) "$(ROOT)/tests"
endef

test-wheel: build wheel
	$(call test_installed_wheel,"$(PY)",$(WHEEL_DIST),$(WHEEL_VENV),$(BUILD_DIR)/testing)

# Every source compiled for Windows (32-bit C `long`), x64 and 32-bit x86
# (32-bit Py_ssize_t too), with the mingw-w64 cross compilers, both ABIs,
# warnings as errors; nothing is linked or run. Needs no build of its own:
# see scripts/windows-compile-check.
test-windows-compile:
	@
	cd "$(ROOT)"
	scripts/windows-compile-check

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

# Runs on .venv-ft (mk/free-threaded.mk), the interpreter that PYTHON_FT names.
bench-scaling: build-free-threaded
	@
	cd "$(ROOT)"
	if [[ -f "$(FT_UNAVAILABLE)" ]]; then echo "make: bench-scaling needs a free-threaded interpreter: $$(<"$(FT_UNAVAILABLE)")" >&2; exit 1; fi
	echo "+ PYTHON_GIL=0 .venv-ft/bin/python bench/scaling.py $(BENCH_ARGS)"
	PYTHON_GIL=0 "$(FT_VENV_PY)" bench/scaling.py $(if $(BENCH_JSON),--json "$(abspath $(BENCH_JSON))") $(BENCH_ARGS)

clean:
	@
	cd "$(ROOT)"
	rm -rf build dist .venv .venv-ft .venv-315 .pytest_cache
	rm -f tovren/_libs/properties.cpython-*.so
	find tovren tests examples -name __pycache__ -type d -prune -exec rm -rf {} + 2>/dev/null || true
