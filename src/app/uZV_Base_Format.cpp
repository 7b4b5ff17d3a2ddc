// Filling message patterns: the printf-like placeholders of the message table.

#include <cstdio>
#include <string>

#include "base/Exception.h"
#include "app/uZV_Base.h"
#include "platform/Regional.h"

namespace zv {

namespace {

[[noreturn]] void Invalid(const Text& aPattern) {
  throw kException(u"Format '" + aPattern + u"' invalid or incompatible with argument");
}

Text WithMinimumDigits(std::string aDigits, int aPrecision) {
  const bool negative = !aDigits.empty() && aDigits[0] == '-';
  std::string body = negative ? aDigits.substr(1) : aDigits;
  if (aPrecision > 0 && body.size() < static_cast<size_t>(aPrecision))
    body.insert(0, static_cast<size_t>(aPrecision) - body.size(), '0');
  return FromAscii((negative ? "-" : "") + body);
}

Text FloatText(char aType, double aValue, int aPrecision) {
  char buffer[512];
  if (aType == 'f') {
    std::snprintf(buffer, sizeof buffer, "%.*f", aPrecision < 0 ? 2 : aPrecision, aValue);
  } else if (aType == 'e') {
    // The precision counts significant digits, as for g.
    const int digits = aPrecision < 0 ? 15 : (aPrecision == 0 ? 1 : aPrecision);
    std::snprintf(buffer, sizeof buffer, "%.*E", digits - 1, aValue);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.*G", aPrecision < 0 ? 15 : aPrecision, aValue);
  }
  Text text = FromAscii(buffer);
  for (char16_t& c : text)
    if (c == u'.') c = platform::DecimalSeparator();
  return text;
}

}  // namespace

Text FormatText(const Text& aPattern, const std::vector<tZV_FormatValue>& aValues) {
  Text result;
  size_t next = 0;  // the value the next placeholder takes
  const size_t n = aPattern.size();
  for (size_t i = 0; i < n; ++i) {
    if (aPattern[i] != u'%') {
      result += aPattern[i];
      continue;
    }
    if (++i >= n) Invalid(aPattern);
    if (aPattern[i] == u'%') {
      result += u'%';
      continue;
    }
    auto readNumber = [&](int& aNumber) {
      bool any = false;
      aNumber = 0;
      while (i < n && aPattern[i] >= u'0' && aPattern[i] <= u'9') {
        if (aNumber > 100000) Invalid(aPattern);
        aNumber = aNumber * 10 + (aPattern[i] - u'0');
        ++i;
        any = true;
      }
      return any;
    };
    // [index:][-][width][.precision]type
    int number = 0;
    const size_t start = i;
    if (readNumber(number) && i < n && aPattern[i] == u':') {
      next = static_cast<size_t>(number);
      ++i;
    } else {
      i = start;
    }
    const bool left = i < n && aPattern[i] == u'-';
    if (left) ++i;
    int width = 0;
    readNumber(width);
    int precision = -1;
    if (i < n && aPattern[i] == u'.') {
      ++i;
      if (!readNumber(precision)) Invalid(aPattern);
    }
    if (i >= n || next >= aValues.size()) Invalid(aPattern);
    const char16_t type = aPattern[i] >= u'A' && aPattern[i] <= u'Z' ? aPattern[i] + 32 : aPattern[i];
    const tZV_FormatValue& value = aValues[next++];
    Text piece;
    switch (type) {
      case u'd':
      case u'u':
      case u'x': {
        const int64_t* integer = std::get_if<int64_t>(&value);
        if (integer == nullptr) Invalid(aPattern);
        char buffer[32];
        if (type == u'd')
          std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(*integer));
        else
          std::snprintf(buffer, sizeof buffer, type == u'u' ? "%llu" : "%llX",
                        static_cast<unsigned long long>(static_cast<uint64_t>(*integer)));
        piece = WithMinimumDigits(buffer, precision);
        break;
      }
      case u's': {
        const Text* text = std::get_if<Text>(&value);
        if (text == nullptr) Invalid(aPattern);
        piece = precision >= 0 ? text->substr(0, static_cast<size_t>(precision)) : *text;
        break;
      }
      case u'f':
      case u'e':
      case u'g': {
        const double* real = std::get_if<double>(&value);
        if (real == nullptr) Invalid(aPattern);
        piece = FloatText(static_cast<char>(type), *real, precision);
        break;
      }
      default:
        Invalid(aPattern);
    }
    if (piece.size() < static_cast<size_t>(width)) {
      const Text pad(static_cast<size_t>(width) - piece.size(), u' ');
      piece = left ? piece + pad : pad + piece;
    }
    result += piece;
  }
  return result;
}

}  // namespace zv
