#include "platform/Process.h"

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "Wide.h"
#include "platform/FileSystem.h"

namespace zv::platform {

Text ExecutableFileName() {
  // Long paths: grow the buffer until the name fits.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return Text();
    if (n < buffer.size()) return FromWide(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

namespace {

// The process's own environment block, not the C runtime's copy of it: a host that
// sets ZV_LOG_DIR with SetEnvironmentVariableW before loading the DLL is heard.
std::wstring EnvironmentVariable(const wchar_t* aName) {
  std::wstring value(64, L'\0');
  for (;;) {
    const DWORD n = GetEnvironmentVariableW(aName, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) return std::wstring();
    if (n < value.size()) return value.substr(0, n);
    value.resize(n);  // n counts the terminating NUL when the buffer was too small
  }
}

// The full path of a relative one, taken from the current folder now.
std::wstring FullPath(const std::wstring& aPath) {
  const DWORD size = GetFullPathNameW(aPath.c_str(), 0, nullptr, nullptr);
  if (size == 0) return aPath;
  std::wstring full(size, L'\0');
  const DWORD n = GetFullPathNameW(aPath.c_str(), size, full.data(), nullptr);
  if (n == 0 || n >= size) return aPath;
  full.resize(n);
  return full;
}

}  // namespace

Text LogRoot() {
  const std::wstring dir = EnvironmentVariable(L"ZV_LOG_DIR");
  if (!dir.empty()) {
    Text root = FromWide(FullPath(dir).c_str());
    if (!IsPathSeparator(root.back())) root += kPathSeparator;
    return root;
  }
  const Text exe = ExecutableFileName();
  return exe.substr(0, exe.size() - ExtractFileName(exe).size());
}

std::vector<Text> CommandLineArguments() {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<Text> result;
  if (arguments == nullptr) return result;
  for (int i = 1; i < count; ++i) result.push_back(FromWide(arguments[i]));
  LocalFree(arguments);
  return result;
}

}  // namespace zv::platform
