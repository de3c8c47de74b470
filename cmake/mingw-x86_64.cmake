# Cross-build for 64-bit Windows with mingw-w64 (POSIX threads), tests run under wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KORVALEN_MINGW_TRIPLE x86_64-w64-mingw32)
set(KORVALEN_WINE /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
