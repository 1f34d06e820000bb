# Cross build for armv7l Linux with Debian's arm-linux-gnueabihf-g++ (see linux-cross.cmake).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(TOVREN_CROSS_TRIPLET arm-linux-gnueabihf)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
