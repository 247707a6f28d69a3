# Cross build for big-endian 64-bit Linux on s390x, linked statically. Programs and tests
# run under the user-mode emulator qemu-s390x.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)

set(SOUNDEXT_TARGET_TRIPLE s390x-linux-gnu)
set(CMAKE_C_COMPILER ${SOUNDEXT_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${SOUNDEXT_TARGET_TRIPLE}-g++)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Search headers and libraries only in the target's tree, programs only on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${SOUNDEXT_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L names the target's library tree, so a dynamically linked test would run as well.
find_program(SOUNDEXT_QEMU NAMES qemu-s390x qemu-s390x-static)
if(SOUNDEXT_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SOUNDEXT_QEMU} -L /usr/${SOUNDEXT_TARGET_TRIPLE})
endif()
