#include "base/Text.h"

namespace zv {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& aOut, char32_t aCode) {
  if (aCode < 0x80) {
    aOut += static_cast<char>(aCode);
  } else if (aCode < 0x800) {
    aOut += static_cast<char>(0xC0 | (aCode >> 6));
    aOut += static_cast<char>(0x80 | (aCode & 0x3F));
  } else if (aCode < 0x10000) {
    aOut += static_cast<char>(0xE0 | (aCode >> 12));
    aOut += static_cast<char>(0x80 | ((aCode >> 6) & 0x3F));
    aOut += static_cast<char>(0x80 | (aCode & 0x3F));
  } else {
    aOut += static_cast<char>(0xF0 | (aCode >> 18));
    aOut += static_cast<char>(0x80 | ((aCode >> 12) & 0x3F));
    aOut += static_cast<char>(0x80 | ((aCode >> 6) & 0x3F));
    aOut += static_cast<char>(0x80 | (aCode & 0x3F));
  }
}

void AppendUtf16(Text& aOut, char32_t aCode) {
  if (aCode < 0x10000) {
    aOut += static_cast<char16_t>(aCode);
  } else {
    aCode -= 0x10000;
    aOut += static_cast<char16_t>(0xD800 + (aCode >> 10));
    aOut += static_cast<char16_t>(0xDC00 + (aCode & 0x3FF));
  }
}

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

void AppendAsUtf8(std::string& aOut, TextView aText) {
  // The leading ASCII, most often all of it (log lines, paths, XML), is copied without
  // the encoder.
  size_t ascii = 0;
  while (ascii < aText.size() && aText[ascii] < 0x80) ++ascii;
  const size_t start = aOut.size();
  aOut.resize(start + ascii);
  for (size_t i = 0; i < ascii; ++i) aOut[start + i] = static_cast<char>(aText[i]);
  if (ascii == aText.size()) return;
  aOut.reserve(aOut.size() + (aText.size() - ascii) * 2);
  for (size_t i = ascii; i < aText.size(); ++i) {
    char16_t c = aText[i];
    if (IsHigh(c) && i + 1 < aText.size() && IsLow(aText[i + 1])) {
      char32_t code = 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (aText[i + 1] - 0xDC00);
      AppendUtf8(aOut, code);
      ++i;
    } else if (IsHigh(c) || IsLow(c)) {
      AppendUtf8(aOut, kReplacement);
    } else {
      AppendUtf8(aOut, c);
    }
  }
}

std::string ToUtf8(TextView aText) {
  std::string out;
  AppendAsUtf8(out, aText);
  return out;
}

Text FromUtf8(std::string_view aText) {
  Text out;
  out.reserve(aText.size());
  size_t i = 0;
  while (i < aText.size()) {
    auto b = static_cast<unsigned char>(aText[i]);
    if (b < 0x80) {
      out += static_cast<char16_t>(b);
      ++i;
      continue;
    }
    int extra = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if ((b & 0xE0) == 0xC0) { extra = 1; code = b & 0x1F; minimum = 0x80; }
    else if ((b & 0xF0) == 0xE0) { extra = 2; code = b & 0x0F; minimum = 0x800; }
    else if ((b & 0xF8) == 0xF0) { extra = 3; code = b & 0x07; minimum = 0x10000; }
    else { out += static_cast<char16_t>(kReplacement); ++i; continue; }
    size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < extra; ++k, ++j) {
      if (j >= aText.size() || (static_cast<unsigned char>(aText[j]) & 0xC0) != 0x80) { ok = false; break; }
      code = (code << 6) | (static_cast<unsigned char>(aText[j]) & 0x3F);
    }
    if (!ok || code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      out += static_cast<char16_t>(kReplacement);
      i = ok ? j : std::max(j, i + 1);
      continue;
    }
    AppendUtf16(out, code);
    i = j;
  }
  return out;
}

Text FromAscii(std::string_view aText) { return Text(aText.begin(), aText.end()); }

Text LowerCase(TextView aText) {
  Text out(aText);
  for (auto& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return out;
}

Text UpperCase(TextView aText) {
  Text out(aText);
  for (auto& c : out)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  return out;
}

bool SameText(TextView a, TextView b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
    if (x != y) return false;
  }
  return true;
}

Text IntToText(int64_t aValue) { return FromAscii(std::to_string(aValue)); }

Text ReplaceAll(TextView aText, TextView aFrom, TextView aTo) {
  if (aFrom.empty()) return Text(aText);
  Text out;
  out.reserve(aText.size());
  size_t pos = 0;
  while (true) {
    size_t hit = aText.find(aFrom, pos);
    if (hit == TextView::npos) break;
    out.append(aText.substr(pos, hit - pos));
    out.append(aTo);
    pos = hit + aFrom.size();
  }
  out.append(aText.substr(pos));
  return out;
}

bool StartsWith(TextView aText, TextView aPrefix) { return aText.substr(0, aPrefix.size()) == aPrefix; }

bool EndsWith(TextView aText, TextView aSuffix) {
  return aText.size() >= aSuffix.size() && aText.substr(aText.size() - aSuffix.size()) == aSuffix;
}

bool TryTextToInt(TextView aText, int32_t& aValue) {
  size_t i = 0;
  while (i < aText.size() && aText[i] == u' ') ++i;
  bool negative = false;
  if (i < aText.size() && (aText[i] == u'+' || aText[i] == u'-')) {
    negative = aText[i] == u'-';
    ++i;
  }
  int base = 10;
  if (i < aText.size() && (aText[i] == u'$' || aText[i] == u'x' || aText[i] == u'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < aText.size() && aText[i] == u'0' && (aText[i + 1] == u'x' || aText[i + 1] == u'X')) {
    base = 16;
    i += 2;
  }
  if (i >= aText.size()) return false;
  int64_t value = 0;
  for (; i < aText.size(); ++i) {
    char16_t c = aText[i];
    int digit;
    if (c >= u'0' && c <= u'9') digit = c - u'0';
    else if (base == 16 && c >= u'a' && c <= u'f') digit = c - u'a' + 10;
    else if (base == 16 && c >= u'A' && c <= u'F') digit = c - u'A' + 10;
    else return false;
    value = value * base + digit;
    if (value > 0x80000000LL) return false;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return false;
  aValue = static_cast<int32_t>(value);
  return true;
}

}  // namespace zv
