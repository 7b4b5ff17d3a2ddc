#include "base/Currency.h"

#include <string>

namespace zv {

namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Value = digits x 10^exponent, held exactly as a digit string.
struct Decimal {
  bool negative = false;
  std::string digits;  // without leading zeros
  int64_t exponent = 0;
  bool sticky = false;  // a non-zero digit lay beyond the digits kept
};

std::optional<Decimal> ParseDecimal(TextView aText) {
  size_t i = 0;
  const size_t n = aText.size();
  while (i < n && aText[i] == u' ') ++i;
  Decimal d;
  if (i < n && (aText[i] == u'+' || aText[i] == u'-')) {
    d.negative = aText[i] == u'-';
    ++i;
  }
  bool sawDigitOrPoint = false;
  auto takeDigit = [&](char16_t c) {
    if (d.digits.empty() && c == u'0') return;  // leading zero adds nothing
    if (d.digits.size() < 40) {
      d.digits += static_cast<char>(c);
    } else {
      d.exponent += 1;  // beyond any representable amount; keep the magnitude only
    }
  };
  while (i < n && IsDigit(aText[i])) {
    takeDigit(aText[i]);
    sawDigitOrPoint = true;
    ++i;
  }
  if (i < n && aText[i] == u'.') {
    sawDigitOrPoint = true;
    ++i;
    while (i < n && IsDigit(aText[i])) {
      if (d.digits.size() < 40) {
        takeDigit(aText[i]);
        d.exponent -= 1;
      } else if (aText[i] != u'0') {
        d.sticky = true;
      }
      ++i;
    }
  }
  if (!sawDigitOrPoint) return std::nullopt;
  if (i < n && (aText[i] == u'e' || aText[i] == u'E')) {
    ++i;
    bool expNegative = false;
    if (i < n && (aText[i] == u'+' || aText[i] == u'-')) {
      expNegative = aText[i] == u'-';
      ++i;
    }
    if (i >= n || !IsDigit(aText[i])) return std::nullopt;
    int64_t e = 0;
    while (i < n && IsDigit(aText[i])) {
      if (e < 100000) e = e * 10 + (aText[i] - u'0');
      ++i;
    }
    d.exponent += expNegative ? -e : e;
  }
  while (i < n && aText[i] == u' ') ++i;
  if (i != n) return std::nullopt;
  return d;
}

}  // namespace

std::optional<Currency> Currency::Parse(TextView aText) {
  auto parsed = ParseDecimal(aText);
  if (!parsed) return std::nullopt;
  const Decimal& d = *parsed;
  if (d.digits.empty()) return Currency(0);
  // Scaled value = digits x 10^(exponent + 4).
  int64_t shift = d.exponent + 4;
  std::string kept = d.digits;
  std::string dropped;
  if (shift >= 0) {
    if (static_cast<int64_t>(kept.size()) + shift > 20) return std::nullopt;
    kept.append(static_cast<size_t>(shift), '0');
  } else {
    size_t cut = static_cast<size_t>(-shift);
    if (cut >= kept.size()) {
      dropped.assign(cut - kept.size(), '0');
      dropped += kept;
      kept.clear();
    } else {
      const size_t keep = kept.size() - cut;
      dropped.assign(kept.begin() + static_cast<std::ptrdiff_t>(keep), kept.end());
      kept.resize(keep);
    }
  }
  if (kept.size() > 20) return std::nullopt;
  // 64 bits hold every in-range value; anything larger is out of range at once.
  const uint64_t limit = d.negative ? static_cast<uint64_t>(INT64_MAX) + 1 : static_cast<uint64_t>(INT64_MAX);
  uint64_t magnitude = 0;
  for (char c : kept) {
    const auto digit = static_cast<uint64_t>(c - '0');
    if (magnitude > (limit - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  if (!dropped.empty()) {
    // Round half to even on the dropped digits.
    const bool exactlyHalf =
        dropped[0] == '5' && dropped.find_first_not_of('0', 1) == std::string::npos && !d.sticky;
    const bool aboveHalf = dropped[0] >= '5' && !exactlyHalf;
    if (aboveHalf || (exactlyHalf && magnitude % 2 == 1)) magnitude += 1;
  }
  if (magnitude > limit) return std::nullopt;
  int64_t scaled = d.negative ? static_cast<int64_t>(0 - static_cast<uint64_t>(magnitude))
                              : static_cast<int64_t>(magnitude);
  return Currency(scaled);
}

std::optional<bool> ParseDecimalIsNonZero(TextView aText) {
  auto parsed = ParseDecimal(aText);
  if (!parsed) return std::nullopt;
  return !parsed->digits.empty() || parsed->sticky;
}

Text Currency::ToText() const {
  uint64_t magnitude = fScaled < 0 ? 0 - static_cast<uint64_t>(fScaled) : static_cast<uint64_t>(fScaled);
  std::string out = fScaled < 0 ? "-" : "";
  out += std::to_string(magnitude / kScale);
  uint64_t fraction = magnitude % kScale;
  if (fraction != 0) {
    std::string digits = std::to_string(fraction);
    digits.insert(0, 4 - digits.size(), '0');
    while (digits.back() == '0') digits.pop_back();
    out += '.';
    out += digits;
  }
  return FromAscii(out);
}

}  // namespace zv
