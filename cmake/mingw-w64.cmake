# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (the posix thread model, so that
# std::thread and std::mutex exist). Programs link statically: they need no MinGW DLLs at run time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Libraries cross-built for Windows (scripts/build-windows.sh) are searched before the
# toolchain's own; nothing is taken from the build machine's /usr.
set(LAUNCHER_WINDOWS_PREFIX "" CACHE PATH "Prefix of the libraries cross-built for Windows")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
if(LAUNCHER_WINDOWS_PREFIX)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${LAUNCHER_WINDOWS_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
