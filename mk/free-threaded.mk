# The free-threaded interpreter (python3.14t), included by the top-level
# Makefile (which sets the shell, .ONESHELL, ROOT, PY, PYTEST_ARGS).
#
#   make build-free-threaded  provision python3.14t (scripts/provision-python
#                             --free-threaded: PYTHON_FT=... or a build from the
#                             source snapshot, cached), build the module for it
#                             in place (cpython-314t) and make .venv-ft
#   make tsan                 the thread stress campaign and the descriptor tests
#                             on a ThreadSanitizer build of python3.14t, GIL off;
#                             reports with a frame in the module are counted
#
# Steps of `make test` (each prints one `skipped: ...` line where no
# free-threaded interpreter can be had):
#   test-free-threaded          the suite as a user runs it (the import turns the GIL on)
#   test-free-threaded-nogil    the suite with PYTHON_GIL=0
#   test-free-threaded-threads  a slice of the thread stress campaign, PYTHON_GIL=0
#   test-free-threaded-wheel    a cp314t wheel installed into a fresh venv, suite against it

FT_BUILD_DIR := $(ROOT)/build/free-threaded
FT_VENV := $(ROOT)/.venv-ft
FT_VENV_PY := $(FT_VENV)/bin/python
# Written by build-free-threaded when no interpreter can be had; holds the reason.
FT_UNAVAILABLE := $(FT_BUILD_DIR)/unavailable
FT_WHEEL_DIST := $(ROOT)/build/wheel-free-threaded/dist
FT_WHEEL_VENV := $(ROOT)/build/wheel-free-threaded/venv
TSAN_FT_BUILD_DIR := $(ROOT)/build/tsan-free-threaded
FT_STRESS_THREADS ?= 16
FT_STRESS_OPERATIONS ?= 10000

TEST_BUILDS += build-free-threaded
TEST_STEPS += test-free-threaded test-free-threaded-nogil test-free-threaded-threads test-free-threaded-wheel

.PHONY: build-free-threaded tsan test-free-threaded test-free-threaded-nogil \
        test-free-threaded-threads test-free-threaded-wheel

# Prints `skipped: <reason>` and leaves the recipe when build-free-threaded
# found no interpreter.
define skip_without_free_threaded
	if [[ -f "$(FT_UNAVAILABLE)" ]]; then echo "skipped: $$(<"$(FT_UNAVAILABLE)")"; exit 0; fi
endef

# make_tools_venv DIR PYTHON: a venv of PYTHON (no pip of its own) that sees the
# pure-Python test and build tools (pytest, hypothesis, pip, scikit-build-core)
# of the default interpreter's package folder through a .pth file. Compiled
# packages in that folder are built for the default ABI and do not load here.
define make_tools_venv
make_tools_venv() {
  local dir=$$1 py=$$2 tools
  tools=$$("$(PY)" -c 'import os, pytest; print(os.path.dirname(os.path.dirname(pytest.__file__)))')
  if [[ ! -f $$dir/pyvenv.cfg || $$(readlink -f "$$dir/bin/python") != "$$(readlink -f "$$py")" ]]; then
    echo "+ $$py -m venv --without-pip $${dir#$(ROOT)/}"
    rm -rf "$$dir"
    "$$py" -m venv --without-pip "$$dir"
  fi
  local site
  site=$$("$$dir/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
  printf '%s\n' "$$tools" >"$$site/tovren-tools.pth"
}
endef

build-free-threaded: build
	@
	cd "$(ROOT)"
	mkdir -p "$(FT_BUILD_DIR)"
	rm -f "$(FT_UNAVAILABLE)"
	status=0
	py_ft=$$("$(ROOT)/scripts/provision-python" --free-threaded 2>"$(FT_BUILD_DIR)/provision.log") || status=$$?
	cat "$(FT_BUILD_DIR)/provision.log" >&2
	if ((status == 3)); then
	  sed -n 's/^provision-free-threaded: //p' "$(FT_BUILD_DIR)/provision.log" | tail -n 1 >"$(FT_UNAVAILABLE)"
	  echo "skipped: $$(<"$(FT_UNAVAILABLE)")"
	  exit 0
	fi
	((status == 0)) || exit "$$status"
	$(configure_tree)
	cache="$(FT_BUILD_DIR)/CMakeCache.txt"
	[[ -f $(FT_BUILD_DIR)/build.ninja && $$(sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "$$cache") == "$$py_ft" ]] \
	  || configure_tree "$(FT_BUILD_DIR)" "$$py_ft" -DCMAKE_BUILD_TYPE=RelWithDebInfo
	echo "+ cmake --build build/free-threaded"
	cmake --build "$(FT_BUILD_DIR)"
	$(make_tools_venv)
	make_tools_venv "$(FT_VENV)" "$$py_ft"
	site=$$("$(FT_VENV_PY)" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
	printf '%s\n' "$(ROOT)" >"$$site/tovren-source-tree.pth"
	# The venv must load the free-threaded build from the source tree.
	PYTHON_GIL=0 "$(FT_VENV_PY)" -c 'import sys, tovren._libs.properties as m, pytest, hypothesis; sys.exit(".cpython-314t-" not in m.__file__)' \
	  || { echo "make: .venv-ft does not load the cpython-314t build of the module" >&2; exit 1; }

# ft_suite ENVIRONMENT: the whole suite on .venv-ft.
define ft_suite
	@
	cd "$(ROOT)"
	$(skip_without_free_threaded)
	echo "+ $(1) .venv-ft/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS) tests"
	env $(1) TOVREN_BUILD_DIR="$(FT_BUILD_DIR)" "$(FT_VENV_PY)" -m pytest -p no:cacheprovider $(PYTEST_ARGS) tests
endef

test-free-threaded: build-free-threaded
	$(call ft_suite,)

test-free-threaded-nogil: build-free-threaded
	$(call ft_suite,PYTHON_GIL=0)

test-free-threaded-threads: build-free-threaded
	@
	cd "$(ROOT)"
	$(skip_without_free_threaded)
	echo "+ PYTHON_GIL=0 .venv-ft/bin/python reliability/thread_stress.py --threads $(FT_STRESS_THREADS) --operations $(FT_STRESS_OPERATIONS)"
	PYTHON_GIL=0 "$(FT_VENV_PY)" reliability/thread_stress.py --threads $(FT_STRESS_THREADS) --operations $(FT_STRESS_OPERATIONS)

# As test-wheel, for the cp314t wheel: pip and scikit-build-core are the pure
# Python ones the tools venv sees.
test-free-threaded-wheel: build-free-threaded
	@
	cd "$(ROOT)"
	$(skip_without_free_threaded)
	py_ft=$$(readlink -f "$(FT_VENV_PY)")
	rm -rf "$(FT_WHEEL_DIST)" "$(FT_WHEEL_VENV)"
	echo "+ .venv-ft/bin/python -m pip wheel --no-build-isolation --no-deps --no-index -w build/wheel-free-threaded/dist ."
	PIP_DISABLE_PIP_VERSION_CHECK=1 "$(FT_VENV_PY)" -m pip wheel --no-build-isolation --no-deps --no-index -q -w "$(FT_WHEEL_DIST)" .
	wheels=("$(FT_WHEEL_DIST)"/*-cp314t-*.whl)
	[[ $${#wheels[@]} == 1 && -f $${wheels[0]} ]] || { echo "make: expected one cp314t wheel in $(FT_WHEEL_DIST)" >&2; ls "$(FT_WHEEL_DIST)" >&2; exit 1; }
	wheel=$${wheels[0]}
	$(make_tools_venv)
	make_tools_venv "$(FT_WHEEL_VENV)" "$$py_ft"
	echo "+ build/wheel-free-threaded/venv/bin/python -m pip install --no-deps --no-index $${wheel#$(ROOT)/}"
	PIP_DISABLE_PIP_VERSION_CHECK=1 "$(FT_WHEEL_VENV)/bin/python" -m pip install --no-deps --no-index -q "$$wheel"
	cd "$(FT_WHEEL_VENV)"
	export TOVREN_WHEEL="$$wheel" TOVREN_TESTING_DIR="$(FT_BUILD_DIR)/testing"
	"$(FT_WHEEL_VENV)/bin/python" -P -c 'import pathlib, sys, sysconfig, tovren._libs.properties as m; where = pathlib.Path(m.__file__).resolve(); print("make: testing the installed", where); sys.exit(pathlib.Path(sysconfig.get_path("platlib")).resolve() not in where.parents)'
	echo "+ build/wheel-free-threaded/venv/bin/python -P -m pytest -p no:cacheprovider --rootdir=$(ROOT) $(PYTEST_ARGS) $(ROOT)/tests"
	"$(FT_WHEEL_VENV)/bin/python" -P -m pytest -p no:cacheprovider --rootdir="$(ROOT)" $(PYTEST_ARGS) "$(ROOT)/tests"

# ThreadSanitizer campaign: the module built with -fsanitize=thread against a
# ThreadSanitizer build of python3.14t, then the thread stress campaign and the
# descriptor tests with the GIL off. Every process writes its reports into one
# folder; tsan_reports.py counts those with a frame in the module.
TSAN_STRESS_THREADS ?= 8
TSAN_STRESS_OPERATIONS ?= 20000
TSAN_TESTS ?= tests/test_cached_property.py tests/test_axis_property.py tests/test_pickling.py \
              tests/test_garbage_collection.py tests/test_thread_stress.py

tsan:
	@
	cd "$(ROOT)"
	py_tsan=$$("$(ROOT)/scripts/provision-python" --free-threaded-tsan)
	$(configure_tree)
	sanitize=-fsanitize=thread
	configure_tree "$(TSAN_FT_BUILD_DIR)" "$$py_tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVREN_INPLACE=OFF \
	  -DTOVREN_FT_ABI_CHECK=OFF "-DCMAKE_CXX_FLAGS=$$sanitize" \
	  "-DCMAKE_MODULE_LINKER_FLAGS=$$sanitize" "-DCMAKE_EXE_LINKER_FLAGS=$$sanitize"
	echo "+ cmake --build build/tsan-free-threaded"
	cmake --build "$(TSAN_FT_BUILD_DIR)"
	rm -rf "$(TSAN_FT_BUILD_DIR)/stage" "$(TSAN_FT_BUILD_DIR)/reports"
	cmake --install "$(TSAN_FT_BUILD_DIR)" --prefix "$(TSAN_FT_BUILD_DIR)/stage" >/dev/null
	mkdir -p "$(TSAN_FT_BUILD_DIR)/reports"
	$(make_tools_venv)
	make_tools_venv "$(TSAN_FT_BUILD_DIR)/venv" "$$py_tsan"
	vpy="$(TSAN_FT_BUILD_DIR)/venv/bin/python"
	# The interpreter's own suppressions, kept beside a provisioned build.
	suppressions=$$(dirname -- "$$(dirname -- "$$(dirname -- "$$py_tsan")")")/tsan/suppressions_free_threading.txt
	# Reports never change an exit status: tsan_reports.py judges them.
	TSAN_OPTIONS="halt_on_error=0 exitcode=0 log_path=$(TSAN_FT_BUILD_DIR)/reports/tsan"
	if [[ -f $$suppressions ]]; then TSAN_OPTIONS+=" suppressions=$$suppressions"
	else echo "make: no interpreter suppressions at $$suppressions; every interpreter report is listed"; fi
	export TSAN_OPTIONS
	export PYTHON_GIL=0 PYTHONPATH="$(TSAN_FT_BUILD_DIR)/stage" TOVREN_TESTING_DIR="$(TSAN_FT_BUILD_DIR)/testing"
	status=0
	cd "$(TSAN_FT_BUILD_DIR)/stage"
	echo "+ (PYTHON_GIL=0) python reliability/thread_stress.py --threads $(TSAN_STRESS_THREADS) --operations $(TSAN_STRESS_OPERATIONS)"
	"$$vpy" -P "$(ROOT)/reliability/thread_stress.py" --threads $(TSAN_STRESS_THREADS) --operations $(TSAN_STRESS_OPERATIONS) || status=1
	echo "+ (PYTHON_GIL=0) python -m pytest $(TSAN_TESTS)"
	"$$vpy" -P -m pytest -p no:cacheprovider --rootdir="$(ROOT)" $(PYTEST_ARGS) $(addprefix $(ROOT)/,$(TSAN_TESTS)) || status=1
	env -u PYTHON_GIL "$(PY)" "$(ROOT)/reliability/tsan_reports.py" "$(TSAN_FT_BUILD_DIR)/reports" || status=1
	exit $$status
