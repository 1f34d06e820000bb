# Cross build for ppc64le Linux with Debian's powerpc64le-linux-gnu-g++ (see linux-cross.cmake).
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(TOVREN_CROSS_TRIPLET powerpc64le-linux-gnu)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
