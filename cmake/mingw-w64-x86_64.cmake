# Cross-build for 64-bit Windows with Debian's mingw-w64 compilers. The -posix
# variants are used because only they provide std::thread and std::jthread.
# Programs built here run on Linux under wine (tests included).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUELLMARK_MINGW_PREFIX x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${QUELLMARK_MINGW_PREFIX}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QUELLMARK_MINGW_PREFIX}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QUELLMARK_MINGW_PREFIX}-windres)
find_program(CMAKE_AR NAMES ${QUELLMARK_MINGW_PREFIX}-ar)
find_program(CMAKE_RANLIB NAMES ${QUELLMARK_MINGW_PREFIX}-ranlib)

# Libraries and packages come from the mingw sysroot (and from a Qt for mingw,
# which the project adds to the roots when it finds one); programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QUELLMARK_MINGW_PREFIX} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test executables and test discovery run under wine. The project replaces this
# with a wrapper that keeps a wine prefix of its own in the build folder.
find_program(QUELLMARK_WINE NAMES wine wine64)
if(QUELLMARK_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QUELLMARK_WINE})
endif()
