# The module on other Linux architectures, included by the top-level Makefile
# (which sets the shell, .ONESHELL, ROOT, PYTEST_ARGS and the configure_tree,
# build_wheel and skip_if_unavailable macros) before mk/dist.mk.
#
# Each architecture (a Debian name: arm64, i386, s390x, armhf, ppc64el) is
# built by Debian's cross compiler (cmake/toolchains/TRIPLET.cmake) against
# that architecture's CPython from Debian forky, unpacked into a root of its
# own and run under qemu-user (scripts/provision-python --arch, cached like
# the machine's interpreters; scripts/cross-arch names both).
#
#   make build-ARCH        the module and the test-only extension for ARCH's
#                          CPython 3.14, in place (tovren/_libs/properties.
#                          cpython-314-<triplet>.so) and in build/arch-ARCH-3.14
#                          (not the free-threaded ABI check: no interpreter of
#                          any architecture here is free-threaded, and the
#                          machine's own build and the Windows check compile it)
#   make test-ARCH         the whole suite under emulation against that build
#   make wheel-ARCH        ARCH's cp314 wheel, built by pip under emulation with
#                          the cross compiler, into build/arch-wheel-ARCH-3.14/dist
#   make wheel-ARCH-315    the same for cp315, where forky serves 3.15 for ARCH
#   make test-architectures  the suite on all five (scripts/run-test-steps)
#
# `make test` runs test-arm64, test-i386 and test-s390x (the most used, the
# 32-bit and the big-endian one); `make dist` takes every architecture's
# wheels. Each target prints one `skipped: <reason>` line where it cannot
# run here (no cross compiler, no qemu-user-static, no interpreter).

ARCHS := arm64 i386 s390x armhf ppc64el
ARCHS_TESTED := arm64 i386 s390x

ARCH_BUILD_TARGETS := $(addprefix build-,$(ARCHS))
ARCH_TEST_TARGETS := $(addprefix test-,$(ARCHS))
ARCH_WHEEL_TARGETS := $(addprefix wheel-,$(ARCHS))
ARCH_WHEEL315_TARGETS := $(addsuffix -315,$(ARCH_WHEEL_TARGETS))

# The folders of one architecture and version (arguments: ARCH, VERSION).
arch_tree = $(ROOT)/build/arch-$(1)-$(2)
arch_unavailable = $(ROOT)/build/arch-$(1)-$(2).unavailable
arch_wheel_dist = $(ROOT)/build/arch-wheel-$(1)-$(2)/dist

TEST_BUILDS += $(addprefix build-,$(ARCHS_TESTED)) $(ARCH_WHEEL_TARGETS) $(ARCH_WHEEL315_TARGETS)
# First: the longest steps, which scripts/run-test-steps starts first only once
# it has their durations of an earlier run (a fresh clone has none).
TEST_STEPS := $(addprefix test-,$(ARCHS_TESTED)) $(TEST_STEPS)

.PHONY: $(ARCH_BUILD_TARGETS) $(ARCH_TEST_TARGETS) $(ARCH_WHEEL_TARGETS) $(ARCH_WHEEL315_TARGETS) test-architectures

# arch_interpreter ARCH VERSION UNAVAILABLE-FILE: sets py to the wrapper that
# runs ARCH's CPython VERSION under emulation and cmake_args to what
# configures a cross build against it. Where none can be had, writes the
# reason to UNAVAILABLE-FILE, prints `skipped: <reason>` and ends the recipe
# with status 0.
define arch_interpreter
	mkdir -p "$(ROOT)/build"
	rm -f "$(3)"
	status=0
	py=$$("$(ROOT)/scripts/cross-arch" $(1) $(2)) || status=$$?
	if ((status == 3)); then
	  printf '%s\n' "$$py" >"$(3)"
	  echo "skipped: $$py"
	  exit 0
	fi
	((status == 0)) || exit "$$status"
	# The wrapper sits at the top of the architecture's root.
	cmake_args="-DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/toolchains/$$("$(ROOT)/scripts/cross-arch" --triplet $(1)).cmake -DPython_ROOT_DIR=$${py%/*}/usr"
endef

$(ARCH_BUILD_TARGETS): build-%:
	@
	cd "$(ROOT)"
	$(call arch_interpreter,$*,3.14,$(call arch_unavailable,$*,3.14))
	$(configure_tree)
	configure_tree "$(call arch_tree,$*,3.14)" "$$py" $$cmake_args -DCMAKE_BUILD_TYPE=RelWithDebInfo
	echo "+ cmake --build build/arch-$*-3.14 -j 2 --target properties _properties_testing"
	cmake --build "$(call arch_tree,$*,3.14)" -j 2 --target properties _properties_testing

# The suite as test-python runs it, by the architecture's interpreter under
# emulation: the source tree through PYTHONPATH (a venv cannot be made of an
# interpreter that only a wrapper starts), TOVREN_EMULATED for the tests that
# cannot run there.
$(ARCH_TEST_TARGETS): test-%: build-%
	@
	cd "$(ROOT)"
	$(call skip_if_unavailable,$(call arch_unavailable,$*,3.14))
	py=$$(scripts/cross-arch $* 3.14)
	echo "+ PYTHONPATH=. $$py -m pytest -p no:cacheprovider $(PYTEST_ARGS) tests"
	PYTHONPATH="$(ROOT)" TOVREN_BUILD_DIR="$(call arch_tree,$*,3.14)" TOVREN_EMULATED=$* \
	  "$$py" -m pytest -p no:cacheprovider $(PYTEST_ARGS) tests

# As `make wheel`, by the architecture's pip under emulation; scikit-build-core
# passes CMAKE_ARGS on to the cross build.
$(ARCH_WHEEL_TARGETS): wheel-%:
	@
	cd "$(ROOT)"
	$(call arch_interpreter,$*,3.14,$(call arch_unavailable,$*,3.14))
	export CMAKE_ARGS=$$cmake_args
	$(call build_wheel,"$$py",$(call arch_wheel_dist,$*,3.14))

$(ARCH_WHEEL315_TARGETS): wheel-%-315:
	@
	cd "$(ROOT)"
	$(call arch_interpreter,$*,3.15,$(call arch_unavailable,$*,3.15))
	export CMAKE_ARGS=$$cmake_args
	$(call build_wheel,"$$py",$(call arch_wheel_dist,$*,3.15))

test-architectures:
	@
	cd "$(ROOT)"
	"$(PY)" "$(ROOT)/scripts/run-test-steps" --make "$(MAKE)" --root "$(ROOT)" --logs "$(ROOT)/build/test-logs-architectures" \
	  --jobs "$(TEST_JOBS)" --builds "$(ARCH_BUILD_TARGETS)" --steps "$(ARCH_TEST_TARGETS)"
