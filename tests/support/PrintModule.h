#pragma once
// The printing module that the test programs' spooler and PNG reader load. A program
// that links the library's code looks for it beside the program's own file; the tests
// point ZV_PRINT_MODULE at the one this build made instead (unless it is set). Windows
// has no printing module: nothing to do there.

#include <cstdlib>

namespace zvtest {

inline void UseBuiltPrintModule() {
#if !defined(_WIN32) && defined(ZV_PRINT_MODULE_PATH)
  setenv("ZV_PRINT_MODULE", ZV_PRINT_MODULE_PATH, 0);
#endif
}

}  // namespace zvtest
