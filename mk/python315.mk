# CPython 3.15, the module's second target version, included by the top-level
# Makefile (which sets the shell, .ONESHELL, ROOT, PY, PYTEST_ARGS and the
# make_tools_venv, build_wheel and test_installed_wheel macros).
#
#   make build-python315  provision python3.15 (scripts/provision-python
#                         --version 3.15: PYTHON315=... or forky's python3.15
#                         with its test tools, cached), build the module for it
#                         in place (cpython-315, beside the 3.14 build) with the
#                         test-only extension in build/python315, and make
#                         .venv-315, which sees the source tree and the
#                         interpreter's own test tools
#   make wheel-python315  the cp315 wheel into build/wheel-python315/dist
#
# Steps of `make test` (each prints one `skipped: ...` line where no 3.15
# interpreter can be had on this kind of machine):
#   test-python315        the whole suite on .venv-315
#   test-python315-wheel  the cp315 wheel installed into a fresh venv, the suite against it
#
# The debug interpreter, the sanitizer builds and the reliability campaigns
# stay on 3.14.

PY315_BUILD_DIR := $(ROOT)/build/python315
PY315_VENV := $(ROOT)/.venv-315
PY315_VENV_PY := $(PY315_VENV)/bin/python
# Written by build-python315 when no interpreter can be had; holds the reason.
PY315_UNAVAILABLE := $(PY315_BUILD_DIR)/unavailable
PY315_WHEEL_DIST := $(ROOT)/build/wheel-python315/dist
PY315_WHEEL_VENV := $(ROOT)/build/wheel-python315/venv

TEST_BUILDS += build-python315 wheel-python315
TEST_STEPS += test-python315 test-python315-wheel

.PHONY: build-python315 wheel-python315 test-python315 test-python315-wheel

# Prints `skipped: <reason>` and leaves the recipe when build-python315 found
# no interpreter.
define skip_without_python315
	$(call skip_if_unavailable,$(PY315_UNAVAILABLE))
endef

# The extension, its free-threaded ABI check and the test-only extension; the
# C++ unit tests need no interpreter and run in build/default only.
build-python315:
	@
	cd "$(ROOT)"
	$(call provision_or_skip,py315,$(PY315_UNAVAILABLE),--version 3.15)
	$(configure_tree)
	configure_tree "$(PY315_BUILD_DIR)" "$$py315" -DCMAKE_BUILD_TYPE=RelWithDebInfo
	echo "+ cmake --build build/python315 --target properties properties_ft_abi _properties_testing"
	cmake --build "$(PY315_BUILD_DIR)" --target properties properties_ft_abi _properties_testing
	$(make_tools_venv)
	make_tools_venv "$(PY315_VENV)" "$$py315" "$$py315"
	site=$$("$(PY315_VENV_PY)" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
	printf '%s\n' "$(ROOT)" >"$$site/tovren-source-tree.pth"
	# The venv must load the 3.15 build from the source tree, without warnings.
	"$(PY315_VENV_PY)" -W error -c 'import sys, tovren._libs.properties as m, pytest, hypothesis; sys.exit(".cpython-315-" not in m.__file__)' \
	  || { echo "make: .venv-315 does not load the cpython-315 build of the module" >&2; exit 1; }

test-python315: build-python315
	@
	cd "$(ROOT)"
	$(skip_without_python315)
	echo "+ .venv-315/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS) tests"
	TOVREN_BUILD_DIR="$(PY315_BUILD_DIR)" "$(PY315_VENV_PY)" -m pytest -p no:cacheprovider $(PYTEST_ARGS) tests

# As wheel and test-wheel, for the cp315 wheel: pip, scikit-build-core and
# the test tools are those of the 3.15 interpreter, which .venv-315 sees.
wheel-python315: build-python315
	@
	$(skip_without_python315)
	$(call build_wheel,"$(PY315_VENV_PY)",$(PY315_WHEEL_DIST))

test-python315-wheel: build-python315 wheel-python315
	@
	$(skip_without_python315)
	$(call test_installed_wheel,"$(PY315_VENV_PY)",$(PY315_WHEEL_DIST),$(PY315_WHEEL_VENV),$(PY315_BUILD_DIR)/testing,"$(PY315_VENV_PY)")
