# What both Linux cross builds share: zig's clang as C and C++ compiler for
# GSC_ZIG_TARGET (an architecture and the oldest glibc to run on), with its
# own C++ runtime linked into the module, and zlib linked statically from
# Debian's static library for the target (installed by `make dist`).
#
# The including file sets GSC_ZIG_TARGET, CMAKE_SYSTEM_PROCESSOR and
# GSC_TARGET_MULTIARCH (the platform part of CPython's extension suffix,
# which names the module for the target). zig runs from the ziglang package
# of the first python3 on PATH.
set(CMAKE_SYSTEM_NAME Linux)

set(GSC_ZIG "${CMAKE_CURRENT_LIST_DIR}/zig")
set(CMAKE_C_COMPILER "${GSC_ZIG}/${GSC_ZIG_TARGET}-cc")
set(CMAKE_CXX_COMPILER "${GSC_ZIG}/${GSC_ZIG_TARGET}-c++")
set(CMAKE_AR "${GSC_ZIG}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${GSC_ZIG}/ranlib" CACHE FILEPATH "")

# zlib: the target's static library, and its two headers on their own (the
# host's /usr/include would put the host's glibc headers before the target's).
# Debian builds the library as position-independent executable code, which a
# shared object takes only when its references bind inside it (-Bsymbolic;
# the module's export map also keeps zlib's symbols out of its exports).
set(GSC_ZLIB_HEADERS "${CMAKE_BINARY_DIR}/zlib-include")
file(COPY /usr/include/zlib.h /usr/include/zconf.h DESTINATION "${GSC_ZLIB_HEADERS}")
set(ZLIB_INCLUDE_DIR "${GSC_ZLIB_HEADERS}" CACHE PATH "")
set(ZLIB_LIBRARY "/usr/lib/${GSC_TARGET_MULTIARCH}/libz.a" CACHE FILEPATH "")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,-Bsymbolic")
