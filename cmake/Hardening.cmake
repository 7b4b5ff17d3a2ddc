# The flags a payment security review asks of the shipped binaries.
#
# Linux: Debian's hardening flags (dpkg-buildflags with hardening=+all): a strong stack
# protector and stack clash protection, fortified libc calls, control-flow protection
# (endbr64 at every function an indirect branch may reach; the program as a whole is not
# marked, since Debian 12's C start files carry no such mark), format strings checked,
# the relocations read-only and bound at load (-z relro -z now), position-independent
# programs. A Debug build leaves out _FORTIFY_SOURCE, which needs an optimising build
# (glibc warns, and warnings are errors). The sanitizer and fuzzing builds, which are
# never shipped, stay as they were: their instrumentation checks what these flags guard,
# and _FORTIFY_SOURCE's checked copies of the libc functions hide accesses from it.
#
# Windows: a strong stack protector whose support code (libssp) is linked in statically,
# so that the DLL imports no new DLL. The 32-bit DLL and host are marked "no SEH" where
# they are linked (src/CMakeLists.txt, tools/win32-host): GCC's i686 code unwinds with
# DWARF tables and registers no structured exception handler.
option(ZV_HARDEN "Build with the release hardening flags" ON)

# zv_no_seh(<target>...): the 32-bit Windows image is marked as one without structured
# exception handlers (IMAGE_DLLCHARACTERISTICS_NO_SEH), so that Windows calls no handler
# an attacker points into it. tests/library/pe_hardening.py checks that the code never
# registers one (no access to the thread's handler list at fs:[0]).
function(zv_no_seh)
  if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    foreach(target IN LISTS ARGN)
      target_link_options(${target} PRIVATE -Wl,--no-seh)
    endforeach()
  endif()
endfunction()

if(NOT ZV_HARDEN OR ZV_SANITIZE OR ZV_FUZZ)
  return()
endif()

if(WIN32)
  add_compile_options(-fstack-protector-strong)
  add_link_options(-fstack-protector-strong)
  return()
endif()

add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|i.86)$")
  add_compile_options(-fcf-protection -fstack-clash-protection)
endif()
add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
add_link_options(-Wl,-z,relro -Wl,-z,now)
include(CheckPIESupported)
check_pie_supported()
