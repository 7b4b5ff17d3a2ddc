#include "provider/uZVPA_LORVANI_10_JSONUtils.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace zv {

namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// An index between brackets: decimal digits only, below 2^31.
bool ParseIndex(TextView aText, uint32_t& aIndex) {
  if (aText.empty() || aText.size() > 10) return false;
  uint64_t value = 0;
  for (char16_t c : aText) {
    if (!IsDigit(c)) return false;
    value = value * 10 + static_cast<uint64_t>(c - u'0');
  }
  if (value > INT32_MAX) return false;
  aIndex = static_cast<uint32_t>(value);
  return true;
}

// One segment: an optional member name, then any number of "[n]". Nothing when the
// segment cannot be followed from aCurrent.
const kJSONValue* FollowSegment(const kJSONValue* aCurrent, TextView aSegment) {
  size_t bracket = aSegment.find(u'[');
  TextView nameText = aSegment.substr(0, bracket);
  if (bracket == TextView::npos && nameText.empty()) return nullptr;  // "a..b", "a.", ".a"
  if (!nameText.empty()) {
    if (!aCurrent->IsObject()) return nullptr;
    const std::string name = ToUtf8(nameText);
    const kJSONValue* found = nullptr;
    for (auto member = aCurrent->MemberBegin(); member != aCurrent->MemberEnd(); ++member) {
      std::string_view memberName(member->name.GetString(), member->name.GetStringLength());
      if (memberName == name) {
        found = &member->value;
        break;
      }
    }
    if (!found) return nullptr;
    aCurrent = found;
  }
  size_t position = bracket;
  while (position != TextView::npos && position < aSegment.size()) {
    if (aSegment[position] != u'[') return nullptr;  // text after a closing bracket
    size_t close = aSegment.find(u']', position + 1);
    if (close == TextView::npos) return nullptr;
    uint32_t index = 0;
    if (!ParseIndex(aSegment.substr(position + 1, close - position - 1), index)) return nullptr;
    if (!aCurrent->IsArray() || index >= aCurrent->Size()) return nullptr;
    aCurrent = &(*aCurrent)[index];
    position = close + 1;
  }
  return aCurrent;
}

const kJSONValue* Find(const kJSONValue* aJO, TextView aPath) {
  if (!aJO) return nullptr;
  const kJSONValue* current = aJO;
  if (aPath.empty()) return current;
  size_t start = 0;
  for (;;) {
    size_t dot = aPath.find(u'.', start);
    current = FollowSegment(current, aPath.substr(start, dot == TextView::npos ? TextView::npos : dot - start));
    if (!current || dot == TextView::npos) return current;
    start = dot + 1;
  }
}

// A decimal number in JSON's grammar (optional sign, digits, fraction, exponent).
// Whether it is zero is decided by its digits, not by a rounded binary value.
bool NumberTextToBoolean(TextView aText, bool& aValue) {
  size_t i = 0;
  if (i < aText.size() && (aText[i] == u'-' || aText[i] == u'+')) ++i;
  bool nonZero = false;
  size_t digits = 0;
  for (; i < aText.size() && IsDigit(aText[i]); ++i, ++digits) nonZero = nonZero || aText[i] != u'0';
  if (i < aText.size() && aText[i] == u'.') {
    ++i;
    for (; i < aText.size() && IsDigit(aText[i]); ++i, ++digits) nonZero = nonZero || aText[i] != u'0';
  }
  if (digits == 0) return false;
  if (i < aText.size() && (aText[i] == u'e' || aText[i] == u'E')) {
    ++i;
    if (i < aText.size() && (aText[i] == u'-' || aText[i] == u'+')) ++i;
    size_t exponentDigits = 0;
    for (; i < aText.size() && IsDigit(aText[i]); ++i) ++exponentDigits;
    if (exponentDigits == 0) return false;
  }
  if (i != aText.size()) return false;
  aValue = nonZero;
  return true;
}

}  // namespace

Text kJSONUtils::GetString(const kJSONValue* aJO, TextView aPath) {
  try {
    const kJSONValue* value = Find(aJO, aPath);
    if (!value) return {};
    if (value->IsString()) return FromUtf8(std::string_view(value->GetString(), value->GetStringLength()));
    if (value->IsTrue()) return u"true";
    if (value->IsFalse()) return u"false";
    return {};  // null, object, array (numbers are held as strings)
  } catch (...) {
    return {};
  }
}

bool kJSONUtils::GetBoolean(const kJSONValue* aJO, TextView aPath) {
  try {
    const kJSONValue* value = Find(aJO, aPath);
    if (!value) return false;
    if (value->IsBool()) return value->GetBool();
    if (!value->IsString()) return false;
    const Text text = FromUtf8(std::string_view(value->GetString(), value->GetStringLength()));
    if (SameText(text, u"true")) return true;
    if (SameText(text, u"false")) return false;
    bool result = false;
    return NumberTextToBoolean(text, result) && result;
  } catch (...) {
    return false;
  }
}

const kJSONValue* kJSONUtils::GetObject(const kJSONValue* aJO, TextView aPath) {
  try {
    const kJSONValue* value = Find(aJO, aPath);
    return value && value->IsObject() ? value : nullptr;
  } catch (...) {
    return nullptr;
  }
}

const kJSONValue* kJSONUtils::GetArray(const kJSONValue* aJO, TextView aPath) {
  try {
    const kJSONValue* value = Find(aJO, aPath);
    return value && value->IsArray() ? value : nullptr;
  } catch (...) {
    return nullptr;
  }
}

std::unique_ptr<kJSONDocument> kJSONUtils::Parse(TextView aText) {
  try {
    // A NUL is never part of a JSON text; the parser reads up to the first one, so
    // refuse it here rather than read a prefix.
    if (aText.find(u'\0') != TextView::npos) return nullptr;
    // Some services start their answers with a byte-order mark: it is no part of the
    // JSON text. One mark at the very start is skipped, nothing else.
    if (!aText.empty() && aText.front() == u'\uFEFF') aText.remove_prefix(1);
    const std::string source = ToUtf8(aText);
    auto document = std::make_unique<kJSONDocument>();
    document->Parse<rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseIterativeFlag>(source.c_str());
    if (document->HasParseError()) return nullptr;
    return document;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace zv
