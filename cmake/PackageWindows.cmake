# The Windows integrator's kit (scripts/package --windows): one zip, by CPack, holding
# the DLL and its debug information, the header, both import libraries and the .def
# they are made from, the Win32 host, the C# declarations and sample host,
# README-Windows.txt, the bill of materials (ZVPA_LORVANI_10.cdx.json) and the
# third-party licence notices.

# CPack installs what is built; scripts/package builds these targets first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# The bill of materials and the notices: what the DLL and the host link, pugixml from its
# Debian source package, RapidJSON's headers.
include(${PROJECT_SOURCE_DIR}/cmake/Sbom.cmake)
zv_sbom(ZVPA_LORVANI_10 OUTPUT_DIR ${PROJECT_BINARY_DIR}/package-files
        DESCRIPTION "Lorvani payment driver for point-of-sale hosts (32-bit Windows DLL)"
        TARGETS ZVPA_LORVANI_10 zvpa-win32-host HEADERS ${ZV_RAPIDJSON_INCLUDE_DIR}/rapidjson.h
        SOURCE_PACKAGES libpugixml.a=${ZV_PUGIXML_SOURCE_DIR} OWN ZVPA_LORVANI_10.dll)
add_custom_target(zv-package-files DEPENDS ${ZVPA_LORVANI_10_SBOM_FILES})

# README-Windows.txt with the README's reference, made when the build is configured.
set(ZV_WINDOWS_README ${PROJECT_BINARY_DIR}/README-Windows.txt)
execute_process(COMMAND ${CMAKE_COMMAND} -DKIT=${PROJECT_SOURCE_DIR}/resources/README-Windows.txt
                        -DREADME=${PROJECT_SOURCE_DIR}/README.md -DOUT=${ZV_WINDOWS_README}
                        -P ${PROJECT_SOURCE_DIR}/cmake/WindowsReadme.cmake COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/resources/README-Windows.txt
                                                               ${PROJECT_SOURCE_DIR}/README.md)

# The files themselves: installing the target would add the linker's own import library,
# which names the wrong symbols.
install(FILES $<TARGET_FILE:ZVPA_LORVANI_10> $<TARGET_FILE:ZVPA_LORVANI_10>.debug ${ZV_IMPORT_LIBRARIES} ${ZV_DEF_FILE}
              ${PROJECT_SOURCE_DIR}/include/ZVPA_LORVANI_10.h ${ZV_WINDOWS_README}
              ${PROJECT_BINARY_DIR}/package-files/ZVPA_LORVANI_10.cdx.json
        DESTINATION .)
# A .NET host's declarations of the commands and a sample host.
install(FILES ${PROJECT_SOURCE_DIR}/include/ZVPA_LORVANI_10.cs ${PROJECT_SOURCE_DIR}/tools/csharp-host/SampleHost.cs
        DESTINATION .)
install(FILES ${PROJECT_BINARY_DIR}/package-files/ZVPA_LORVANI_10.notices.txt DESTINATION . RENAME THIRD-PARTY-NOTICES.txt)
install(TARGETS zvpa-win32-host RUNTIME DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ZVPA_LORVANI_10)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CPACK_SYSTEM_NAME win32)
else()
  # The 64-bit test build: not a product, named so that it is not taken for one.
  set(CPACK_SYSTEM_NAME win64-test)
endif()
# Before the zip is made from the staged files: the DLL and the host are signed when a
# key is given (ZV_SIGN_KEY, ZV_SIGN_CERT, ...: scripts/package), and every entry takes
# the source date.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/KitFiles.cmake)
set(CPACK_ZV_SIGNED_FILES ZVPA_LORVANI_10.dll zvpa-win32-host.exe)
set(CPACK_ZV_SOURCE_DATE_EPOCH ${ZV_SOURCE_DATE_EPOCH})
include(CPack)
