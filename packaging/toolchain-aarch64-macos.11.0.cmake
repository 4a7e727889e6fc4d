# Cross build for macOS 11.0 or later on ARM64 (the first macOS for it).
set(GSC_ZIG_TARGET aarch64-macos.11.0)
set(CMAKE_SYSTEM_PROCESSOR arm64)
include("${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake")
