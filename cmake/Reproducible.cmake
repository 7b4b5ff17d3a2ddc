# The same sources give the same bytes, wherever and whenever they are built.
#
# - The source and build folders are mapped to "." in everything the compiler writes
#   (file names, debug information), so that the folder of a build leaves no trace.
# - A date or time macro fails the build (-Wdate-time, an error with ZV_WERROR).
# - Times that a file must carry (the PE header's link time, the packages' and the
#   zip's entries, the bill of materials) are ZV_SOURCE_DATE_EPOCH: $SOURCE_DATE_EPOCH
#   when it is set, else the time of the commit that is built, else 0.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=. -Wdate-time)

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ZV_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE ZV_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                  RESULT_VARIABLE ZV_GIT_RESULT)
  if(NOT ZV_GIT_RESULT EQUAL 0 OR NOT ZV_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    set(ZV_SOURCE_DATE_EPOCH 0)
  endif()
endif()
# Kept in the cache, where scripts/check-reproducible reads it to build again with it.
set(ZV_SOURCE_DATE_EPOCH ${ZV_SOURCE_DATE_EPOCH} CACHE INTERNAL "The time written into the built files")

# zv_link_at_source_date(<target>...): the linker writes ZV_SOURCE_DATE_EPOCH where it
# writes a time (GNU ld's PE header), not the time of the link.
function(zv_link_at_source_date)
  foreach(target IN LISTS ARGN)
    set_target_properties(${target} PROPERTIES
      C_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${ZV_SOURCE_DATE_EPOCH}"
      CXX_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${ZV_SOURCE_DATE_EPOCH}")
  endforeach()
endfunction()
