# Cross build for x86-64 Windows (MinGW-w64's ABI) with zig's clang: the
# object store and store_driver only (-DGSC_MODULE=OFF: there are no CPython
# headers for Windows here), for `make windows-check`, which runs the driver
# under Wine. zig links its own C++ runtime statically, so the driver needs
# only Windows' own DLLs; zlib is linked statically from Debian's MinGW-w64
# build of it (libz-mingw-w64-dev), with its two headers in a folder of their
# own (the MinGW-w64 folder they come from may hold other headers than zig's).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(GSC_ZIG "${CMAKE_CURRENT_LIST_DIR}/zig")
set(CMAKE_C_COMPILER "${GSC_ZIG}/x86_64-windows-gnu-cc")
set(CMAKE_CXX_COMPILER "${GSC_ZIG}/x86_64-windows-gnu-c++")
set(CMAKE_AR "${GSC_ZIG}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${GSC_ZIG}/ranlib" CACHE FILEPATH "")

set(GSC_MINGW /usr/x86_64-w64-mingw32)
set(GSC_ZLIB_HEADERS "${CMAKE_BINARY_DIR}/zlib-include")
file(COPY "${GSC_MINGW}/include/zlib.h" "${GSC_MINGW}/include/zconf.h" DESTINATION "${GSC_ZLIB_HEADERS}")
set(ZLIB_INCLUDE_DIR "${GSC_ZLIB_HEADERS}" CACHE PATH "")
set(ZLIB_LIBRARY "${GSC_MINGW}/lib/libz.a" CACHE FILEPATH "")
