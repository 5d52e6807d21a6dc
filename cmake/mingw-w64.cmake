# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model).
# Executables link statically so they run under wine without DLLs beside them;
# ctest runs them through cmake/wine-run.sh, which keeps a quiet wine prefix
# inside the build tree.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VTL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VTL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VTL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VTL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VTL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libstdc++/libgcc/winpthread DLLs to ship or to find under wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian's wine64 keeps its loader outside PATH (/usr/lib/wine/wine64).
if(NOT VTL_WINE64)
  find_program(VTL_WINE64 NAMES wine64
               PATHS /usr/lib/wine /usr/lib64/wine /usr/lib/x86_64-linux-gnu/wine
               NO_CMAKE_FIND_ROOT_PATH)
endif()
if(NOT VTL_WINE64)
  execute_process(COMMAND dpkg -L wine64 OUTPUT_VARIABLE _vtl_wine_files
                  ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX MATCH "[^\n]*/wine64(\n|$)" _vtl_wine_loader "${_vtl_wine_files}")
  string(STRIP "${_vtl_wine_loader}" _vtl_wine_loader)
  if(_vtl_wine_loader)
    set(VTL_WINE64 "${_vtl_wine_loader}" CACHE FILEPATH "wine64 loader" FORCE)
  endif()
endif()

if(VTL_WINE64)
  # The prefix lives in the top-level build tree; try_compile projects never
  # run what they build, so their copy of this path does not matter.
  set(VTL_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix")
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /bin/sh "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh" "${VTL_WINE64}" "${VTL_WINE_PREFIX}")
else()
  message(WARNING "wine64 not found: the Windows build is made but ctest cannot run it")
endif()
