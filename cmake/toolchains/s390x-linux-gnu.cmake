# Cross build for s390x Linux with Debian's s390x-linux-gnu-g++ (see linux-cross.cmake).
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(TOVREN_CROSS_TRIPLET s390x-linux-gnu)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
