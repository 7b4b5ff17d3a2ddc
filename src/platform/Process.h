#pragma once
// The process the library lives in: inside a host these are the host's, not the
// library's.

#include <vector>

#include "base/Text.h"

namespace zv::platform {

// Full path of the process's executable file.
Text ExecutableFileName();
// The folder below which logs go, ending in a path separator: $ZV_LOG_DIR when set and
// not empty (a host in a read-only folder), a relative one taken from the working folder
// now, else the executable's folder.
Text LogRoot();
// The command-line arguments after the program name, in order.
std::vector<Text> CommandLineArguments();
// The path separator of the file system.
#ifdef _WIN32
constexpr char16_t kPathSeparator = u'\\';
#else
constexpr char16_t kPathSeparator = u'/';
#endif

}  // namespace zv::platform
