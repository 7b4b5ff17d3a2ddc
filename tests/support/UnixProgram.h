#pragma once
// Starting a Linux program from a Windows test under Wine.

#include <string>

namespace zvtest {

// Starts the Linux program aProgram (a Z: path) with aCommandLine (which names the
// program first), without waiting and without a handle to it. Throws std::runtime_error
// when Wine cannot start it.
void StartUnixProgram(const std::wstring& aProgram, std::wstring aCommandLine);

}  // namespace zvtest
