# Cross build for x86_64 Linux with musl 1.2 or later (musllinux_1_2).
set(GSC_ZIG_TARGET x86_64-linux-musl)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(GSC_TARGET_MULTIARCH x86_64-linux-musl)
set(GSC_LIBC_SONAME libc.musl-x86_64.so.1)
include("${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake")
