# Cross build for 64-bit Windows with MinGW-w64. The posix-threads compiler is used because
# the win32-threads one has no std::mutex, which GoogleTest needs. Every program is linked
# statically, so each .exe runs without any MinGW DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SOUNDEXT_TARGET_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SOUNDEXT_TARGET_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SOUNDEXT_TARGET_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SOUNDEXT_TARGET_TRIPLE}-windres)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Search headers and libraries only in the target's tree, programs only on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${SOUNDEXT_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test executables run through wine (the 64-bit loader; no 32-bit wine is needed).
find_program(SOUNDEXT_WINE NAMES wine wine64 PATHS /usr/lib/wine)
if(SOUNDEXT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SOUNDEXT_WINE})
endif()
