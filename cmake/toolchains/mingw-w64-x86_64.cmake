# Cross-compiles for Windows x64 with Debian's mingw-w64 (posix threads flavour); programs built here run under
# Wine when CTest runs them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VELLUMBRA_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${VELLUMBRA_MINGW_PREFIX}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VELLUMBRA_MINGW_PREFIX}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VELLUMBRA_MINGW_PREFIX}-windres REQUIRED)

# Headers and libraries only from the mingw-w64 sysroot; programs (generators, tools) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VELLUMBRA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything links the C and C++ runtimes and winpthread statically, so the programs and the plug-in import
# only system DLLs and run on a machine (or a Wine prefix) that has no mingw runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Programs built here (tests) run under Wine, Debian's wine64 loader, with Wine's own diagnostics silenced.
find_program(VELLUMBRA_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(VELLUMBRA_WINE NAMES wine64 wine)
if(VELLUMBRA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env WINEDEBUG=-all ${VELLUMBRA_WINE})
endif()
