# Cross build of the shipped program: 32-bit Windows (PE32, Intel 80386) with
# Debian's mingw-w64 (package g++-mingw-w64-i686).
set(PATHWARDEN_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
