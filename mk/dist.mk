# What a release uploads to a package index, included by the top-level
# Makefile (which sets the shell, .ONESHELL, ROOT, PY, PYTEST_ARGS and the
# wheel macros) after mk/free-threaded.mk and mk/python315.mk.
#
#   make dist          dist/ holds exactly one sdist and one manylinux wheel
#                      per interpreter at hand: cp314 and cp315 (the
#                      provisioned ones), cp314t when PYTHON_FT names one,
#                      and cp314 and cp315 of every other architecture
#                      (mk/architectures.mk). The wheels are those that
#                      `make wheel`, `make wheel-python315`,
#                      `make wheel-free-threaded` and `make wheel-ARCH[-315]`
#                      built (nothing is compiled again), retagged by
#                      auditwheel for the manylinux policy of DIST_PLAT (its
#                      glibc, with each wheel's own machine); the sdist comes
#                      from scikit-build-core, as pip would make it.
#   make wheel-from-sdist
#                      the sdist unpacked alone into a scratch folder and a
#                      cp314 wheel built from it into build/sdist-wheel/dist
#                      (again only when the sdist changed)
#
# Step of `make test`:
#   test-dist          scripts/check-dist over dist/ (what a package index and
#                      an installer check: tags against auditwheel's verdict,
#                      twine check, classifiers, the sdist's contents; each
#                      wheel imported by its own interpreter, under emulation
#                      for another architecture), then
#                      the suite against the wheel built from the sdist,
#                      installed into a fresh venv

DIST_DIR := $(ROOT)/dist
# The newest manylinux policy the wheels claim: manylinux2014 (glibc 2.17),
# which every supported x86-64 Linux meets. auditwheel refuses the tag when
# a wheel needs more.
DIST_PLAT ?= manylinux_2_17_$(shell uname -m)
# The same policy for the wheels of the other architectures: manylinux_2_17_aarch64, ...
DIST_POLICY = $(patsubst %_$(shell uname -m),%,$(DIST_PLAT))
SDIST_WHEEL_DIST := $(ROOT)/build/sdist-wheel/dist
# Written by dist when the interpreter lacks the release tools; holds the reason.
DIST_UNAVAILABLE := $(ROOT)/build/dist-unavailable
SDIST_WHEEL_VENV := $(ROOT)/build/sdist-wheel/venv

TEST_BUILDS += dist wheel-from-sdist
TEST_STEPS += test-dist

.PHONY: dist wheel-from-sdist test-dist

# Prints `skipped: <reason>` and leaves the recipe when dist found no tools.
define skip_without_dist
	$(call skip_if_unavailable,$(DIST_UNAVAILABLE))
endef

# dist_wheel_dirs: the folders of the wheels at hand, one per interpreter
# (a step that skipped for want of its interpreter left no wheel), with the
# manylinux policy of each (wheel_plats), the interpreter whose auditwheel
# retags it (wheel_repairers: auditwheel offers only the policies of the
# machine it runs on, so another architecture's wheel is retagged under
# emulation) and the interpreters that import them in test-dist (importers:
# check-dist's --import-with arguments).
define dist_wheel_dirs
	wheel_dirs=("$(WHEEL_DIST)") wheel_plats=("$(DIST_PLAT)") wheel_repairers=("$(PY)")
	importers=(--import-with "cp314-$(shell uname -m)=$(PY)")
	if [[ -f "$(PY315_UNAVAILABLE)" ]]; then
	  echo "make: no cp315 wheel: $$(<"$(PY315_UNAVAILABLE)")"
	else
	  wheel_dirs+=("$(PY315_WHEEL_DIST)") wheel_plats+=("$(DIST_PLAT)") wheel_repairers+=("$(PY)")
	  importers+=(--import-with "cp315-$(shell uname -m)=$(PY315_VENV_PY)")
	fi
	if [[ ! -f "$(FT_UNAVAILABLE)" ]]; then
	  wheel_dirs+=("$(FT_WHEEL_DIST)") wheel_plats+=("$(DIST_PLAT)") wheel_repairers+=("$(PY)")
	fi
	for arch in $(ARCHS); do
	  machine=$$("$(ROOT)/scripts/cross-arch" --machine "$$arch")
	  for version in 3.14 3.15; do
	    unavailable="$(ROOT)/build/arch-$$arch-$$version.unavailable"
	    if [[ -f $$unavailable ]]; then
	      echo "make: no cp$${version/./} wheel for $$arch: $$(<"$$unavailable")"
	      continue
	    fi
	    emulated=$$("$(ROOT)/scripts/cross-arch" "$$arch" "$$version")
	    wheel_dirs+=("$(ROOT)/build/arch-wheel-$$arch-$$version/dist") wheel_plats+=("$(DIST_POLICY)_$$machine")
	    wheel_repairers+=("$$emulated")
	    importers+=(--import-with "cp$${version/./}-$$machine=$$emulated")
	  done
	done
endef

dist: wheel wheel-python315 wheel-free-threaded $(ARCH_WHEEL_TARGETS) $(ARCH_WHEEL315_TARGETS)
	@
	cd "$(ROOT)"
	rm -rf "$(DIST_DIR)" "$(DIST_UNAVAILABLE)"
	# The provisioned interpreter has the tools; one named by PYTHON may not.
	if ! "$(PY)" -c 'import auditwheel, twine, trove_classifiers' 2>/dev/null; then
	  mkdir -p "$$(dirname -- "$(DIST_UNAVAILABLE)")"
	  echo "$(PY) cannot import auditwheel, twine and trove_classifiers, which make dist needs (the provisioned interpreter has them)" >"$(DIST_UNAVAILABLE)"
	  echo "skipped: $$(<"$(DIST_UNAVAILABLE)")"
	  exit 0
	fi
	$(dist_wheel_dirs)
	mkdir -p "$(DIST_DIR)"
	# The sdist as pip's build front ends make it (scikit-build-core's
	# build_sdist: every file git would not ignore, and PKG-INFO); its
	# timestamps are fixed, so the same sources give the same bytes.
	echo "+ $(PY) -c 'scikit_build_core.build.build_sdist(\"dist\")'"
	"$(PY)" -c 'import sys, scikit_build_core.build as backend; backend.build_sdist(sys.argv[1])' "$(DIST_DIR)" >/dev/null
	for i in "$${!wheel_dirs[@]}"; do
	  dir=$${wheel_dirs[i]} plat=$${wheel_plats[i]} repairer=$${wheel_repairers[i]}
	  wheels=("$$dir"/*.whl)
	  [[ -f $${wheels[0]} && $${#wheels[@]} == 1 ]] || { echo "make: expected one wheel in $${dir#$(ROOT)/}" >&2; exit 1; }
	  echo "+ $$repairer -m auditwheel repair --plat $$plat --only-plat -w dist $${wheels[0]#$(ROOT)/}"
	  # Its INFO log lines are shown only when it fails.
	  out=$$("$$repairer" -m auditwheel repair --plat "$$plat" --only-plat -w "$(DIST_DIR)" "$${wheels[0]}" 2>&1) \
	    || { printf '%s\n' "$$out" >&2; echo "make: auditwheel repair of $${wheels[0]##*/} failed" >&2; exit 1; }
	  grep -v '^INFO:' <<<"$$out" || true
	done
	echo "dist:"
	ls -1 "$(DIST_DIR)" | sed 's/^/  /'

# The cp314 wheel of the sdist alone: unpacked into a scratch folder outside
# the source tree and built there by pip, offline and without build
# isolation, as the wheel of `make wheel` is. The stamp holds the sdist's hash.
wheel-from-sdist: dist
	@
	cd "$(ROOT)"
	$(skip_without_dist)
	sdists=("$(DIST_DIR)"/*.tar.gz)
	[[ -f $${sdists[0]} && $${#sdists[@]} == 1 ]] || { echo "make: expected one sdist in dist/" >&2; exit 1; }
	$(call build_wheel,"$(PY)",$(SDIST_WHEEL_DIST),"$${sdists[0]}")

test-dist: build dist wheel-from-sdist
	@
	cd "$(ROOT)"
	$(skip_without_dist)
	$(dist_wheel_dirs)
	originals=()
	for dir in "$${wheel_dirs[@]}"; do originals+=("$$dir"/*.whl); done
	echo "+ $(PY) scripts/check-dist --plat $(DIST_PLAT) $${importers[*]} dist"
	"$(PY)" scripts/check-dist --plat "$(DIST_PLAT)" "$${importers[@]}" "$(DIST_DIR)" "$${originals[@]}"
	$(call test_installed_wheel,"$(PY)",$(SDIST_WHEEL_DIST),$(SDIST_WHEEL_VENV),$(BUILD_DIR)/testing)
