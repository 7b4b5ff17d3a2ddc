# The manual page of one of the tools, made by help2man from the tool's --help and
# --version (their texts are written for it) and compressed as Debian ships it:
#   cmake -DHELP2MAN=/usr/bin/help2man -DTOOL=/path/to/zvpa-ecr -DOUT=/dir/zvpa-ecr.1.gz -P ManPage.cmake
# The packages and the manual pages' test make the pages this one way.
cmake_minimum_required(VERSION 3.25)
get_filename_component(name ${TOOL} NAME)
if(name STREQUAL "zvpa-ecr")
  set(summary "send requests to the ZVPA_LORVANI_10 payment driver as a cash register does")
elseif(name STREQUAL "lorvani-sim")
  set(summary "a local HTTPS stand-in for the Lorvani in-store interface")
else()
  message(FATAL_ERROR "${name}: no manual page is made for it")
endif()
string(REGEX REPLACE "\\.gz$" "" page ${OUT})
execute_process(COMMAND ${HELP2MAN} --no-info --section=1 "--name=${summary}" --output=${page} ${TOOL}
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "help2man failed for ${TOOL}")
endif()
execute_process(COMMAND gzip -9nf ${page} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip failed for ${page}")
endif()
