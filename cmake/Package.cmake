# Installation and the Debian packages (scripts/package). Two packages, so that a
# production till does not install a simulator:
#   zvpa-lorvani-10        the driver: library, header, README (component "driver")
#   zvpa-lorvani-10-tools  zvpa-ecr, lorvani-sim, the simulated fiscal printer, their
#                          manual pages (component "tools"); depends on the driver
# The library goes to a folder of its own (ZV_LIBRARY_INSTALL_DIR), as a plug-in that
# hosts load by path, not a shared library for the linker. Another file of the driver
# package is one more install(... COMPONENT driver) below.

# "make install" and CPack install what is built; scripts/package builds the targets
# below first (and zv-package-files), so that packaging never rebuilds the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(ZV_DOC_DIR share/doc/zvpa-lorvani-10)
set(ZV_TOOLS_DOC_DIR share/doc/zvpa-lorvani-10-tools)
set(ZV_PACKAGE_FILES ${PROJECT_BINARY_DIR}/package-files)

# ---- files made for the packages: compressed changelog, installed README, manual pages

file(MAKE_DIRECTORY ${ZV_PACKAGE_FILES})
# The README as installed: paths of the installed files instead of the build tree's, and
# without the parts about building from the sources.
add_custom_command(
  OUTPUT ${ZV_PACKAGE_FILES}/README.md
  COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/README.md -DOUT=${ZV_PACKAGE_FILES}/README.md
          -DLIBDIR=/usr/${ZV_LIBRARY_INSTALL_DIR} -P ${PROJECT_SOURCE_DIR}/cmake/InstalledReadme.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/cmake/InstalledReadme.cmake
  COMMENT "Installed README")
add_custom_command(
  OUTPUT ${ZV_PACKAGE_FILES}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/cmake/debian/changelog changelog
  COMMAND gzip -9nf changelog
  WORKING_DIRECTORY ${ZV_PACKAGE_FILES}
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
set(ZV_PACKAGE_OUTPUTS ${ZV_PACKAGE_FILES}/README.md ${ZV_PACKAGE_FILES}/changelog.gz)

# The manual pages of the two commands, from their --help and --version (help2man).
find_program(ZV_HELP2MAN help2man)
set(ZV_MAN_PAGES)
if(ZV_HELP2MAN)
  foreach(tool zvpa-ecr lorvani-sim)
    add_custom_command(
      OUTPUT ${ZV_PACKAGE_FILES}/${tool}.1.gz
      COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${ZV_SOURCE_DATE_EPOCH}
              ${CMAKE_COMMAND} -DHELP2MAN=${ZV_HELP2MAN} -DTOOL=$<TARGET_FILE:${tool}>
              -DOUT=${ZV_PACKAGE_FILES}/${tool}.1.gz -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
      DEPENDS ${tool} ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
      COMMENT "Manual page of ${tool}")
    list(APPEND ZV_MAN_PAGES ${ZV_PACKAGE_FILES}/${tool}.1.gz)
  endforeach()
  list(APPEND ZV_PACKAGE_OUTPUTS ${ZV_MAN_PAGES})
endif()
# The bill of materials and the third-party licence notices of each package.
include(${PROJECT_SOURCE_DIR}/cmake/Sbom.cmake)
find_file(ZV_RAPIDJSON_HEADER rapidjson/rapidjson.h REQUIRED)
find_file(ZV_HTTPLIB_HEADER httplib.h HINTS ${CPPHTTPLIB_INCLUDE_DIRS} REQUIRED)
zv_sbom(zvpa-lorvani-10 OUTPUT_DIR ${ZV_PACKAGE_FILES} DESCRIPTION "Lorvani payment driver for point-of-sale hosts"
        TARGETS ZVPA_LORVANI_10 ZVPA_LORVANI_10_print HEADERS ${ZV_RAPIDJSON_HEADER})
zv_sbom(zvpa-lorvani-10-tools OUTPUT_DIR ${ZV_PACKAGE_FILES} DESCRIPTION "tools to try the Lorvani payment driver"
        TARGETS zvpa-ecr lorvani-sim fiscal-printer-sim HEADERS ${ZV_RAPIDJSON_HEADER} ${ZV_HTTPLIB_HEADER}
        OWN ZVPA_LORVANI_10.so)
list(APPEND ZV_PACKAGE_OUTPUTS ${zvpa-lorvani-10_SBOM_FILES} ${zvpa-lorvani-10-tools_SBOM_FILES})
# The notices compressed, as Debian keeps documentation of more than 4 kB.
foreach(package zvpa-lorvani-10 zvpa-lorvani-10-tools)
  add_custom_command(OUTPUT ${ZV_PACKAGE_FILES}/${package}/THIRD-PARTY-NOTICES.txt.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ZV_PACKAGE_FILES}/${package}
    COMMAND ${CMAKE_COMMAND} -E copy ${ZV_PACKAGE_FILES}/${package}.notices.txt
            ${ZV_PACKAGE_FILES}/${package}/THIRD-PARTY-NOTICES.txt
    COMMAND gzip -9nf ${ZV_PACKAGE_FILES}/${package}/THIRD-PARTY-NOTICES.txt
    DEPENDS ${ZV_PACKAGE_FILES}/${package}.notices.txt)
  list(APPEND ZV_PACKAGE_OUTPUTS ${ZV_PACKAGE_FILES}/${package}/THIRD-PARTY-NOTICES.txt.gz)
endforeach()
add_custom_target(zv-package-files DEPENDS ${ZV_PACKAGE_OUTPUTS})

# ---- the driver package

install(TARGETS ZVPA_LORVANI_10 LIBRARY DESTINATION ${ZV_LIBRARY_INSTALL_DIR} COMPONENT driver)
# The printing module beside the driver, where the driver looks for it; its libraries
# (CUPS, Cairo, libpng) enter the driver package's dependencies through it.
install(TARGETS ZVPA_LORVANI_10_print LIBRARY DESTINATION ${ZV_LIBRARY_INSTALL_DIR} COMPONENT driver)
install(FILES ${PROJECT_SOURCE_DIR}/include/ZVPA_LORVANI_10.h ${PROJECT_SOURCE_DIR}/include/ZvOposFiscalPrinter.h
        DESTINATION include COMPONENT driver)
install(FILES ${ZV_PACKAGE_FILES}/README.md ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
              ${ZV_PACKAGE_FILES}/changelog.gz ${ZV_PACKAGE_FILES}/zvpa-lorvani-10.cdx.json
        DESTINATION ${ZV_DOC_DIR} COMPONENT driver)
install(FILES ${ZV_PACKAGE_FILES}/zvpa-lorvani-10/THIRD-PARTY-NOTICES.txt.gz DESTINATION ${ZV_DOC_DIR}
        COMPONENT driver)
# A .NET host's declarations of the commands and a sample host (Mono on Linux).
install(FILES ${PROJECT_SOURCE_DIR}/include/ZVPA_LORVANI_10.cs ${PROJECT_SOURCE_DIR}/tools/csharp-host/SampleHost.cs
              ${PROJECT_SOURCE_DIR}/tools/csharp-host/SampleHost.exe.config
        DESTINATION ${ZV_DOC_DIR}/examples/csharp COMPONENT driver)

# ---- the tools package

install(TARGETS zvpa-ecr lorvani-sim RUNTIME DESTINATION bin COMPONENT tools)
if(TARGET fiscal-printer-sim)
  install(TARGETS fiscal-printer-sim LIBRARY DESTINATION ${ZV_LIBRARY_INSTALL_DIR} COMPONENT tools)
endif()
install(FILES ${ZV_MAN_PAGES} DESTINATION share/man/man1 COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${ZV_PACKAGE_FILES}/changelog.gz
              ${ZV_PACKAGE_FILES}/zvpa-lorvani-10-tools.cdx.json
        DESTINATION ${ZV_TOOLS_DOC_DIR} COMPONENT tools)
install(FILES ${ZV_PACKAGE_FILES}/zvpa-lorvani-10-tools/THIRD-PARTY-NOTICES.txt.gz DESTINATION ${ZV_TOOLS_DOC_DIR}
        COMPONENT tools)

# ---- both packages

# The shipped ELF files without the compiler's .comment section (as Debian's own packages
# are stripped): it names only the compiler that built them. CPack strips the symbols
# first (in the rules above), the section after.
foreach(component driver tools)
  install(CODE "set(ZV_OBJCOPY \"${CMAKE_OBJCOPY}\")" COMPONENT ${component})
  install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/RemoveComment.cmake COMPONENT ${component})
endforeach()

# ---- CPack

set(CPACK_GENERATOR DEB)
# The packages' entries carry the source date (cmake/Reproducible.cmake), which CPack's
# DEB generator reads from the environment.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/CPackSourceDate.cmake
     CONTENT "set(ENV{SOURCE_DATE_EPOCH} ${ZV_SOURCE_DATE_EPOCH})\n")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackSourceDate.cmake)
set(CPACK_PACKAGE_NAME zvpa-lorvani-10)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ZV_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZV_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL driver tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SOURCE zvpa-lorvani-10)
# The dependencies are read from the binaries, not listed by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shared objects are plug-ins outside the linker's search path: maintainer scripts of
# our own stand in for the ldconfig calls CPack would add for anything below /usr/lib.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/postinst
                                       ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DRIVER_PACKAGE_NAME zvpa-lorvani-10)
set(CPACK_DEBIAN_DRIVER_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_DRIVER_DESCRIPTION
    "Lorvani payment driver for point-of-sale hosts
The ZVPA_LORVANI_10 driver is a plug-in that a cash-register application loads
by path and calls with XML requests; it turns payments, refunds and voids into
requests to the in-store interface of the Lorvani buy-now-pay-later service.
This package holds the library, its C header and its documentation.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zvpa-lorvani-10-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "zvpa-lorvani-10 (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "tools to try the Lorvani payment driver
zvpa-ecr sends requests to the ZVPA_LORVANI_10 driver as a cash register does,
lorvani-sim stands in for the provider's in-store interface on the local
machine, and fiscal-printer-sim.so is a simulated fiscal printer behind the
driver's OPOS control. For integration and tests; a till needs only the driver.")
include(CPack)
