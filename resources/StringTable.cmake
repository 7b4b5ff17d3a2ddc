# Turns the numbered entries of a resource-script string table (lines of the form
#   10000 "text"
# where "" stands for one double quote and backslash escapes such as \\ and \n keep
# the meaning they have in both languages) into a C++ source that defines the module's
# string table for platforms without resource sections. Runs at configure time; the
# script is a configure dependency, so editing it regenerates the table on the next build.
function(zv_generate_string_table input output)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${input})
  file(READ ${input} content)
  # Keep list separators and brackets of the texts away from CMake's list handling.
  string(REPLACE ";" "@ZV_SEMICOLON@" content "${content}")
  string(REPLACE "[" "@ZV_OPEN@" content "${content}")
  string(REPLACE "]" "@ZV_CLOSE@" content "${content}")
  string(REPLACE "\r" "" content "${content}")
  string(REPLACE "\n" ";" lines "${content}")
  set(entries "")
  set(seen "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*([0-9]+)[ \t]+\"(.*)\"[ \t]*$")
      set(id ${CMAKE_MATCH_1})
      set(value "${CMAKE_MATCH_2}")
      if(id IN_LIST seen)
        message(FATAL_ERROR "${input}: string identifier ${id} appears twice")
      endif()
      list(APPEND seen ${id})
      string(REPLACE "\"\"" "\"" value "${value}")
      string(REPLACE "\"" "\\\"" value "${value}")
      string(REPLACE "@ZV_SEMICOLON@" ";" value "${value}")
      string(REPLACE "@ZV_OPEN@" "[" value "${value}")
      string(REPLACE "@ZV_CLOSE@" "]" value "${value}")
      string(APPEND entries "    {${id}u, u\"${value}\"},\n")
    endif()
  endforeach()
  file(RELATIVE_PATH shown ${PROJECT_SOURCE_DIR} ${input})
  set(source "// Generated from ${shown} by resources/StringTable.cmake: do not edit.\n")
  string(APPEND source "#include \"platform/Resources.h\"\n\nnamespace zv::platform {\n\n"
         "extern const ResourceString kModuleStringTable[];\n"
         "extern const size_t kModuleStringTableSize;\n\n"
         "// The entries in script order, then an end mark.\n"
         "const ResourceString kModuleStringTable[] = {\n")
  string(APPEND source "${entries}")
  string(APPEND source "    {0u, nullptr}};\n"
         "const size_t kModuleStringTableSize = sizeof kModuleStringTable / sizeof kModuleStringTable[0] - 1;\n\n"
         "}  // namespace zv::platform\n")
  # Rewrite only on change so that an unchanged table does not rebuild the library.
  file(WRITE ${output}.new "${source}")
  file(COPY_FILE ${output}.new ${output} ONLY_IF_DIFFERENT)
  file(REMOVE ${output}.new)
endfunction()
