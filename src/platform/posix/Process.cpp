#include "platform/Process.h"

#include <unistd.h>

#include <cstdlib>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/FileSystem.h"

namespace zv::platform {

Text ExecutableFileName() {
  std::string buffer(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return Text();
  buffer.resize(static_cast<size_t>(n));
  return FromUtf8(buffer);
}

namespace {

// The working folder, ending in a separator; empty when it cannot be read.
Text CurrentFolder() {
  std::string buffer(4096, '\0');
  if (getcwd(buffer.data(), buffer.size()) == nullptr) return Text();
  buffer.resize(std::char_traits<char>::length(buffer.c_str()));
  if (buffer.back() != '/') buffer += '/';
  return FromUtf8(buffer);
}

}  // namespace

Text LogRoot() {
  const char* dir = std::getenv("ZV_LOG_DIR");
  if (dir != nullptr && *dir != '\0') {
    Text root = FromUtf8(dir);
    if (!IsRootedPath(root)) root = CurrentFolder() + root;
    if (root.back() != kPathSeparator) root += kPathSeparator;
    return root;
  }
  const Text exe = ExecutableFileName();
  return exe.substr(0, exe.size() - ExtractFileName(exe).size());
}

std::vector<Text> CommandLineArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<Text> arguments;
  size_t start = 0;
  bool first = true;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    if (!first) arguments.push_back(FromUtf8(std::string_view(all).substr(start, end - start)));
    first = false;
    start = end + 1;
  }
  return arguments;
}

}  // namespace zv::platform
