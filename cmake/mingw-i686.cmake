# Cross-build for 32-bit Windows with mingw-w64 (POSIX threads), tests run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KORVALEN_MINGW_TRIPLE i686-w64-mingw32)
set(KORVALEN_WINE /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
