# The dependencies of the Windows cross-build, all built from their Debian sources or
# headers (scripts/build-windows fetches and passes them): pugixml from its source
# package, RapidJSON's headers, GoogleTest from /usr/src/googletest.
set(ZV_PUGIXML_SOURCE_DIR "" CACHE PATH "pugixml's unpacked Debian source package")
set(ZV_RAPIDJSON_INCLUDE_DIR /usr/include/rapidjson CACHE PATH "RapidJSON's header folder")
set(ZV_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources")

if(NOT EXISTS ${ZV_PUGIXML_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "ZV_PUGIXML_SOURCE_DIR must name pugixml's sources (scripts/build-windows fetches them)")
endif()
set(PUGIXML_BUILD_SHARED_AND_STATIC_LIBS OFF CACHE BOOL "" FORCE)
set(BUILD_SHARED_LIBS OFF)
add_subdirectory(${ZV_PUGIXML_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_deps/pugixml EXCLUDE_FROM_ALL)
if(NOT TARGET pugixml::pugixml)
  add_library(pugixml::pugixml ALIAS pugixml-static)
endif()

# The RapidJSON headers alone, without the rest of the build machine's /usr/include.
set(ZV_RAPIDJSON_ROOT ${CMAKE_BINARY_DIR}/_deps/rapidjson-include)
file(MAKE_DIRECTORY ${ZV_RAPIDJSON_ROOT})
file(CREATE_LINK ${ZV_RAPIDJSON_INCLUDE_DIR} ${ZV_RAPIDJSON_ROOT}/rapidjson SYMBOLIC)
include_directories(SYSTEM ${ZV_RAPIDJSON_ROOT})

# The HTTP client and the HTTP I/O handler run on libcurl, which the Windows build does
# not have; their Windows transfer arrives with WinHTTP. Until then they are left out of
# the Windows build, and an HTTP connection cannot be used there.
option(ZV_WINDOWS_WITHOUT_HTTP_TRANSFER "Leave the libcurl-based HTTP sources out of the Windows build" ON)

# Windows 7 and later: GetLocaleInfoEx, WSAPoll.
add_compile_definitions(WINVER=0x0601 _WIN32_WINNT=0x0601 UNICODE _UNICODE)
if(ZV_WINDOWS_WITHOUT_HTTP_TRANSFER)
  add_compile_definitions(ZV_WINDOWS_WITHOUT_HTTP_TRANSFER)
endif()
