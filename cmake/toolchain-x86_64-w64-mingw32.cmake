# Cross build of the same program for 64-bit Windows. Not shipped: it exists so
# that the Windows code can be run under 64-bit Wine on hosts whose kernel
# cannot start 32-bit processes (and so cannot run 32-bit Wine).
set(PATHWARDEN_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
