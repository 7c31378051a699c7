# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the -posix
# threading variant: the win32 variant has no std::mutex or std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VTD_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VTD_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VTD_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VTD_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VTD_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine (see scripts/build-windows for the prefix).
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(VTD_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
  find_program(VTD_WINE64 NAMES wine64)
  if(VTD_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VTD_WINE64})
  endif()
endif()
