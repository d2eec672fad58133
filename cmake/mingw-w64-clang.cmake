# The same Windows x64 product from a second compiler: clang 14 targeting MinGW-w64, with the
# MinGW-w64 headers, libstdc++ (posix threads) and import libraries the g++ build uses, linked
# by lld. Clang cannot find that libstdc++ itself: Debian's folder is named "12-posix", which it
# does not take for a GCC version.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_OBJCOPY x86_64-w64-mingw32-objcopy CACHE FILEPATH "")
set(CMAKE_STRIP x86_64-w64-mingw32-strip CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

file(GLOB LARK_MINGW_GCC_DIRS /usr/lib/gcc/x86_64-w64-mingw32/*-posix)
list(GET LARK_MINGW_GCC_DIRS -1 LARK_MINGW_GCC)
# -femulated-tls: GCC's MinGW libstdc++ keeps its thread-locals (std::call_once's) in emulated
# TLS, which clang does not use for this target unless told.
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
set(CMAKE_CXX_FLAGS_INIT "-femulated-tls -nostdinc++ -isystem ${LARK_MINGW_GCC}/include/c++ \
-isystem ${LARK_MINGW_GCC}/include/c++/x86_64-w64-mingw32 \
-isystem ${LARK_MINGW_GCC}/include/c++/backward")
# Static runtime, as with g++: no MinGW DLLs travel with the binaries.
# -nostdinc++ reaches the link line too, where it means nothing. lld by its versioned name:
# without Debian's unversioned "lld" package clang would quietly fall back to GNU ld.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wno-unused-command-line-argument -fuse-ld=lld-14 -static -L${LARK_MINGW_GCC}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wno-unused-command-line-argument -fuse-ld=lld-14 -static -L${LARK_MINGW_GCC}")
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run;--captured")
