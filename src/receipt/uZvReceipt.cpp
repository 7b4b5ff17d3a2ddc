#include "receipt/uZvReceipt.h"

#include <cstring>
#include <optional>

#include "base/Exception.h"
#include "platform/Regional.h"

namespace zv {

namespace {

// The content of a found element: nothing for an element without children, the text
// of a single text or CDATA child, a failure for anything else.
std::optional<Text> ElementContent(const pugi::xml_node& aNode) {
  pugi::xml_node first = aNode.first_child();
  if (!first) return std::nullopt;
  const bool single = !first.next_sibling();
  const bool isText = first.type() == pugi::node_pcdata || first.type() == pugi::node_cdata;
  if (!single || !isText)
    throw kException(u"Element \"" + QuotedValue(FromUtf8(aNode.name())) + u"\" does not contain a single text node");
  return FromUtf8(first.value());
}

// Runs aRead for the child aNodeName of aParent; any failure is replaced by one that
// names the node and the kind, followed by CR LF and the original message unchanged.
template <typename Read>
auto Wrapped(const char16_t* aKind, const pugi::xml_node& aParent, TextView aNodeName, Read aRead) {
  try {
    pugi::xml_node node = krptUtil::FindChild(aParent, aNodeName);
    return aRead(node);
  } catch (...) {
    throw kException(u"Error in processing node " + QuotedValue(aNodeName) + u" as " + aKind + u"." + u"\r\n" +
                     FailureMessage(std::current_exception()));
  }
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Reads a run of decimal digits at aPos; nothing when there is none.
std::optional<int64_t> ReadDigits(TextView aText, size_t& aPos) {
  size_t start = aPos;
  int64_t value = 0;
  while (aPos < aText.size() && IsDigit(aText[aPos])) {
    if (value < 100000000) value = value * 10 + (aText[aPos] - u'0');
    ++aPos;
  }
  if (aPos == start) return std::nullopt;
  return value;
}

[[noreturn]] void FailDate(TextView aText) { throw kException(u"Invalid date string: " + QuotedValue(aText)); }
[[noreturn]] void FailTime(TextView aText) { throw kException(u"Invalid time string: " + QuotedValue(aText)); }
[[noreturn]] void FailOffset(TextView aText) { throw kException(u"Invalid time Offset string: " + QuotedValue(aText)); }

}  // namespace

pugi::xml_node krptUtil::FindChild(const pugi::xml_node& aParentNode, TextView aNodeName) {
  const std::string name = ToUtf8(aNodeName);
  for (pugi::xml_node child = aParentNode.first_child(); child; child = child.next_sibling()) {
    const char* qualified = child.name();
    if (name == qualified) return child;
    const char* colon = std::strchr(qualified, ':');
    if (colon != nullptr && name == colon + 1) return child;
  }
  return pugi::xml_node();
}

Text krptUtil::GetNodeValueAsString(const pugi::xml_node& aParentNode, TextView aNodeName) {
  return Wrapped(u"string", aParentNode, aNodeName, [](const pugi::xml_node& node) {
    if (!node) return Text();
    return ElementContent(node).value_or(Text());
  });
}

bool krptUtil::GetNodeValueAsBoolean(const pugi::xml_node& aParentNode, TextView aNodeName) {
  return Wrapped(u"boolean", aParentNode, aNodeName, [](const pugi::xml_node& node) {
    if (!node) return false;
    return TextToBoolean(ElementContent(node).value_or(Text()));
  });
}

Currency krptUtil::GetNodeValueAsCurrency(const pugi::xml_node& aParentNode, TextView aNodeName) {
  return Wrapped(u"currency", aParentNode, aNodeName, [](const pugi::xml_node& node) {
    if (!node) return Currency();
    return TextToCurrency(ElementContent(node).value_or(Text()));
  });
}

int32_t krptUtil::GetNodeValueAsInteger(const pugi::xml_node& aParentNode, TextView aNodeName) {
  return Wrapped(u"integer", aParentNode, aNodeName, [](const pugi::xml_node& node) {
    if (!node) return int32_t{0};
    return TextToInteger(ElementContent(node).value_or(Text()));
  });
}

DateTime krptUtil::GetNodeValueAsDateTime(const pugi::xml_node& aParentNode, TextView aNodeName) {
  return Wrapped(u"datetime", aParentNode, aNodeName, [](const pugi::xml_node& node) {
    if (!node) return DateTime{0};
    return ISO8601ToDateTime(ElementContent(node).value_or(Text()));
  });
}

DateTime krptUtil::TryGetNodeValueAsDateTime(const pugi::xml_node& aParentNode, TextView aNodeName) {
  try {
    return GetNodeValueAsDateTime(aParentNode, aNodeName);
  } catch (...) {
    return 0;
  }
}

Text krptUtil::GetAttributeValueAsString(const pugi::xml_node& aNode, TextView aAttrName) {
  return FromUtf8(aNode.attribute(ToUtf8(aAttrName).c_str()).value());
}

bool krptUtil::HasNode(const pugi::xml_node& aParentNode, TextView aNodeName) {
  return static_cast<bool>(FindChild(aParentNode, aNodeName));
}

pugi::xml_node krptUtil::AddNode(pugi::xml_node& aParentNode, TextView aNodeName, TextView aNodeValue) {
  pugi::xml_node node = aParentNode.append_child(ToUtf8(aNodeName).c_str());
  node.text().set(ToUtf8(aNodeValue).c_str());
  return node;
}

Text krptUtil::NormalizeText(TextView aText) {
  static const struct {
    char16_t from;
    char16_t to;
  } kTransliterations[] = {{u'\u00C0', u'A'}, {u'\u00D9', u'U'}, {u'\u00C8', u'E'}, {u'\u00C9', u'E'},
                           {u'\u00D2', u'O'}, {u'\u00D6', u'O'}, {u'\u00C7', u'C'}, {u'\u00CF', u'I'},
                           {u'\u00CC', u'I'}, {u'\u20AC', u'E'}};
  Text out(aText);
  for (const auto& t : kTransliterations)
    for (auto& c : out)
      if (c == t.from) c = t.to;
  out = ReplaceAll(out, u"TOTALE", u"TOT.");
  for (auto& c : out)
    if (c < 0x20 || c > 0x7F) c = u' ';
  return out;
}

bool krptUtil::TextToBoolean(TextView aText) {
  // The regional decimal separator is "." on every supported platform, so the
  // number grammar of amounts serves here too.
  if (platform::DecimalSeparator() == u'.') {
    if (auto nonZero = ParseDecimalIsNonZero(aText)) return *nonZero;
  }
  if (SameText(aText, u"True")) return true;
  if (SameText(aText, u"False")) return false;
  throw kException(u"'" + QuotedValue(aText) + u"' is not a valid boolean value");
}

Currency krptUtil::TextToCurrency(TextView aText) {
  if (aText.empty()) return Currency();
  if (auto value = Currency::Parse(aText)) return *value;
  throw kException(u"'" + QuotedValue(aText) + u"' is not a valid floating point value");
}

int32_t krptUtil::TextToInteger(TextView aText) {
  if (aText.empty()) return 0;
  int32_t value = 0;
  if (TryTextToInt(aText, value)) return value;
  throw kException(u"'" + QuotedValue(aText) + u"' is not a valid integer value");
}

DateTime krptUtil::ISO8601ToDateTime(TextView aText) {
  const size_t t = aText.find(u'T');
  const TextView datePart = aText.substr(0, t);
  const bool hasTime = t != TextView::npos;
  const TextView timePart = hasTime ? aText.substr(t + 1) : TextView();

  DateTimeParts parts;
  if (datePart.size() < 4) FailDate(aText);
  size_t pos = 0;
  auto year = ReadDigits(datePart, pos);
  if (!year) FailDate(aText);
  int64_t month = 0, day = 0;
  if (pos < datePart.size() && datePart[pos] == u'-') {
    ++pos;
    month = ReadDigits(datePart, pos).value_or(0);
    if (pos < datePart.size() && datePart[pos] == u'-') {
      ++pos;
      day = ReadDigits(datePart, pos).value_or(0);
    }
  }

  int64_t hour = 0, minute = 0, second = 0, millisecond = 0;
  int64_t offsetMinutes = 0;
  if (hasTime) {
    pos = 0;
    auto h = ReadDigits(timePart, pos);
    if (!h) FailTime(aText);
    hour = *h;
    if (pos < timePart.size()) {
      if (timePart[pos] != u':') FailTime(aText);
      ++pos;
      auto m = ReadDigits(timePart, pos);
      if (!m) FailTime(aText);
      minute = *m;
      if (pos < timePart.size() && timePart[pos] == u':') {
        ++pos;
        auto s = ReadDigits(timePart, pos);
        if (!s) FailTime(aText);
        second = *s;
        if (pos < timePart.size() && timePart[pos] == u'.') {
          ++pos;
          size_t start = pos;
          auto f = ReadDigits(timePart, pos);
          if (!f) FailTime(aText);
          const size_t digits = pos - start;
          millisecond = *f;
          for (size_t k = digits; k < 3; ++k) millisecond *= 10;
        }
      }
    }
    if (pos < timePart.size() && (timePart[pos] == u'+' || timePart[pos] == u'-')) {
      const bool negative = timePart[pos] == u'-';
      ++pos;
      auto oh = ReadDigits(timePart, pos);
      if (!oh) FailOffset(aText);
      int64_t om = 0;
      if (pos < timePart.size() && timePart[pos] == u':') {
        ++pos;
        auto m = ReadDigits(timePart, pos);
        if (!m) FailOffset(aText);
        om = *m;
      }
      if (*oh >= 24 || om >= 60) throw kException(u"Invalid argument to time encode");
      offsetMinutes = (*oh * 60 + om) * (negative ? -1 : 1);
    }
  }

  auto inRange = [](int64_t v, int64_t lo, int64_t hi) { return v >= lo && v <= hi; };
  std::optional<DateTime> moment;
  if (inRange(*year, 1, 9999) && inRange(month, 1, 12) && inRange(day, 1, 31) && inRange(hour, 0, 23) &&
      inRange(minute, 0, 59) && inRange(second, 0, 59) && inRange(millisecond, 0, 999)) {
    parts = {static_cast<int>(*year), static_cast<int>(month), static_cast<int>(day), static_cast<int>(hour),
             static_cast<int>(minute), static_cast<int>(second), static_cast<int>(millisecond)};
    // The offset is taken off on the calendar, not on the day count: before
    // 1899-12-30 the count holds the time of day with the opposite sign.
    if (IsValidDate(parts.Year, parts.Month, parts.Day)) moment = TryEncodeDateTime(AddMinutes(parts, -offsetMinutes));
  }
  if (!moment) throw kException(u"'" + QuotedValue(aText) + u"' is not a valid date and time");
  return *moment;
}

}  // namespace zv
