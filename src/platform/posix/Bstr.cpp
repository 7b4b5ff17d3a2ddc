#include "platform/Bstr.h"

#include <cstdlib>
#include <cstring>

namespace zv::platform {

// Layout as on Windows: a 32-bit byte count, the code units, a 16-bit NUL. The
// pointer handed out addresses the first code unit.
BSTR BstrAllocLen(const char16_t* aText, uint32_t aLength) {
  const size_t bytes = static_cast<size_t>(aLength) * sizeof(char16_t);
  if (bytes > UINT32_MAX - sizeof(uint32_t) - sizeof(char16_t)) return nullptr;
  // Raw allocation is the point of a BSTR: the host frees it through SysFreeString.
  auto* block = static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + bytes + sizeof(char16_t)));
  if (block == nullptr) return nullptr;
  const auto byteCount = static_cast<uint32_t>(bytes);
  std::memcpy(block, &byteCount, sizeof byteCount);
  auto* text = reinterpret_cast<char16_t*>(block + sizeof(uint32_t));
  if (aText != nullptr) std::memcpy(text, aText, bytes);
  else std::memset(text, 0, bytes);
  text[aLength] = u'\0';
  return text;
}

uint32_t WideLength(const char16_t* aText) {
  if (aText == nullptr) return 0;
  uint32_t n = 0;
  while (aText[n] != u'\0') ++n;
  return n;
}

uint32_t BstrByteLength(BSTR aText) {
  if (aText == nullptr) return 0;
  uint32_t byteCount;
  std::memcpy(&byteCount, reinterpret_cast<unsigned char*>(aText) - sizeof(uint32_t), sizeof byteCount);
  return byteCount;
}

uint32_t BstrLength(BSTR aText) { return BstrByteLength(aText) / sizeof(char16_t); }

void BstrFree(BSTR aText) {
  if (aText == nullptr) return;
  std::free(reinterpret_cast<unsigned char*>(aText) - sizeof(uint32_t));
}

Text BstrToText(BSTR aText) {
  if (aText == nullptr) return Text();
  return Text(aText, BstrLength(aText));
}

BSTR TextToBstr(const Text& aText) {
  if (aText.empty()) return nullptr;
  return BstrAllocLen(aText.data(), static_cast<uint32_t>(aText.size()));
}

}  // namespace zv::platform
