#pragma once
// The system string (BSTR) as the boundary uses it. On Windows these map onto
// oleaut32; on Linux the library provides the allocator itself.

#include <cstdint>

#include "ZVPA_LORVANI_10.h"
#include "base/Text.h"

namespace zv::platform {

// A new BSTR holding aLength code units copied from aText (zero-filled when aText is
// null). Null when memory runs out.
BSTR BstrAllocLen(const char16_t* aText, uint32_t aLength);
// Length of a NUL-terminated UTF-16 text, 0 for null.
uint32_t WideLength(const char16_t* aText);
uint32_t BstrLength(BSTR aText);
uint32_t BstrByteLength(BSTR aText);
void BstrFree(BSTR aText);

// Text of a BSTR (null reads as empty).
Text BstrToText(BSTR aText);
// A BSTR for a text: null for the empty text, as the boundary requires.
BSTR TextToBstr(const Text& aText);

}  // namespace zv::platform
