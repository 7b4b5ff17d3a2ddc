#include "UnixProgram.h"

#include <windows.h>

#include <stdexcept>

namespace zvtest {

void StartUnixProgram(const std::wstring& aProgram, std::wstring aCommandLine) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(aProgram.c_str(), aCommandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    throw std::runtime_error("cannot start a Linux program (error " + std::to_string(GetLastError()) + ")");
  // The handles are not closed: for a Linux program Wine leaves in them whatever its
  // stack held, and closing those values closed other handles of this process (a
  // listening socket of the tests, seen under Wine 8).
}

}  // namespace zvtest
