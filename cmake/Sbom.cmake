# The bill of materials (CycloneDX JSON) and the third-party licence notices of a
# package, both made by cmake/sbom.py from one list of components: what the package's
# binaries link (their dynamic section or import table), what the linker took from
# archives and start files (its map file), the header-only libraries compiled in, and
# the Debian source packages built for the target. Versions, suppliers and licences come
# from the Debian packages that installed those files.
#
# CycloneDX rather than SPDX: it is the format the payment industry's software security
# reviews and vulnerability tools read first, it names a component's supplier and its
# package URL (pkg:deb/...) as plain fields, and its published schemas and validator come
# as a library (the tests validate against them).

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(ZV_SBOM_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/sbom.py)

# zv_linker_map(<target>...): the linker writes <file>.map beside each target's file.
function(zv_linker_map)
  foreach(target IN LISTS ARGN)
    target_link_options(${target} PRIVATE "LINKER:-Map=$<TARGET_FILE:${target}>.map")
  endforeach()
endfunction()

# zv_sbom(<name> OUTPUT_DIR <dir> DESCRIPTION <text> TARGETS <target>...
#         [HEADERS <file>...] [SOURCE_PACKAGES <archive>=<folder>...] [OWN <file name>...])
# makes <dir>/<name>.cdx.json and <dir>/<name>.notices.txt and sets <name>_SBOM_FILES to
# both. HEADERS are one header of each header-only library compiled in; OWN names files
# the binaries use that are the product's own.
function(zv_sbom name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT_DIR;DESCRIPTION" "TARGETS;HEADERS;SOURCE_PACKAGES;OWN")
  set(bom ${arg_OUTPUT_DIR}/${name}.cdx.json)
  set(notices ${arg_OUTPUT_DIR}/${name}.notices.txt)
  set(command ${Python3_EXECUTABLE} ${ZV_SBOM_SCRIPT} --name ${name} --version ${PROJECT_VERSION}
              "--description=${arg_DESCRIPTION}" "--supplier=${ZV_PACKAGE_MAINTAINER}"
              --epoch ${ZV_SOURCE_DATE_EPOCH} --bom ${bom} --notices ${notices})
  zv_linker_map(${arg_TARGETS})
  foreach(target IN LISTS arg_TARGETS)
    list(APPEND command --binary $<TARGET_FILE:${target}> --map $<TARGET_FILE:${target}>.map)
  endforeach()
  foreach(header IN LISTS arg_HEADERS)
    list(APPEND command --header ${header})
  endforeach()
  foreach(package IN LISTS arg_SOURCE_PACKAGES)
    list(APPEND command --source-package ${package})
  endforeach()
  foreach(own IN LISTS arg_OWN)
    list(APPEND command --own ${own})
  endforeach()
  if(CMAKE_CROSSCOMPILING)
    set(objdump ZV_OBJDUMP=${CMAKE_OBJDUMP})
  else()
    set(objdump)
  endif()
  add_custom_command(OUTPUT ${bom} ${notices}
    COMMAND ${CMAKE_COMMAND} -E env ${objdump} ${command}
    DEPENDS ${arg_TARGETS} ${ZV_SBOM_SCRIPT}
    COMMENT "Bill of materials and licence notices of ${name}"
    VERBATIM)
  set(${name}_SBOM_FILES ${bom} ${notices} PARENT_SCOPE)
endfunction()
