#pragma once
// Starting a Linux program from a Windows test under Wine.

#include <string>

namespace zvtest {

// Starts the Linux program aProgram (a Z: path) with aArguments (both UTF-8), without
// waiting and without a handle to it. Throws std::runtime_error when Wine cannot start it.
void StartUnixProgram(const std::string& aProgram, const std::string& aArguments);

}  // namespace zvtest
