# Cross-compiling for x86-64 Windows with Debian's mingw-w64 (the posix
# thread variant), run under Wine for tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything linked in: an executable imports only KERNEL32 and the C runtime.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(REGISTRY_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib/wine64 NO_CMAKE_FIND_ROOT_PATH)
if(REGISTRY_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${REGISTRY_WINE})
endif()
