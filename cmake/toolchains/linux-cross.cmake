# Shared part of the cross toolchain files beside it: a Linux target built by
# Debian's cross compiler of triplet TOVREN_CROSS_TRIPLET (each file sets it
# and CMAKE_SYSTEM_PROCESSOR, then includes this one).
#
# The interpreter is the target's own, run under qemu-user through the
# wrapper that `scripts/provision-python --arch ARCH` prints: pass it as
# -DPython_EXECUTABLE=..., and FindPython reads the target's include folder,
# extension suffix and pointer size from it. The extension links against no
# library of the target (CPython's symbols are resolved at import), so no
# sysroot is needed: the cross compiler brings its own C and C++ libraries,
# whose versioned symbols are older than those of the root's.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER "${TOVREN_CROSS_TRIPLET}-g++")
# Nothing of the build machine (its libraries, GTest, ...) is taken for the
# target: programs only from the build machine, everything else nowhere.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
