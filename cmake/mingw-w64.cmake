# Shared part of the mingw-w64 cross toolchain files: the including file sets
# PATHWARDEN_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${PATHWARDEN_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${PATHWARDEN_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${PATHWARDEN_MINGW_TRIPLE}-windres)

# Look for libraries and headers only in the cross sysroot, but keep using the
# build machine's programs (python3, wine) for the tests.
set(CMAKE_FIND_ROOT_PATH /usr/${PATHWARDEN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
