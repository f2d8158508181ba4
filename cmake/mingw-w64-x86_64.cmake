# Cross-build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64). The posix thread
# model is preferred: GCC 12's std::thread needs it. Programs link statically, so they run under
# Wine or on a bare Windows machine without the compiler's DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(OKG_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${OKG_MINGW_TRIPLE}-gcc-posix ${OKG_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${OKG_MINGW_TRIPLE}-g++-posix ${OKG_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${OKG_MINGW_TRIPLE}-windres)

# Headers, libraries and packages come from the target's tree only, never from the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${OKG_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread inside each program; the system DLLs are still imported.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests (and GoogleTest's discovery) run the programs through Wine.
find_program(OKG_WINE NAMES wine wine64 PATHS /usr/lib/wine)
if(OKG_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${OKG_WINE})
endif()
