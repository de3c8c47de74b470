set(CMAKE_C_COMPILER ${KORVALEN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVALEN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVALEN_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KORVALEN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# ctest runs the .exe files through wine's loader for their word size, called directly: the
# wine script would put a 64-bit program in a process of its own, out of reach of a signal.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVALEN_WINE})
