# Cross build for aarch64 Linux with musl 1.2 or later (musllinux_1_2).
set(GSC_ZIG_TARGET aarch64-linux-musl)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(GSC_TARGET_MULTIARCH aarch64-linux-musl)
set(GSC_LIBC_SONAME libc.musl-aarch64.so.1)
include("${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake")
