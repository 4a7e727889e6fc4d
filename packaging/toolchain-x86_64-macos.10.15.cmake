# Cross build for macOS 10.15 or later on x86-64: the first macOS with
# aligned_alloc, which the C++ runtime's aligned allocation and exception
# allocation call (with an older minimum it is only weakly imported).
set(GSC_ZIG_TARGET x86_64-macos.10.15)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include("${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake")
