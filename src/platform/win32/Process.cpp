#include "platform/Process.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

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

Text LogRoot() {
  const wchar_t* dir = _wgetenv(L"ZV_LOG_DIR");
  if (dir != nullptr && *dir != L'\0') {
    Text root = FromWide(dir);
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
