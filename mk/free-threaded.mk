# The free-threaded interpreter (python3.14t), included by the top-level
# Makefile (which sets the shell, .ONESHELL, ROOT, PY, PYTEST_ARGS).
#
#   make build-free-threaded  take the python3.14t that PYTHON_FT names (checked
#                             by scripts/provision-python --free-threaded), build
#                             the module for it in place (cpython-314t), and once
#                             more declaring the GIL not used (TOVREN_GIL_NOT_USED,
#                             for its test), and make .venv-ft
#   make wheel-free-threaded  the cp314t wheel into build/wheel-free-threaded/dist
#   make fuzz-free-threaded   the fuzz campaign (FUZZ_CASES, FUZZ_SEED) on .venv-ft,
#                             GIL off; without PYTHON_FT one `skipped:` line
#   make threads-free-threaded  the thread stress campaign (STRESS_THREADS x
#                             STRESS_OPERATIONS) on .venv-ft, GIL off; the same
#   make tsan                 the thread stress campaign and the descriptor tests
#                             on the ThreadSanitizer build of python3.14t that
#                             PYTHON_FT_TSAN names, GIL off; reports with a frame
#                             in the module are counted (TSAN_SUPPRESSIONS=FILE:
#                             the interpreter's own suppression file, e.g. its
#                             Tools/tsan/suppressions_free_threading.txt)
#
# No package archive serves a free-threaded CPython: without PYTHON_FT each
# step of `make test` below prints one `skipped: ...` line that says how to
# name one, and `make tsan` fails with that reason. The free-threaded ABI is
# compile-checked regardless, in build/default (TOVREN_FT_ABI_CHECK).
#
# Steps of `make test`:
#   test-free-threaded          the suite as a user runs it (the import turns the GIL on)
#   test-free-threaded-nogil    the suite with PYTHON_GIL=0
#   test-free-threaded-threads  a slice of the thread stress campaign, PYTHON_GIL=0
#   test-free-threaded-wheel    a cp314t wheel installed into a fresh venv, suite against it

FT_BUILD_DIR := $(ROOT)/build/free-threaded
FT_GIL_NOT_USED_DIR := $(ROOT)/build/free-threaded-gil-not-used
FT_VENV := $(ROOT)/.venv-ft
FT_VENV_PY := $(FT_VENV)/bin/python
# Written by build-free-threaded when no interpreter can be had; holds the reason.
FT_UNAVAILABLE := $(FT_BUILD_DIR)/unavailable
FT_WHEEL_DIST := $(ROOT)/build/wheel-free-threaded/dist
FT_WHEEL_VENV := $(ROOT)/build/wheel-free-threaded/venv
TSAN_FT_BUILD_DIR := $(ROOT)/build/tsan-free-threaded
FT_STRESS_THREADS ?= 16
FT_STRESS_OPERATIONS ?= 25000

TEST_BUILDS += build-free-threaded wheel-free-threaded
TEST_STEPS += test-free-threaded test-free-threaded-nogil test-free-threaded-threads test-free-threaded-wheel

.PHONY: build-free-threaded wheel-free-threaded tsan test-free-threaded test-free-threaded-nogil \
        test-free-threaded-threads test-free-threaded-wheel fuzz-free-threaded threads-free-threaded

# Prints `skipped: <reason>` and leaves the recipe when build-free-threaded
# found no interpreter.
define skip_without_free_threaded
	$(call skip_if_unavailable,$(FT_UNAVAILABLE))
endef

build-free-threaded: build
	@
	cd "$(ROOT)"
	$(call provision_or_skip,py_ft,$(FT_UNAVAILABLE),--free-threaded)
	$(configure_tree)
	configure_tree "$(FT_BUILD_DIR)" "$$py_ft" -DCMAKE_BUILD_TYPE=RelWithDebInfo
	echo "+ cmake --build build/free-threaded"
	cmake --build "$(FT_BUILD_DIR)"
	# The module as built with the opt-in declaration, for the test that checks it.
	configure_tree "$(FT_GIL_NOT_USED_DIR)" "$$py_ft" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVREN_GIL_NOT_USED=ON \
	  -DTOVREN_INPLACE=OFF -DTOVREN_BUILD_TESTING=OFF -DTOVREN_FT_ABI_CHECK=OFF
	echo "+ cmake --build build/free-threaded-gil-not-used --target properties"
	cmake --build "$(FT_GIL_NOT_USED_DIR)" --target properties
	$(make_tools_venv)
	make_tools_venv "$(FT_VENV)" "$$py_ft"
	site=$$("$(FT_VENV_PY)" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
	printf '%s\n' "$(ROOT)" >"$$site/tovren-source-tree.pth"
	# The venv must load the free-threaded build from the source tree.
	PYTHON_GIL=0 "$(FT_VENV_PY)" -c 'import sys, tovren._libs.properties as m, pytest, hypothesis; sys.exit(".cpython-314t-" not in m.__file__)' \
	  || { echo "make: .venv-ft does not load the cpython-314t build of the module" >&2; exit 1; }

# ft_suite ENV-ARGUMENTS: the whole suite on .venv-ft, its environment changed
# by env(1) arguments.
define ft_suite
	@
	cd "$(ROOT)"
	$(skip_without_free_threaded)
	echo "+ env $(1) .venv-ft/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS) tests"
	env $(1) TOVREN_BUILD_DIR="$(FT_BUILD_DIR)" "$(FT_VENV_PY)" -m pytest -p no:cacheprovider $(PYTEST_ARGS) tests
endef

# As a user gets it, whatever PYTHON_GIL the caller has set.
test-free-threaded: build-free-threaded
	$(call ft_suite,-u PYTHON_GIL)

test-free-threaded-nogil: build-free-threaded
	$(call ft_suite,PYTHON_GIL=0)

test-free-threaded-threads: build-free-threaded
	@
	cd "$(ROOT)"
	$(skip_without_free_threaded)
	echo "+ PYTHON_GIL=0 .venv-ft/bin/python reliability/thread_stress.py --threads $(FT_STRESS_THREADS) --operations $(FT_STRESS_OPERATIONS)"
	PYTHON_GIL=0 "$(FT_VENV_PY)" reliability/thread_stress.py --threads $(FT_STRESS_THREADS) --operations $(FT_STRESS_OPERATIONS)

# The reliability campaigns of reliability/campaigns.mk on .venv-ft with the
# GIL off (checked first: the module imported, it stays off). The fuzz
# campaign's children inherit PYTHON_GIL=0; a crash that the same cases also
# cause with the module's descriptors replaced by plain Python ones, by the
# same signal at the same place, is reported as the interpreter's (exit
# status 3 when there is no other).
# `make refleak` and `make memcheck` have no such run: no free-threaded debug
# interpreter is provisioned, and the free-threaded build refuses
# PYTHONMALLOC=malloc, without which valgrind cannot see objects one by one.
define ft_campaign
	@
	cd "$(ROOT)"
	$(skip_without_free_threaded)
	PYTHON_GIL=0 "$(FT_VENV_PY)" -c 'import sys, tovren._libs.properties; sys.exit(sys._is_gil_enabled())' \
	  || { echo "make: the GIL is on in .venv-ft with PYTHON_GIL=0" >&2; exit 1; }
	echo "+ PYTHON_GIL=0 .venv-ft/bin/python $(1)"
	PYTHON_GIL=0 "$(FT_VENV_PY)" $(1)
endef

fuzz-free-threaded: build-free-threaded
	$(call ft_campaign,reliability/fuzz_campaign.py --cases $(FUZZ_CASES) $(if $(FUZZ_SEED),--seed $(FUZZ_SEED)))

threads-free-threaded: build-free-threaded
	$(call ft_campaign,reliability/thread_stress.py --threads $(STRESS_THREADS) --operations $(STRESS_OPERATIONS))

# As wheel and test-wheel, for the cp314t wheel: pip and scikit-build-core are
# the pure-Python ones that .venv-ft sees.
wheel-free-threaded: build-free-threaded
	@
	$(skip_without_free_threaded)
	$(call build_wheel,"$(FT_VENV_PY)",$(FT_WHEEL_DIST))

test-free-threaded-wheel: build-free-threaded wheel-free-threaded
	@
	$(skip_without_free_threaded)
	$(call test_installed_wheel,"$(FT_VENV_PY)",$(FT_WHEEL_DIST),$(FT_WHEEL_VENV),$(FT_BUILD_DIR)/testing)

# ThreadSanitizer campaign: the module built with -fsanitize=thread against a
# ThreadSanitizer build of python3.14t, then the thread stress campaign and the
# descriptor tests with the GIL off. Every process writes its reports into one
# folder; tsan_reports.py counts those with a frame in the module.
TSAN_STRESS_THREADS ?= 8
TSAN_STRESS_OPERATIONS ?= 20000
TSAN_SUPPRESSIONS ?=
TSAN_TESTS ?= tests/test_cached_property.py tests/test_axis_property.py tests/test_pickling.py \
              tests/test_garbage_collection.py tests/test_thread_stress.py

tsan:
	@
	cd "$(ROOT)"
	py_tsan=$$("$(ROOT)/scripts/provision-python" --free-threaded-tsan) \
	  || { echo "make: tsan needs a ThreadSanitizer build of python3.14t: $$py_tsan" >&2; exit 1; }
	$(configure_tree)
	# The sanitizer runtime is the interpreter's: clang's is linked into the
	# executable, and GCC's libtsan.so cannot join it (nor clang's a GCC-built
	# one), so the module is compiled by the same family that compiled the
	# interpreter, as its sysconfig CC names it.
	cxx=$$("$(ROOT)/scripts/interpreter-cxx" "$$py_tsan") || exit 1
	echo "make: $$py_tsan was built by $$("$$py_tsan" -c 'import sysconfig; print(sysconfig.get_config_var("CC"))'); the module is built with $$cxx"
	sanitize=-fsanitize=thread
	configure_tree "$(TSAN_FT_BUILD_DIR)" "$$py_tsan" "-DCMAKE_CXX_COMPILER=$$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTOVREN_INPLACE=OFF -DTOVREN_FT_ABI_CHECK=OFF "-DCMAKE_CXX_FLAGS=$$sanitize" \
	  "-DCMAKE_MODULE_LINKER_FLAGS=$$sanitize" "-DCMAKE_EXE_LINKER_FLAGS=$$sanitize"
	echo "+ cmake --build build/tsan-free-threaded"
	cmake --build "$(TSAN_FT_BUILD_DIR)"
	rm -rf "$(TSAN_FT_BUILD_DIR)/stage" "$(TSAN_FT_BUILD_DIR)/reports"
	cmake --install "$(TSAN_FT_BUILD_DIR)" --prefix "$(TSAN_FT_BUILD_DIR)/stage" >/dev/null
	mkdir -p "$(TSAN_FT_BUILD_DIR)/reports"
	$(make_tools_venv)
	make_tools_venv "$(TSAN_FT_BUILD_DIR)/venv" "$$py_tsan"
	vpy="$(TSAN_FT_BUILD_DIR)/venv/bin/python"
	# Reports never change an exit status: tsan_reports.py judges them.
	TSAN_OPTIONS="halt_on_error=0 exitcode=0 log_path=$(TSAN_FT_BUILD_DIR)/reports/tsan"
	suppressions="$(TSAN_SUPPRESSIONS)"
	if [[ -n $$suppressions ]]; then
	  [[ -f $$suppressions ]] || { echo "make: TSAN_SUPPRESSIONS=$$suppressions is not a file" >&2; exit 1; }
	  TSAN_OPTIONS+=" suppressions=$$(realpath -- "$$suppressions")"
	else echo "make: no TSAN_SUPPRESSIONS given; every report wholly inside the interpreter is listed (not counted)"; fi
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
