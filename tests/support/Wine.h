#pragma once
// Whether the test runs under Wine, for the few cases that meet a limitation of Wine's
// and not of Windows (each skip says which).

#ifdef _WIN32
#include <windows.h>
#endif

namespace zvtest {

inline bool UnderWine() {
#ifdef _WIN32
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace zvtest
