# Cross-build for 64-bit Windows: only to run the tests under Wine on machines that cannot
# execute 32-bit programs (the product is the 32-bit DLL). POSIX threads, as for 32 bits.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(ZV_MINGW_PREFIX x86_64-w64-mingw32)
set(ZV_WINE_NAMES wine64 wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
