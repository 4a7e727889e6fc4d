# What both macOS cross builds share: zig's clang as C and C++ compiler for
# GSC_ZIG_TARGET (an architecture and the oldest macOS to run on, which the
# link records in LC_BUILD_VERSION), with its own C++ runtime linked into the
# module, the system's zlib through a text-based stub, and the interpreter's
# symbols left to the interpreter that loads the module.
#
# The including file sets GSC_ZIG_TARGET and CMAKE_SYSTEM_PROCESSOR. zig runs
# from the ziglang package of the first python3 on PATH.
#
# No macOS Python headers are to be had on the building machine: the module
# is compiled with the building machine's, so a wheel built this way proves
# the sources and the link, and a release's macOS wheels come from a macOS
# runner (see the cibuildwheel section of pyproject.toml).
set(CMAKE_SYSTEM_NAME Darwin)
# The platform part of CPython's extension suffix on macOS (.cpython-312-darwin.so).
set(GSC_TARGET_MULTIARCH darwin)

set(GSC_ZIG "${CMAKE_CURRENT_LIST_DIR}/zig")
set(CMAKE_C_COMPILER "${GSC_ZIG}/${GSC_ZIG_TARGET}-cc")
set(CMAKE_CXX_COMPILER "${GSC_ZIG}/${GSC_ZIG_TARGET}-c++")
set(CMAKE_AR "${GSC_ZIG}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${GSC_ZIG}/ranlib" CACHE FILEPATH "")
# The target (and so the minimum macOS) is in the compiler's own command: no
# SDK, architecture or deployment flags from CMake's Darwin platform files.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# zlib: the headers zig ships for macOS (on their own, as in zig-linux.cmake), and a stub naming the system's
# library and the functions the module calls (zig has no macOS zlib to link).
execute_process(COMMAND python3 -c "import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).resolve().parent)"
  OUTPUT_VARIABLE GSC_ZIG_HOME OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(GSC_ZLIB_HEADERS "${CMAKE_BINARY_DIR}/zlib-include")
file(COPY "${GSC_ZIG_HOME}/lib/libc/include/any-darwin-any/zlib.h" "${GSC_ZIG_HOME}/lib/libc/include/any-darwin-any/zconf.h"
  DESTINATION "${GSC_ZLIB_HEADERS}")
set(ZLIB_INCLUDE_DIR "${GSC_ZLIB_HEADERS}" CACHE PATH "")
set(ZLIB_LIBRARY "${CMAKE_CURRENT_LIST_DIR}/macos/libz.tbd" CACHE FILEPATH "")

# A module is linked as a dylib (-shared), which CPython loads like a bundle:
# zig's linker ignores -bundle. See macos/module-rules.cmake.
set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX "${CMAKE_CURRENT_LIST_DIR}/macos/module-rules.cmake")

# zig's linker ignores the exported symbols list, and its C++ runtime would
# export the global operator new and delete: the module defines them, hidden.
set(GSC_MODULE_RUNTIME_SOURCES "${CMAKE_CURRENT_LIST_DIR}/macos/private_new_delete.cpp")
set(CMAKE_CXX_FLAGS_INIT "-fvisibility-global-new-delete=force-hidden")
