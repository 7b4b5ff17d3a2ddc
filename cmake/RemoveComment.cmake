# Install script (cmake/Package.cmake): removes the .comment section from the programs
# and shared objects just installed. ZV_OBJCOPY names objcopy.
file(GLOB_RECURSE files "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/*" "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/*.so")
foreach(file IN LISTS files)
  if(NOT IS_SYMLINK "${file}")
    execute_process(COMMAND ${ZV_OBJCOPY} --remove-section=.comment "${file}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
