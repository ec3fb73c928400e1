# Cross-build for 64-bit Windows: everything, on machines that run no 32-bit program (scripts/build.sh).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain-common.cmake)
