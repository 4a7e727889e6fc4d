# Cross build for aarch64 Linux with glibc 2.17 or later (manylinux2014).
set(GSC_ZIG_TARGET aarch64-linux-gnu.2.17)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(GSC_TARGET_MULTIARCH aarch64-linux-gnu)
include("${CMAKE_CURRENT_LIST_DIR}/zig-linux.cmake")
