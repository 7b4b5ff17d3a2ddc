#pragma once
// Text as the wide-character API wants it: on Windows wchar_t holds UTF-16 code units.

#include <windows.h>

#include "base/Text.h"

namespace zv::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 code units");

inline const wchar_t* Wide(const Text& aText) { return reinterpret_cast<const wchar_t*>(aText.c_str()); }
inline Text FromWide(const wchar_t* aText, size_t aLength) {
  return Text(reinterpret_cast<const char16_t*>(aText), aLength);
}
inline Text FromWide(const wchar_t* aText) { return aText ? FromWide(aText, wcslen(aText)) : Text(); }

// The system's text for an error code, without the trailing line break.
inline Text SystemMessage(DWORD aCode) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, aCode, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  Text text = n > 0 ? FromWide(buffer, n) : Text();
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' ')) text.pop_back();
  if (text.empty()) text = FromAscii("Error " + std::to_string(aCode));
  return text;
}

}  // namespace zv::platform
