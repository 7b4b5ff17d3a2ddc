#include <gtest/gtest.h>

#include <functional>

#include "CaseName.h"
#include "TestText.h"
#include "base/Exception.h"
#include "receipt/uZvReceipt.h"

using namespace zv;
using zvtest::T;
using zvtest::U8;
using zvtest::FailureOf;
using zvtest::Concat;

namespace {

// A parsed <R>...</R> document, read as a request is read.
struct Doc {
  explicit Doc(const std::string& aChildren) {
    const std::string xml = "<R>" + aChildren + "</R>";
    auto parsed = doc.load_buffer(xml.data(), xml.size(), kRequestParseFlags, pugi::encoding_utf8);
    EXPECT_TRUE(parsed) << parsed.description();
  }
  pugi::xml_node root() const { return doc.document_element(); }
  pugi::xml_document doc;
};


const std::string kCrLf = "\r\n";

TEST(ChildLookup, FindsDirectChildrenByExactQualifiedOrLocalName) {
  Doc d("<amount>9</amount><Amount>5</Amount><Amount>7</Amount><x:Tip xmlns:x='u'>3</x:Tip>"
        "<Inner><Deep>1</Deep></Inner>");
  EXPECT_EQ(krptUtil::GetNodeValueAsCurrency(d.root(), u"Amount").Scaled(), 50000);
  EXPECT_EQ(krptUtil::GetNodeValueAsCurrency(d.root(), u"AMOUNT").Scaled(), 0);
  EXPECT_EQ(krptUtil::GetNodeValueAsInteger(d.root(), u"Tip"), 3);
  EXPECT_EQ(krptUtil::GetNodeValueAsInteger(d.root(), u"x:Tip"), 3);
  EXPECT_FALSE(krptUtil::HasNode(d.root(), u"Deep"));
  EXPECT_TRUE(krptUtil::HasNode(d.root(), u"Inner"));
}

TEST(ElementContent, TextAndCdataAreReadUntrimmedEverythingElseFails) {
  Doc d("<A>  padded </A><B><![CDATA[<raw>&]]></B><C/><D></D><E> </E>"
        "<F><G>1</G></F><H>x<!--c--></H><I><!--c--></I>");
  EXPECT_EQ(krptUtil::GetNodeValueAsString(d.root(), u"A"), u"  padded ");
  EXPECT_EQ(krptUtil::GetNodeValueAsString(d.root(), u"B"), u"<raw>&");
  EXPECT_EQ(krptUtil::GetNodeValueAsString(d.root(), u"C"), u"");
  EXPECT_EQ(krptUtil::GetNodeValueAsString(d.root(), u"D"), u"");
  EXPECT_EQ(krptUtil::GetNodeValueAsString(d.root(), u"E"), u" ");
  EXPECT_EQ(krptUtil::GetNodeValueAsString(d.root(), u"Missing"), u"");
  for (const char16_t* name : {u"F", u"H", u"I"}) {
    EXPECT_EQ(FailureOf([&] { krptUtil::GetNodeValueAsString(d.root(), name); }),
              "Error in processing node " + U8(name) + " as string." + kCrLf + "Element \"" + U8(name) +
                  "\" does not contain a single text node");
  }
}

struct ReaderCase {
  const char* kind;     // currency, integer, boolean
  const char* element;  // the child element as written, or "" for none
  const char* expected;  // the value read, or the inner failure message
  bool fails;
};

std::string ReadAs(const std::string& aKind, const pugi::xml_node& aRoot) {
  if (aKind == "currency") return U8(krptUtil::GetNodeValueAsCurrency(aRoot, u"V").ToText());
  if (aKind == "integer") return std::to_string(krptUtil::GetNodeValueAsInteger(aRoot, u"V"));
  return krptUtil::GetNodeValueAsBoolean(aRoot, u"V") ? "true" : "false";
}

// The kind and the element's text: currency_12_dot_50, integer_absent, boolean_empty.
std::string NameOf(const ReaderCase& aCase) {
  std::string element = aCase.element;
  if (element.empty()) return std::string(aCase.kind) + "_absent";
  if (element == "<V/>") element = "<V></V>";
  return std::string(aCase.kind) + "_" + zvtest::CaseName(element.substr(3, element.size() - 7));
}
void PrintTo(const ReaderCase& aCase, std::ostream* aOut) { *aOut << NameOf(aCase); }

class TypedReader : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(TypedReader, ConvertsOrFailsWithTheWrappedMessage) {
  const ReaderCase& c = GetParam();
  Doc d(c.element);
  if (c.fails) {
    EXPECT_EQ(FailureOf([&] { ReadAs(c.kind, d.root()); }),
              std::string("Error in processing node V as ") + c.kind + "." + kCrLf + c.expected);
  } else {
    EXPECT_EQ(ReadAs(c.kind, d.root()), c.expected) << c.element;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TypedReader,
    ::testing::Values(
        ReaderCase{"currency", "", "0", false}, ReaderCase{"currency", "<V/>", "0", false},
        ReaderCase{"currency", "<V>12.50</V>", "12.5", false}, ReaderCase{"currency", "<V> 7 </V>", "7", false},
        ReaderCase{"currency", "<V>1E2</V>", "100", false}, ReaderCase{"currency", "<V>.5</V>", "0.5", false},
        ReaderCase{"currency", "<V>.</V>", "0", false},
        ReaderCase{"currency", "<V>12,50</V>", "'12,50' is not a valid floating point value", true},
        ReaderCase{"currency", "<V>   </V>", "'   ' is not a valid floating point value", true},
        ReaderCase{"currency", "<V>12%</V>", "'12%' is not a valid floating point value", true},
        ReaderCase{"currency", "<V>abc</V>", "'abc' is not a valid floating point value", true},
        ReaderCase{"integer", "", "0", false}, ReaderCase{"integer", "<V></V>", "0", false},
        ReaderCase{"integer", "<V>0x1F</V>", "31", false}, ReaderCase{"integer", "<V> 12</V>", "12", false},
        ReaderCase{"integer", "<V>$FF</V>", "255", false},
        ReaderCase{"integer", "<V>12 </V>", "'12 ' is not a valid integer value", true},
        ReaderCase{"integer", "<V>1.0</V>", "'1.0' is not a valid integer value", true},
        ReaderCase{"integer", "<V>99999999999</V>", "'99999999999' is not a valid integer value", true},
        ReaderCase{"boolean", "", "false", false}, ReaderCase{"boolean", "<V>TRUE</V>", "true", false},
        ReaderCase{"boolean", "<V>true</V>", "true", false}, ReaderCase{"boolean", "<V>1</V>", "true", false},
        ReaderCase{"boolean", "<V>-3</V>", "true", false}, ReaderCase{"boolean", "<V>0</V>", "false", false},
        ReaderCase{"boolean", "<V>False</V>", "false", false}, ReaderCase{"boolean", "<V>0.0</V>", "false", false},
        ReaderCase{"boolean", "<V/>", "'' is not a valid boolean value", true},
        ReaderCase{"boolean", "<V>yes</V>", "'yes' is not a valid boolean value", true}),
    zvtest::ByNameOf());

struct DateCase {
  const char* text;
  const char* expected;  // FormatIsoZ of the result, or "" when it fails
};

std::string NameOf(const DateCase& aCase) { return zvtest::CaseName(aCase.text); }
void PrintTo(const DateCase& aCase, std::ostream* aOut) { *aOut << NameOf(aCase); }

class DateTimeReader : public ::testing::TestWithParam<DateCase> {};

TEST_P(DateTimeReader, ReadsIso8601) {
  const DateCase& c = GetParam();
  Doc d(std::string("<V>") + c.text + "</V>");
  if (*c.expected == '\0') {
    const std::string failure = FailureOf([&] { krptUtil::GetNodeValueAsDateTime(d.root(), u"V"); });
    EXPECT_EQ(failure.rfind("Error in processing node V as datetime." + kCrLf, 0), 0u) << c.text << ": " << failure;
    EXPECT_EQ(krptUtil::TryGetNodeValueAsDateTime(d.root(), u"V"), 0.0);
  } else {
    EXPECT_EQ(U8(FormatIsoZ(krptUtil::GetNodeValueAsDateTime(d.root(), u"V"))), c.expected) << c.text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DateTimeReader,
    ::testing::Values(DateCase{"2021-11-10T10:30:00+01:00", "2021-11-10T09:30:00.000Z"},
                      DateCase{"2021-11-10T10:30:00-02:00", "2021-11-10T12:30:00.000Z"},
                      DateCase{"2021-11-10T10:30:00Z", "2021-11-10T10:30:00.000Z"},
                      DateCase{"2021-11-10T10:30:00", "2021-11-10T10:30:00.000Z"},
                      DateCase{"2021-11-10", "2021-11-10T00:00:00.000Z"},
                      DateCase{"2021-11-10T10:30:00.5", "2021-11-10T10:30:00.500Z"},
                      DateCase{"2021-11-10T10:30:00.123Z", "2021-11-10T10:30:00.123Z"},
                      DateCase{"2021-11-10T10:30", "2021-11-10T10:30:00.000Z"},
                      DateCase{"2021-11-10T10", "2021-11-10T10:00:00.000Z"},
                      DateCase{"2021-11-10T23:30:00-01", "2021-11-11T00:30:00.000Z"},
                      DateCase{"1800-01-01T10:30:00+01:00", "1800-01-01T09:30:00.000Z"},
                      DateCase{"1899-12-30T00:30:00+01:00", "1899-12-29T23:30:00.000Z"},
                      DateCase{"2021-12-31T23:30:00-01:00", "2022-01-01T00:30:00.000Z"},
                      DateCase{"2021-11-10T10Z", ""}, DateCase{"", ""}, DateCase{"2021-02-30", ""},
                      DateCase{"2021", ""}, DateCase{"21", ""}, DateCase{"2021-11-10T25:00", ""},
                      DateCase{"2021-11-10T10:30:00.1234", ""}, DateCase{"2021-11-10T10:30:00+", ""},
                      DateCase{"2021-11-10T10:30:00+24:00", ""}, DateCase{"abcd-11-10", ""}),
    zvtest::ByNameOf());

TEST(DateTimeReader, AbsentNodeIsTheZeroDateTime) {
  Doc d("");
  EXPECT_EQ(krptUtil::GetNodeValueAsDateTime(d.root(), u"V"), 0.0);
}

TEST(DateTimeReader, OffsetOutOfRangeNamesTimeEncode) {
  Doc d("<V>2021-11-10T10:30:00+01:75</V>");
  EXPECT_EQ(FailureOf([&] { krptUtil::GetNodeValueAsDateTime(d.root(), u"V"); }),
            "Error in processing node V as datetime." + kCrLf + "Invalid argument to time encode");
}

TEST(TypedReader, QuotesALongValueCut) {
  using zvtest::LongValue;
  using zvtest::Quoted;
  const std::string value = LongValue(1000);
  const std::string prefixed = LongValue(300) + ":V";
  const struct {
    const char* kind;
    std::string text;    // the content of <V>
    std::string inner;   // the message after the reader's pattern
  } cases[] = {
      {"boolean", value, Concat("'", Quoted(value), "' is not a valid boolean value")},
      {"currency", value, Concat("'", Quoted(value), "' is not a valid floating point value")},
      {"integer", value, Concat("'", Quoted(value), "' is not a valid integer value")},
      {"datetime", value, "Invalid date string: " + Quoted(value)},
      {"datetime", "2021-11-10T" + value, "Invalid time string: " + Quoted("2021-11-10T" + value)},
      {"datetime", "2021-11-10T10:30+" + value, "Invalid time Offset string: " + Quoted("2021-11-10T10:30+" + value)},
      {"datetime", "2021-13-10" + value, Concat("'", Quoted("2021-13-10" + value), "' is not a valid date and time")},
  };
  for (const auto& c : cases) {
    Doc d("<V>" + c.text + "</V>");
    const std::string failure = FailureOf([&] {
      const std::string kind = c.kind;
      if (kind == "datetime") krptUtil::GetNodeValueAsDateTime(d.root(), u"V");
      else ReadAs(kind, d.root());
    });
    EXPECT_EQ(failure, std::string("Error in processing node V as ") + c.kind + "." + kCrLf + c.inner)
        << c.kind << " " << c.text.substr(0, 20);
  }
  // The string reader quotes the element's name, which a prefix can make long.
  Doc d("<" + prefixed + "><x/></" + prefixed + ">");
  EXPECT_EQ(FailureOf([&] { krptUtil::GetNodeValueAsString(d.root(), u"V"); }),
            "Error in processing node V as string." + kCrLf + "Element \"" + Quoted(prefixed) +
                "\" does not contain a single text node");
}

TEST(Attributes, AreReadFromTheNodeItself) {
  Doc d("<P code='x&amp;y'><Q code='inner'/></P>");
  pugi::xml_node p = d.root().child("P");
  EXPECT_EQ(krptUtil::GetAttributeValueAsString(p, u"code"), u"x&y");
  EXPECT_EQ(krptUtil::GetAttributeValueAsString(p, u"missing"), u"");
}

TEST(AddNode, AppendsAnElementWithText) {
  Doc d("<First/>");
  pugi::xml_node root = d.root();
  pugi::xml_node added = krptUtil::AddNode(root, u"Total", u"a<b \u20AC");
  EXPECT_EQ(std::string(root.last_child().name()), "Total");
  EXPECT_EQ(added, root.last_child());
  EXPECT_EQ(krptUtil::GetNodeValueAsString(root, u"Total"), u"a<b \u20AC");
}

TEST(NormalizeText, KeepsSevenBitTextOnly) {
  EXPECT_EQ(krptUtil::NormalizeText(u"TOTALE \u20AC 10"), u"TOT. E 10");
  EXPECT_EQ(krptUtil::NormalizeText(u"\u00C9\u00E8\t\r\nx\u00C0\u00D9\u00C8\u00D2\u00D6\u00C7\u00CF\u00CC\u007F"),
            u"E    xAUEOOCII\u007F");
}

}  // namespace
