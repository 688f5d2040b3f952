# Cross build for 64-bit Windows with Debian's mingw-w64 (package g++-mingw-w64-x86-64).
# Libraries built for Windows outside the system tree (libzip) are found through
# TAVREL_WINDOWS_PREFIX, for example -DTAVREL_WINDOWS_PREFIX=$PWD/build-windows/deps/prefix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(tavrel_mingw x86_64-w64-mingw32)
# The posix-threads flavour of the compiler: its libstdc++ has the complete thread library,
# and -static links its winpthread into the executable, so nothing beyond system DLLs ships.
set(CMAKE_C_COMPILER ${tavrel_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${tavrel_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${tavrel_mingw}-windres)

# The toolchain file is read again for every try_compile; carry the prefix into those.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAVREL_WINDOWS_PREFIX)
if(NOT TAVREL_WINDOWS_PREFIX AND DEFINED ENV{TAVREL_WINDOWS_PREFIX})
  set(TAVREL_WINDOWS_PREFIX "$ENV{TAVREL_WINDOWS_PREFIX}")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${tavrel_mingw} ${TAVREL_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything links statically (-static): take zlib's archive, not its DLL import library.
set(ZLIB_USE_STATIC_LIBS ON)

# Executables cross-built here run under Wine when a test runs them.
find_program(TAVREL_WINE wine)
if(TAVREL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVREL_WINE})
endif()
