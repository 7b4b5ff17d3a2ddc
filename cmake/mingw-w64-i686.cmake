# Cross-build for 32-bit Windows with the MinGW-w64 POSIX-threads toolchain (std::thread
# and std::mutex need its winpthreads). Test programs run under Wine through the emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ZV_MINGW_PREFIX i686-w64-mingw32)
set(ZV_WINE_NAMES wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
