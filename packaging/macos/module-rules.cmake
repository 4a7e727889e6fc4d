# Read after CMake's Darwin platform files (CMAKE_USER_MAKE_RULES_OVERRIDE_CXX,
# set by zig-macos.cmake): a module is a dylib (zig's linker ignores -bundle
# and would link an executable), with the interpreter's symbols undefined.
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared -Wl,-undefined,dynamic_lookup")
