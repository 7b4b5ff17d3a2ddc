// The version-history loader over string tables with gaps and odd entries, the
// module's own table, the settings store and the delimited-field helper.

#include <gtest/gtest.h>

#include <map>

#include "CaseName.h"
#include "TestText.h"
#include "base/Exception.h"
#include "app/uZV_Base.h"
#include "app/uZV_Base_AppInfo.h"
#include "platform/Resources.h"

using namespace zv;
using zvtest::T;

namespace {

// A string table of the test's own that remembers the highest identifier asked for.
struct Table {
  std::map<uint32_t, Text> entries;
  uint32_t highestAsked = 0;
  tZV_StringReader Reader() {
    return [this](uint32_t aId) {
      highestAsked = std::max(highestAsked, aId);
      auto it = entries.find(aId);
      return it == entries.end() ? Text() : it->second;
    };
  }
};

DateTime Date(int aYear, int aMonth, int aDay) { return *TryEncodeDate(aYear, aMonth, aDay); }

TEST(ApplicationInfo, ThisLibrarysTableGivesVersion101) {
  tZV_ApplicationInfo info;
  info.Load();
  EXPECT_EQ(info.Description(), u"PXR Driver - Lorvani Protocol (IT)");
  EXPECT_FALSE(info.Copyright().empty());
  EXPECT_EQ(info.Version(), u"1.01");
  EXPECT_EQ(info.ReleaseDate(), Date(2021, 11, 10));
  EXPECT_EQ(info.VersionString(), u"[1.01 - " + zvtest::ReleaseDateText() + u"]");
  ASSERT_EQ(info.History().size(), 2u);
  EXPECT_EQ(info.History()[0].Version(), u"1.00");
  EXPECT_EQ(info.History()[0].ReleaseDate(), Date(2021, 10, 31));
  EXPECT_FALSE(info.History()[0].Author().empty());
  EXPECT_EQ(info.History()[0].Text(), std::vector<Text>{u"Initial Release"});
  EXPECT_EQ(info.History()[1].Version(), u"1.01");
  EXPECT_EQ(info.History()[1].Text(), std::vector<Text>{u"Added support for Void Action"});
}

TEST(ApplicationInfo, ModuleStringTableReadsMissingIdentifiersAsEmpty) {
  EXPECT_EQ(platform::LoadResourceString(10002), u"$VERSION=1.00");
  EXPECT_EQ(platform::LoadResourceString(10010), u"");
  EXPECT_EQ(platform::LoadResourceString(0), u"");
  EXPECT_FALSE(platform::LoadRawResource(u"MESSAGES").has_value());
}

TEST(ApplicationInfo, AGapIsSkippedAndElevenMissesInARowEndLoading) {
  Table table;
  table.entries = {{10000, u"$VERSION=1"},
                   {10006, u"$VERSION=2"},       // 10001..10005 missing: five misses
                   {10017, u"$VERSION=3"},       // 10007..10016 missing: ten misses, still read
                   {10029, u"$VERSION=lost"}};   // 10018..10028 missing: eleven misses end it
  tZV_ApplicationInfo info;
  info.Load(table.Reader());
  ASSERT_EQ(info.History().size(), 3u);
  EXPECT_EQ(info.History()[2].Version(), u"3");
  EXPECT_EQ(info.Version(), u"3");
  EXPECT_EQ(table.highestAsked, 10028u);
}

TEST(ApplicationInfo, AnEmptyTableIsReadAsElevenMisses) {
  Table table;
  tZV_ApplicationInfo info;
  info.Load(table.Reader());
  EXPECT_EQ(table.highestAsked, 10010u);
  EXPECT_TRUE(info.History().empty());
  EXPECT_EQ(info.Version(), u"");
  EXPECT_EQ(info.ReleaseDate(), 0.0);
}

TEST(ApplicationInfo, KeysIgnoreCaseAndValuesKeepLaterEqualSigns) {
  Table table;
  table.entries = {{10000, u"$appDescription=Desc=with=equals"},
                   {10001, u"$version=2.0=beta"},
                   {10002, u"$ReleaseDate=01/02/2003"},
                   {10003, u"$ptext=first"},
                   {10004, u"$Text=second"},
                   {10005, u"$author="},
                   {10006, u"$UNKNOWN=ignored"},
                   {10007, u"no equals sign at all"}};
  tZV_ApplicationInfo info;
  info.Load(table.Reader());
  EXPECT_EQ(info.Description(), u"Desc=with=equals");
  EXPECT_EQ(info.Version(), u"2.0=beta");
  EXPECT_EQ(info.ReleaseDate(), Date(2003, 2, 1));
  ASSERT_EQ(info.History().size(), 1u);
  EXPECT_EQ(info.History()[0].Version(), u"2.0=beta");
  EXPECT_EQ(info.History()[0].Text(), (std::vector<Text>{u"first", u"second"}));
  EXPECT_EQ(info.History()[0].Author(), u"");
}

TEST(ApplicationInfo, EntryKeysBeforeAnyVersionAreIgnored) {
  Table table;
  table.entries = {{10000, u"$AUTHOR=Early"},
                   {10001, u"$RELEASEDATE=31/02/2021"},  // would fail if it were read
                   {10002, u"$TEXT=orphan"},
                   {10003, u"$VERSION=1.0"},
                   {10004, u"$AUTHOR=Late"}};
  tZV_ApplicationInfo info;
  ASSERT_NO_THROW(info.Load(table.Reader()));
  ASSERT_EQ(info.History().size(), 1u);
  EXPECT_EQ(info.History()[0].Author(), u"Late");
  EXPECT_TRUE(info.History()[0].Text().empty());
  EXPECT_EQ(info.ReleaseDate(), 0.0);
}

struct DateCase {
  const char16_t* value;
  bool valid;
  int year, month, day;
};

std::string NameOf(const DateCase& aCase) { return zvtest::CaseName(aCase.value); }
void PrintTo(const DateCase& aCase, std::ostream* aOut) { *aOut << NameOf(aCase); }

class ReleaseDates : public ::testing::TestWithParam<DateCase> {};

TEST_P(ReleaseDates, AreReadByPosition) {
  const DateCase& c = GetParam();
  Table table;
  table.entries = {{10000, u"$VERSION=1"}, {10001, Text(u"$RELEASEDATE=") + c.value}};
  tZV_ApplicationInfo info;
  if (!c.valid) {
    try {
      info.Load(table.Reader());
      FAIL() << "no failure for " << zvtest::U8(c.value);
    } catch (const kException& e) {
      EXPECT_EQ(e.Message(), u"Invalid argument to date encode");
    }
    return;
  }
  info.Load(table.Reader());
  EXPECT_EQ(info.ReleaseDate(), Date(c.year, c.month, c.day)) << zvtest::U8(c.value);
  EXPECT_EQ(info.History()[0].ReleaseDate(), info.ReleaseDate());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReleaseDates,
    ::testing::Values(DateCase{u"10/11/2021", true, 2021, 11, 10},
                      DateCase{u"10-11-2021", true, 2021, 11, 10},   // separators are not looked at
                      DateCase{u"29/02/2024", true, 2024, 2, 29},
                      DateCase{u"ab/cd/efgh", true, 1, 1, 1},        // no numbers: all 1
                      DateCase{u"", true, 1, 1, 1},
                      DateCase{u"05/06/21", true, 21, 6, 5},         // year is what stands there
                      DateCase{u"$A/11/2021", true, 2021, 11, 1},    // hexadecimal is no decimal integer
                      DateCase{u"10/$B/2021", true, 2021, 1, 10},
                      DateCase{u"x9/0X/x7E5", true, 1, 1, 1},
                      DateCase{u" 5/06/2021", true, 2021, 6, 5},     // leading blank and sign are decimal
                      DateCase{u"+5/+6/2021", true, 2021, 6, 5},
                      DateCase{u"5 /06/2021", true, 2021, 6, 1},     // nothing may follow the digits
                      DateCase{u"-1/06/2021", false, 0, 0, 0},       // a number, but no day
                      DateCase{u"31/02/2021", false, 0, 0, 0},
                      DateCase{u"29/02/2023", false, 0, 0, 0},
                      DateCase{u"00/01/2021", false, 0, 0, 0},
                      DateCase{u"01/13/2021", false, 0, 0, 0}),
    zvtest::ByNameOf());

TEST(ApplicationInfo, ASecondLoadAppendsTheHistoryAgain) {
  tZV_ApplicationInfo info;
  info.Load();
  info.Load();
  EXPECT_EQ(info.History().size(), 4u);
  EXPECT_EQ(info.Version(), u"1.01");
}

TEST(ApplicationInfo, GetApplicationInfoWithoutAnApplicationReadsTheModule) {
  ASSERT_EQ(ApplicationObject, nullptr);
  const tZV_ApplicationInfo info = GetApplicationInfo();
  EXPECT_EQ(info.Version(), u"1.01");
  EXPECT_EQ(info.ReleaseDateText(), zvtest::ReleaseDateText());
}

TEST(Setup, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
  tZV_Setup setup;
  setup.SetValue(u"Port", 1);
  setup.SetValue(u"PORT", Text(u"COM2"));
  ASSERT_EQ(setup.Entries().size(), 1u);
  EXPECT_EQ(setup.Entries()[0].Name(), u"Port");
  const std::any value = setup.GetValue(u"port");
  ASSERT_EQ(value.type(), typeid(Text));
  EXPECT_EQ(std::any_cast<Text>(value), u"COM2");
}

TEST(Setup, ValuesKeepTheirTypeAndUndefinedNamesGiveTheEmptyValue) {
  tZV_Setup setup;
  setup.SetValue(u"Speed", 9600);
  setup.SetValue(u"Ratio", 1.5);
  setup.SetValue(u"On", true);
  EXPECT_EQ(std::any_cast<int>(setup.GetValue(u"speed")), 9600);
  EXPECT_EQ(std::any_cast<double>(setup.GetValue(u"RATIO")), 1.5);
  EXPECT_TRUE(std::any_cast<bool>(setup.GetValue(u"on")));
  EXPECT_FALSE(setup.GetValue(u"Never").has_value());
  EXPECT_EQ(setup.Entries().size(), 3u);
}

TEST(Setup, DefineCreatesOrEmptiesAnEntry) {
  tZV_Setup setup;
  setup.SetValue(u"A", 1);
  setup.Define(u"a");
  setup.Define(u"B");
  ASSERT_EQ(setup.Entries().size(), 2u);
  EXPECT_FALSE(setup.GetValue(u"A").has_value());
  EXPECT_EQ(setup.Entries()[0].Name(), u"A");
  EXPECT_EQ(setup.Entries()[1].Name(), u"B");
  EXPECT_FALSE(setup.GetValue(u"B").has_value());
}

struct FieldCase {
  const char16_t* text;
  int index;
  char16_t delimiter;
  bool toEnd;
  const char16_t* expected;
};

// The text, the field's index and whether it runs to the end: a_eq_b_eq_c_field_2_to_end.
std::string NameOf(const FieldCase& aCase) {
  return zvtest::CaseName(aCase.text) + "_field_" + zvtest::CaseName(std::to_string(aCase.index)) +
         (aCase.toEnd ? "_to_end" : "");
}
void PrintTo(const FieldCase& aCase, std::ostream* aOut) { *aOut << NameOf(aCase); }

class DelimitedField : public ::testing::TestWithParam<FieldCase> {};

TEST_P(DelimitedField, Cuts) {
  const FieldCase& c = GetParam();
  EXPECT_EQ(GetDelimitedField(c.text, c.index, c.delimiter, c.toEnd), Text(c.expected))
      << zvtest::U8(c.text) << " " << c.index << " " << c.toEnd;
}

INSTANTIATE_TEST_SUITE_P(Cases, DelimitedField,
                         ::testing::Values(FieldCase{u"a=b=c", 1, u'=', false, u"a"},
                                           FieldCase{u"a=b=c", 2, u'=', false, u"b"},
                                           FieldCase{u"a=b=c", 3, u'=', false, u"c"},
                                           FieldCase{u"a=b=c", 4, u'=', false, u""},
                                           FieldCase{u"a=b=c", 2, u'=', true, u"b=c"},
                                           FieldCase{u"a=b=c", 3, u'=', true, u"c"},
                                           FieldCase{u"a=b=c", 4, u'=', true, u""},
                                           FieldCase{u"a=b=c", 0, u'=', false, u""},
                                           FieldCase{u"a=b=c", 0, u'=', true, u"a=b=c"},
                                           FieldCase{u"a=b=c", -3, u'=', true, u"a=b=c"},
                                           FieldCase{u":x", 1, u':', false, u""},
                                           FieldCase{u":x", 2, u':', false, u"x"},
                                           FieldCase{u"a::b", 2, u':', false, u""},
                                           FieldCase{u"a::b", 3, u':', false, u"b"},
                                           FieldCase{u"abc", 1, u':', false, u"abc"},
                                           FieldCase{u"abc", 2, u':', true, u""},
                                           FieldCase{u"", 1, u':', false, u""},
                                           FieldCase{u"a=", 2, u'=', true, u""}),
                         zvtest::ByNameOf());

}  // namespace
