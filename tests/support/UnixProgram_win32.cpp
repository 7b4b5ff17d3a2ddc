#include "UnixProgram.h"

#include <windows.h>

#include <stdexcept>

namespace zvtest {

namespace {

std::wstring Wide(const std::string& aText) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, aText.data(), static_cast<int>(aText.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, aText.data(), static_cast<int>(aText.size()), out.data(), n);
  return out;
}

}  // namespace

void StartUnixProgram(const std::string& aProgram, const std::string& aArguments) {
  const std::wstring program = Wide(aProgram);
  std::wstring commandLine = L"\"" + program + L"\" " + Wide(aArguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    throw std::runtime_error("cannot start " + aProgram + " (error " + std::to_string(GetLastError()) + ")");
  // The handles are not closed: for a Linux program Wine leaves in them whatever its
  // stack held, and closing those values closed other handles of this process (a
  // listening socket of the tests, seen under Wine 8).
}

}  // namespace zvtest
