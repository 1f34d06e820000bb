# Reliability campaigns, included by the top-level Makefile (which sets the
# shell, .ONESHELL, ROOT, PY, VENV_PY, PYTEST_ARGS). README.md (Reliability)
# describes each campaign and keeps its latest figures.
#
#   make refleak    the test suite under the debug interpreter, every test repeated
#                   and its reference and memory-block counts compared (REFLEAK_RUNS)
#   make asan       the test suite (and the C++ unit tests) against an
#                   AddressSanitizer + UBSan build, leaks checked; zero reports
#   make memcheck   valgrind memcheck over the descriptor hot paths; zero errors
#   make fuzz       FUZZ_CASES hostile-input cases (FUZZ_SEED replays a run)
#   make threads    STRESS_THREADS threads x STRESS_OPERATIONS operations
#   make tsan-unit  the code-object cache unit tests under ThreadSanitizer
#
# test-asan (no leak check, fast unwinding), test-memcheck and test-tsan-unit
# are steps of `make test`, with build-asan and build-tsan-unit among its
# builds; the fuzz and thread slices run inside the suite.

REFLEAK_BUILD_DIR := $(ROOT)/build/debug
ASAN_BUILD_DIR := $(ROOT)/build/asan
TSAN_BUILD_DIR := $(ROOT)/build/tsan-unit

REFLEAK_RUNS ?= 3:3
FUZZ_CASES ?= 100000
FUZZ_SEED ?=
STRESS_THREADS ?= 16
STRESS_OPERATIONS ?= 25000
MEMCHECK_ITERATIONS ?= 200

TEST_BUILDS += build-asan build-tsan-unit
TEST_STEPS += test-asan test-memcheck test-tsan-unit

.PHONY: refleak build-asan asan test-asan memcheck test-memcheck fuzz threads build-tsan-unit tsan-unit test-tsan-unit

# The debug interpreter (Py_DEBUG), provisioned once per make run like PY.
PY_DEBUG = $(eval PY_DEBUG := $(call provision_debug))$(PY_DEBUG)
provision_debug = $(strip $(shell env -u PYTHON_GIL "$(ROOT)/scripts/provision-python" --debug)$(if $(filter 0,$(.SHELLSTATUS)),,$(error scripts/provision-python --debug failed (message above))))

# configure_tree DIR PYTHON [CMAKE ARGUMENTS...]: configures a build tree of
# the project; a tree configured for another interpreter or another compiler
# (a -DCMAKE_CXX_COMPILER= argument, or its absence, that differs from the
# tree's) is discarded, since CMake keeps the compiler it first found; one
# configured with the same arguments is left as it is (ninja re-runs CMake
# itself when a CMakeLists.txt changed).
define configure_tree
configure_tree() {
  local dir=$$1 py=$$2
  shift 2
  local configured arguments compiler
  configured=$$(sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "$$dir/CMakeCache.txt" 2>/dev/null || true)
  if [[ -n $$configured && $$configured != "$$py" ]]; then rm -rf "$$dir"; fi
  arguments=$$(printf '%s\n' "$$py" "$$@")
  compiler=$$(printf '%s\n' "$$@" | sed -n 's/^-DCMAKE_CXX_COMPILER=//p')
  if [[ -f $$dir/CMakeCache.txt ]] \
     && [[ $$(sed -n 's/^-DCMAKE_CXX_COMPILER=//p' "$$dir/.configured-with" 2>/dev/null || true) != "$$compiler" ]]; then
    echo "make: $${dir#$(ROOT)/} was configured for another compiler; reconfiguring for $${compiler:-the default one}"
    rm -rf "$$dir"
  fi
  if [[ -f $$dir/build.ninja && -f $$dir/.configured-with && $$(<"$$dir/.configured-with") == "$$arguments" ]]; then
    return 0
  fi
  echo "+ cmake -S . -B $${dir#$(ROOT)/} -G Ninja -DPython_EXECUTABLE=$$py $$*"
  cmake -S "$(ROOT)" -B "$$dir" -G Ninja -DPython_EXECUTABLE="$$py" "$$@" >/dev/null
  printf '%s\n' "$$arguments" >"$$dir/.configured-with"
}
endef

refleak:
	@
	cd "$(ROOT)"
	py="$(PY_DEBUG)"
	$(configure_tree)
	# Debian's debug headers are links into the release folder, so the
	# compiler finds the release pyconfig.h next to Python.h; the debug one
	# is forced first (both share one include guard).
	pyconfig=$$("$$py" -c 'import os, sysconfig as s; i = s.get_path("include"); print(os.path.join(os.path.dirname(i), s.get_config_var("MULTIARCH") or "", os.path.basename(i), "pyconfig.h"))')
	[[ -f $$pyconfig ]] || pyconfig=$$("$$py" -c 'import sysconfig; print(sysconfig.get_path("include"))')/pyconfig.h
	configure_tree "$(REFLEAK_BUILD_DIR)" "$$py" -DCMAKE_BUILD_TYPE=Debug -DTOVREN_FT_ABI_CHECK=OFF \
	  "-DCMAKE_CXX_FLAGS=-include $$pyconfig"
	echo "+ cmake --build build/debug"
	cmake --build "$(REFLEAK_BUILD_DIR)"
	module=tovren/_libs/properties$$("$$py" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
	# A module built without Py_REF_DEBUG would not count its references.
	nm -D --undefined-only "$$module" | grep -q _Py_INCREF_IncRefTotal \
	  || { echo "make: $$module does not count references (built without Py_REF_DEBUG)" >&2; exit 1; }
	echo "+ $$py -m pytest -p refleak_plugin --refleak-runs=$(REFLEAK_RUNS) $(PYTEST_ARGS) tests"
	# The source tree on PYTHONPATH: child interpreters import the package
	# from it (the debug interpreter has no .venv pointing there).
	TOVREN_TESTING_DIR="$(REFLEAK_BUILD_DIR)/testing" PYTHONPATH="$(ROOT):$(ROOT)/reliability" \
	  "$$py" -m pytest -p no:cacheprovider -p no:benchmark -p refleak_plugin \
	  --refleak-runs=$(REFLEAK_RUNS) $(PYTEST_ARGS) tests

# build-asan: the sanitizer tree, built and installed into its stage folder
# (an up-to-date tree is only checked by ninja).
build-asan:
	@
	cd "$(ROOT)"
	py="$(PY)"
	$(configure_tree)
	sanitize="-fsanitize=address,undefined"
	configure_tree "$(ASAN_BUILD_DIR)" "$$py" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVREN_INPLACE=OFF \
	  -DTOVREN_FT_ABI_CHECK=OFF "-DCMAKE_CXX_FLAGS=$$sanitize -fno-omit-frame-pointer -fno-sanitize-recover=all" \
	  "-DCMAKE_MODULE_LINKER_FLAGS=$$sanitize" "-DCMAKE_EXE_LINKER_FLAGS=$$sanitize"
	echo "+ cmake --build build/asan"
	cmake --build "$(ASAN_BUILD_DIR)"
	cmake --install "$(ASAN_BUILD_DIR)" --prefix "$(ASAN_BUILD_DIR)/stage" >/dev/null

# asan_run LEAK_CHECK FAST_UNWIND: runs the C++ unit tests and the Python
# suite against the sanitizer build, every process writing its reports into
# one folder that sanitizer_reports.py then counts. Exact leak attribution
# needs the slow unwinder: the release interpreter keeps no frame pointers.
define asan_run
	@
	cd "$(ROOT)"
	py="$(PY)"
	rm -rf "$(ASAN_BUILD_DIR)/reports"
	mkdir -p "$(ASAN_BUILD_DIR)/reports"
	libasan=$$(g++ -print-file-name=libasan.so)
	[[ -f $$libasan ]] || { echo "make: no libasan.so for g++" >&2; exit 1; }
	reports="$(ASAN_BUILD_DIR)/reports"
	checker() { env -u LD_PRELOAD "$$py" "$(ROOT)/reliability/sanitizer_reports.py" "$$reports"; }
	export PYTHONMALLOC=malloc LD_PRELOAD="$$libasan" PYTHONPATH="$(ASAN_BUILD_DIR)/stage"
	export ASAN_OPTIONS="detect_leaks=$(1):fast_unwind_on_malloc=$(2):halt_on_error=1:log_path=$$reports/asan:log_exe_name=1"
	export LSAN_OPTIONS="suppressions=$(ROOT)/reliability/lsan.supp:exitcode=0:print_suppressions=0"
	export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$$reports/ubsan:log_exe_name=1"
	status=0
	echo "+ ctest --test-dir build/asan"
	ctest --test-dir "$(ASAN_BUILD_DIR)" --output-on-failure $(CTEST_ARGS) || status=1
	# From the stage folder too: `python -m` puts the working folder first on
	# sys.path, and the source tree holds an uninstrumented build.
	cd "$(ASAN_BUILD_DIR)/stage"
	echo "+ (LD_PRELOAD=libasan, PYTHONMALLOC=malloc) $$py -m pytest $(PYTEST_ARGS) tests"
	TOVREN_TESTING_DIR="$(ASAN_BUILD_DIR)/testing" \
	  "$$py" -m pytest -p no:cacheprovider -p no:benchmark --rootdir="$(ROOT)" $(PYTEST_ARGS) "$(ROOT)/tests" || status=1
	checker || status=1
	exit $$status
endef

asan: build-asan
	$(call asan_run,1,0)

test-asan: build-asan
	$(call asan_run,0,1)

# memcheck_run ON_MISSING_VALGRIND: the step of `make test` reports itself
# skipped without valgrind; the campaign fails.
define memcheck_run
	@
	cd "$(ROOT)"
	py="$(PY)"
	command -v valgrind >/dev/null || { $(1); }
	debuginfo=$$("$(ROOT)/reliability/glibc-debuginfo" "$$py")
	log="$(ROOT)/build/memcheck.log"
	echo "+ PYTHONMALLOC=malloc valgrind --tool=memcheck $$py reliability/memcheck_driver.py --iterations $(MEMCHECK_ITERATIONS)"
	status=0
	PYTHONMALLOC=malloc PYTHONPATH="$(ROOT)" valgrind --tool=memcheck --error-exitcode=99 --leak-check=no \
	  --track-origins=yes $${debuginfo:+--extra-debuginfo-path="$$debuginfo"} \
	  --suppressions="$(ROOT)/reliability/valgrind.supp" --log-file="$$log" \
	  "$$py" reliability/memcheck_driver.py --iterations $(MEMCHECK_ITERATIONS) || status=$$?
	grep -v '^==[0-9]*== *$$' "$$log" | grep -E 'Invalid|uninitialised|ERROR SUMMARY' -A12 | head -60 || true
	grep -q 'ERROR SUMMARY: 0 errors' "$$log" || status=1
	exit $$status
endef

memcheck: build
	$(call memcheck_run,echo "make: valgrind is not installed" >&2; exit 1)

test-memcheck: build
	$(call memcheck_run,echo "skipped: valgrind is not installed"; exit 0)

fuzz: build
	@
	cd "$(ROOT)"
	echo "+ .venv/bin/python reliability/fuzz_campaign.py --cases $(FUZZ_CASES) $(if $(FUZZ_SEED),--seed $(FUZZ_SEED))"
	"$(VENV_PY)" reliability/fuzz_campaign.py --cases $(FUZZ_CASES) $(if $(FUZZ_SEED),--seed $(FUZZ_SEED))

threads: build
	@
	cd "$(ROOT)"
	echo "+ .venv/bin/python reliability/thread_stress.py --threads $(STRESS_THREADS) --operations $(STRESS_OPERATIONS)"
	"$(VENV_PY)" reliability/thread_stress.py --threads $(STRESS_THREADS) --operations $(STRESS_OPERATIONS)

build-tsan-unit:
	@
	cd "$(ROOT)"
	if [[ ! -f $(TSAN_BUILD_DIR)/build.ninja ]]; then
	  echo "+ cmake -S reliability/tsan -B build/tsan-unit -G Ninja"
	  cmake -S reliability/tsan -B "$(TSAN_BUILD_DIR)" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	fi
	cmake --build "$(TSAN_BUILD_DIR)"

tsan-unit: build-tsan-unit
	@
	echo "+ ctest --test-dir build/tsan-unit"
	ctest --test-dir "$(TSAN_BUILD_DIR)" --output-on-failure

test-tsan-unit: tsan-unit
