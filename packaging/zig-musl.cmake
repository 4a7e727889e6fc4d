# What both musl cross builds (musllinux_1_2) share: zig's clang as C and C++
# compiler for GSC_ZIG_TARGET, with its own C++ runtime linked into the module
# (and musl linked statically into an executable, which then runs on any Linux
# of its architecture), and zlib linked statically from packaging/target-zlib.sh's
# build for the target, in GSC_ZLIB_DIR (Debian ships no zlib for musl).
#
# The including file sets GSC_ZIG_TARGET, CMAKE_SYSTEM_PROCESSOR,
# GSC_TARGET_MULTIARCH (the platform part of CPython's extension suffix on a
# musl system) and GSC_LIBC_SONAME (the name musl systems give their C
# library, which the module is made to need: see CMakeLists.txt). zig runs
# from the ziglang package of the first python3 on PATH; patchelf from the
# first on PATH.
set(CMAKE_SYSTEM_NAME Linux)

set(GSC_ZIG "${CMAKE_CURRENT_LIST_DIR}/zig")
set(CMAKE_C_COMPILER "${GSC_ZIG}/${GSC_ZIG_TARGET}-cc")
set(CMAKE_CXX_COMPILER "${GSC_ZIG}/${GSC_ZIG_TARGET}-c++")
set(CMAKE_AR "${GSC_ZIG}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${GSC_ZIG}/ranlib" CACHE FILEPATH "")

# The compiler checks' own projects need no zlib, and are not given its folder.
if(DEFINED GSC_ZLIB_DIR)
  set(ZLIB_INCLUDE_DIR "${GSC_ZLIB_DIR}/include" CACHE PATH "")
  set(ZLIB_LIBRARY "${GSC_ZLIB_DIR}/lib/libz.a" CACHE FILEPATH "")
endif()
# References bind inside the module (zlib's too), as in the glibc builds.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,-Bsymbolic")
