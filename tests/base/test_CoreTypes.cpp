#include <gtest/gtest.h>

#include "CaseName.h"
#include "TestText.h"
#include "base/Currency.h"
#include "base/DateTime.h"
#include "base/Exception.h"
#include "base/Text.h"

using namespace zv;
using zvtest::T;

namespace {

struct CurrencyCase {
  const char* text;
  bool valid;
  int64_t scaled;
};

std::string NameOf(const CurrencyCase& aCase) { return zvtest::CaseName(aCase.text); }
void PrintTo(const CurrencyCase& aCase, std::ostream* aOut) { *aOut << NameOf(aCase); }

class CurrencyParse : public ::testing::TestWithParam<CurrencyCase> {};

TEST_P(CurrencyParse, ReadsTheDecimalGrammarExactly) {
  const CurrencyCase& c = GetParam();
  auto value = Currency::Parse(T(c.text));
  ASSERT_EQ(value.has_value(), c.valid) << c.text;
  if (c.valid) {
    EXPECT_EQ(value->Scaled(), c.scaled) << c.text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CurrencyParse,
    ::testing::Values(CurrencyCase{"12.50", true, 125000}, CurrencyCase{" 7 ", true, 70000},
                      CurrencyCase{"1E2", true, 1000000}, CurrencyCase{".5", true, 5000},
                      CurrencyCase{".", true, 0}, CurrencyCase{"-0.0001", true, -1},
                      CurrencyCase{"+3", true, 30000}, CurrencyCase{"1.00005", true, 10000},
                      CurrencyCase{"1.00015", true, 10002}, CurrencyCase{"1.000050000001", true, 10001},
                      CurrencyCase{"-1.00005", true, -10000}, CurrencyCase{"2.5e-4", true, 2},
                      CurrencyCase{"3.5e-4", true, 4}, CurrencyCase{"922337203685477.5807", true, INT64_MAX},
                      CurrencyCase{"-922337203685477.5808", true, INT64_MIN},
                      CurrencyCase{"922337203685477.5808", false, 0}, CurrencyCase{"1e400", false, 0},
                      // Twenty digits past 64 bits: 2^64 scaled must not wrap round to 0.
                      CurrencyCase{"1844674407370955.1616", false, 0},
                      CurrencyCase{"1e-400", true, 0}, CurrencyCase{"12,50", false, 0},
                      CurrencyCase{"1,000", false, 0}, CurrencyCase{"   ", false, 0}, CurrencyCase{"abc", false, 0},
                      CurrencyCase{"12%", false, 0}, CurrencyCase{"1e", false, 0}, CurrencyCase{"--1", false, 0},
                      CurrencyCase{"1 2", false, 0}, CurrencyCase{"0x10", false, 0}),
    zvtest::ByNameOf());

TEST(CurrencyText, IsTheShortestDecimal) {
  const std::pair<int64_t, const char*> cases[] = {
      {125000, "12.5"}, {100000, "10"}, {0, "0"}, {-1, "-0.0001"}, {1, "0.0001"}, {12345000, "1234.5"},
      {INT64_MIN, "-922337203685477.5808"}, {-12500, "-1.25"}};
  for (auto [scaled, text] : cases) EXPECT_EQ(zvtest::U8(Currency::FromScaled(scaled).ToText()), text);
}

TEST(TextConversion, RoundTripsEveryPlane) {
  const Text text = u"A\u00E9\u20AC\U0001F600z";
  EXPECT_EQ(ToUtf8(text), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
  EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
}

// A buffer converted into keeps what it held; ASCII runs up to U+007F and the first
// unit above it is encoded.
TEST(TextConversion, AppendsAfterWhatTheBufferHolds) {
  struct Case {
    const char* Tries;
    Text Utf16;
    std::string Utf8;
  } cases[] = {{"nothing", u"", ""},
               {"ASCII up to DEL", u"ab\u007F", "ab\x7F"},
               {"U+0080 right after ASCII", u"ab\u0080c", "ab\xC2\x80" "c"},
               {"non-ASCII first", u"\u00E9a", "\xC3\xA9" "a"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Tries);
    std::string buffer = "kept|";
    AppendAsUtf8(buffer, c.Utf16);
    EXPECT_EQ(buffer, "kept|" + c.Utf8);
    EXPECT_EQ(ToUtf8(c.Utf16), c.Utf8);
  }
}

TEST(TextConversion, ReplacesWhatCannotBeEncoded) {
  const Text loneHigh = Text(u"a") + char16_t(0xD800) + u"b";
  const Text loneLow = Text(1, char16_t(0xDC00));
  EXPECT_EQ(ToUtf8(loneHigh), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(ToUtf8(loneLow), "\xEF\xBF\xBD");
  EXPECT_EQ(FromUtf8("x\xFFy"), u"x\uFFFDy");
  EXPECT_EQ(FromUtf8("\xE2\x82"), u"\uFFFD");
  EXPECT_EQ(FromUtf8("\xC0\xAF"), u"\uFFFD");  // overlong "/"
}

TEST(TextToInt, AcceptsDecimalAndHexadecimalForms) {
  const std::pair<const char*, int32_t> good[] = {{"12", 12},      {" 12", 12},     {"-7", -7},   {"+7", 7},
                                                  {"0x1F", 31},     {"0X1f", 31},    {"$10", 16},  {"x10", 16},
                                                  {"2147483647", INT32_MAX},         {"-2147483648", INT32_MIN},
                                                  {"$7FFFFFFF", INT32_MAX},          {"-0x80000000", INT32_MIN}};
  for (auto [text, expected] : good) {
    int32_t value = 0;
    EXPECT_TRUE(TryTextToInt(T(text), value)) << text;
    EXPECT_EQ(value, expected) << text;
  }
  for (const char* bad : {"12 ", "", " ", "1.5", "2147483648", "0x", "abc", "1e3", "- 1", "$FFFFFFFF", "0x80000000"}) {
    int32_t value = 0;
    EXPECT_FALSE(TryTextToInt(T(bad), value)) << bad;
  }
}

TEST(QuotedValue, CutsALongValueAtTwoHundredCharactersWithANote) {
  const Text a198(198, u'a'), a199(199, u'a'), a200(200, u'a');
  const Text pair = u"\U0001F600";  // two UTF-16 code units
  const std::pair<Text, Text> cases[] = {
      {u"", u""},
      {a200, a200},
      {a200 + u"b", a200 + u"... (cut, 201 characters)"},
      {a198 + pair + u"b", a198 + pair + u"... (cut, 201 characters)"},
      {a199 + pair, a199 + u"... (cut, 201 characters)"},  // the pair would be split: it goes whole
      {a200 + Text(1000, u'x'), a200 + u"... (cut, 1200 characters)"},
  };
  for (const auto& [value, quoted] : cases) EXPECT_EQ(QuotedValue(value), quoted) << value.size();
}

TEST(DateTimeValue, EncodesAndDecodesAroundTheEpoch) {
  EXPECT_EQ(FormatIsoZ(0), u"1899-12-30T00:00:00.000Z");
  auto moment = TryEncodeDateTime({2021, 11, 10, 10, 30, 0, 500});
  ASSERT_TRUE(moment);
  EXPECT_EQ(FormatIsoZ(*moment), u"2021-11-10T10:30:00.500Z");
  EXPECT_EQ(FormatCompactStamp(*TryEncodeDateTime({2021, 3, 4, 5, 6, 7, 89})), u"20210304050607089");
  EXPECT_DOUBLE_EQ(*TryEncodeDate(1900, 1, 1), 2.0);
  EXPECT_FALSE(TryEncodeDate(2021, 2, 29));
  EXPECT_TRUE(TryEncodeDate(2020, 2, 29));
  EXPECT_FALSE(TryEncodeDateTime({2021, 1, 1, 24, 0, 0, 0}));
  auto early = TryEncodeDate(1, 1, 1);
  ASSERT_TRUE(early);
  EXPECT_EQ(FormatCompactDate(*early), u"00010101");
}

TEST(DateTimeValue, DecodingRoundsToTheMillisecond) {
  for (int ms : {0, 1, 499, 999}) {
    auto moment = TryEncodeDateTime({2024, 12, 31, 23, 59, 59, ms});
    DateTimeParts p = DecodeDateTime(*moment);
    EXPECT_EQ(p.Year, 2024);
    EXPECT_EQ(p.Day, 31);
    EXPECT_EQ(p.Second, 59);
    EXPECT_EQ(p.Millisecond, ms);
  }
}

}  // namespace
