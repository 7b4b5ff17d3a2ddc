#pragma once
// Text is UTF-16 throughout the library: every length, hex dump and \u escape counts
// UTF-16 code units. Conversion to UTF-8 happens only at byte boundaries (files,
// sockets, HTTP bodies, the XML parser).

#include <cstdint>
#include <string>
#include <string_view>

namespace zv {

using Text = std::u16string;
using TextView = std::u16string_view;

// UTF-16 to UTF-8. A lone surrogate cannot be encoded and becomes U+FFFD, so a host
// that sends broken UTF-16 gets a replacement character, never undefined bytes.
std::string ToUtf8(TextView aText);
// The same appended to aOut, whose capacity a caller converting line after line keeps.
void AppendAsUtf8(std::string& aOut, TextView aText);

// UTF-8 to UTF-16. Invalid or truncated sequences become U+FFFD.
Text FromUtf8(std::string_view aText);

// ASCII text (literals, numbers) to Text without any decoding.
Text FromAscii(std::string_view aText);

// Letter case of ASCII letters only: every code this system compares without regard
// to case is ASCII, and locale-dependent case mapping would make codes vary by host.
Text LowerCase(TextView aText);
Text UpperCase(TextView aText);
bool SameText(TextView a, TextView b);

Text IntToText(int64_t aValue);

// Replaces every occurrence of aFrom by aTo, left to right.
Text ReplaceAll(TextView aText, TextView aFrom, TextView aTo);

bool StartsWith(TextView aText, TextView aPrefix);
bool EndsWith(TextView aText, TextView aSuffix);

// Standard decimal conversion of a whole text to a 32-bit integer (optional sign,
// decimal digits, or a hexadecimal number after "$", "x", "X", "0x" or "0X"; leading
// blanks allowed, nothing after the digits). False when the text is not such a number
// or its value does not fit a 32-bit signed integer.
bool TryTextToInt(TextView aText, int32_t& aValue);

}  // namespace zv
