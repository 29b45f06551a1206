# Cross-compiles pelorin.exe for 64-bit Windows with Debian's mingw-w64
# (package g++-mingw-w64-x86-64-posix). Used by the `mingw` preset.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELORIN_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix threading flavour: its libstdc++ has std::thread and friends,
# backed by winpthreads, which -static links in as well.
set(CMAKE_C_COMPILER ${PELORIN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELORIN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PELORIN_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PELORIN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable: libgcc, libstdc++ and winpthread linked in,
# so a user copies pelorin.exe alone and it needs only the system's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Release builds ship without symbols.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
