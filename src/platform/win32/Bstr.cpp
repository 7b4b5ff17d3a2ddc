#include "platform/Bstr.h"

#include <windows.h>
#include <oleauto.h>

namespace zv::platform {

// The system's allocator: a host frees what it receives with oleaut32's SysFreeString.
BSTR BstrAllocLen(const char16_t* aText, uint32_t aLength) {
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(aText), aLength);
}

uint32_t WideLength(const char16_t* aText) {
  if (aText == nullptr) return 0;
  uint32_t n = 0;
  while (aText[n] != u'\0') ++n;
  return n;
}

uint32_t BstrLength(BSTR aText) { return SysStringLen(aText); }
uint32_t BstrByteLength(BSTR aText) { return SysStringByteLen(aText); }
void BstrFree(BSTR aText) { SysFreeString(aText); }

Text BstrToText(BSTR aText) {
  if (aText == nullptr) return Text();
  return Text(reinterpret_cast<const char16_t*>(aText), SysStringLen(aText));
}

BSTR TextToBstr(const Text& aText) {
  if (aText.empty()) return nullptr;
  return BstrAllocLen(aText.data(), static_cast<uint32_t>(aText.size()));
}

}  // namespace zv::platform
