# The part of the two mingw-w64 toolchain files that they share: Debian's
# cross compilers and resource compiler of TOOLCHAIN_PREFIX, and their
# libraries and headers only. Included by toolchain-mingw-i686.cmake and
# toolchain-mingw-x86_64.cmake after they set CMAKE_SYSTEM_PROCESSOR and
# TOOLCHAIN_PREFIX.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
