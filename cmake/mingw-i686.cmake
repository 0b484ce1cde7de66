# Cross-build for 32-bit Windows (i686): see mingw-common.cmake.
set(SONDREL_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
