#pragma once
// Money as a fixed-point amount: a 64-bit integer counting ten-thousandths.

#include <compare>
#include <cstdint>
#include <optional>

#include "base/Text.h"

namespace zv {

class Currency {
 public:
  static constexpr int64_t kScale = 10000;

  constexpr Currency() = default;
  static constexpr Currency FromScaled(int64_t aScaled) { return Currency(aScaled); }
  static constexpr Currency FromUnits(int64_t aUnits) { return Currency(aUnits * kScale); }

  constexpr int64_t Scaled() const { return fScaled; }

  // The decimal grammar of request amounts: optional blanks, an optional sign,
  // digits with an optional "." and fraction (at least one digit or the "."), an
  // optional exponent, optional blanks. "." only, never ",". The exact value is
  // rounded to four places with ties to even; nothing when the text is not such a
  // number or the value is out of range.
  static std::optional<Currency> Parse(TextView aText);

  // Shortest decimal text: "-" when negative, no grouping, a "." and the fraction
  // without trailing zeros only when there is one (12.5, 100, 0.0001, 0).
  Text ToText() const;

  friend constexpr auto operator<=>(Currency, Currency) = default;

 private:
  constexpr explicit Currency(int64_t aScaled) : fScaled(aScaled) {}
  int64_t fScaled = 0;
};

}  // namespace zv

namespace zv {

// Reads a text with the same decimal grammar as Currency::Parse but of any
// magnitude: nothing when it is not a number, otherwise whether it is non-zero.
std::optional<bool> ParseDecimalIsNonZero(TextView aText);

}  // namespace zv
