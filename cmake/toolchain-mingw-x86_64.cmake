# Cross-compiles for 64-bit Windows (x64) with Debian's mingw-w64 x86-64
# toolchain: the 64-bit flavour of the product (cmake/windows.cmake picks the
# flavour from the target's pointer size).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
