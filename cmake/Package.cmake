# Installation and the Debian package (scripts/package). The library goes to a folder
# of its own (ZV_LIBRARY_INSTALL_DIR), as a plug-in that hosts load by path, not a
# shared library for the linker.

# "make install" and CPack install what is built; scripts/package builds the targets
# below first, so that packaging never rebuilds the tests and benchmarks.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS ZVPA_LORVANI_10 LIBRARY DESTINATION ${ZV_LIBRARY_INSTALL_DIR})
# The printing module beside the driver, where the driver looks for it; its libraries
# (CUPS, Cairo, libpng) enter the dependencies through it.
install(TARGETS ZVPA_LORVANI_10_print LIBRARY DESTINATION ${ZV_LIBRARY_INSTALL_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/ZVPA_LORVANI_10.h ${PROJECT_SOURCE_DIR}/include/ZvOposFiscalPrinter.h
        DESTINATION include)
install(TARGETS zvpa-ecr lorvani-sim RUNTIME DESTINATION bin)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/zvpa-lorvani-10)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zvpa-lorvani-10)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ZVPA_LORVANI_10 maintainers <zvpa-lorvani-10@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Lorvani payment driver for point-of-sale hosts, with a command-line cash register and a provider simulator")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# The dependencies are read from the binaries, not listed by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
