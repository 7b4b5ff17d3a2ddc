#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "TestText.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "provider/uZVPA_LORVANI_10.h"

using namespace zv;
using zvtest::U8;

namespace {

DateTime Moment() { return *TryEncodeDateTime({2021, 3, 4, 5, 6, 7, 89}); }

kPaymentReceipt Receipt() {
  kPaymentReceipt r;
  r.fAmount = Currency::FromScaled(125000);
  r.fCurrency = u"EUR";
  r.fAttributes = u"PRE-1";
  r.fStoreCode = u"S1";
  r.fTillCode = u"T2";
  r.fOperatorId = u"op/7";
  r.fReference = u"Caf\u00E9 \"B\"\t\\";
  r.fRefundReference.PaymentNumber = u"tok_A";
  return r;
}

TEST(LorvaniTexts, RequestIdEndsWithTheMomentToTheMillisecond) {
  EXPECT_EQ(lorvani::RequestId(Receipt(), Moment()), u"S1-T2-20210304050607089");
}

// The clock as the device reads it, call after call, and the ids that it hands out.
// Each call is made by process A or B, two sequences over one state folder: two
// processes of the machine, or one before and after a restart.
struct RequestIdCase {
  const char* name;
  struct Call {
    char process;  // 'A' or 'B'
    const char16_t* till;
    DateTime clock;
  };
  std::vector<Call> calls;
  std::vector<const char16_t*> ids;
};

void PrintTo(const RequestIdCase& aCase, std::ostream* aOut) { *aOut << aCase.name; }

Text Folder(const zvtest::TempDir& aDir) { return aDir.Dir() + platform::kPathSeparator; }

class RequestIds : public ::testing::TestWithParam<RequestIdCase> {};

TEST_P(RequestIds, NeverRepeatForOneStoreAndTillOnTheMachine) {
  zvtest::TempDir state("zvstate");
  lorvani::RequestMoments a(Folder(state)), b(Folder(state));
  kPaymentReceipt receipt = Receipt();
  std::vector<Text> ids;
  for (const auto& call : GetParam().calls) {
    receipt.fTillCode = call.till;
    const auto moment = (call.process == 'A' ? a : b).Next(lorvani::RequestIdPrefix(receipt), call.clock);
    EXPECT_EQ(moment.Warning, u"");
    ids.push_back(lorvani::RequestId(receipt, moment.Value));
  }
  EXPECT_EQ(ids, std::vector<Text>(GetParam().ids.begin(), GetParam().ids.end()));
}

const DateTime kMs = 1.0 / 86400000.0;
const DateTime kHour = 1.0 / 24;

INSTANTIATE_TEST_SUITE_P(
    Clock, RequestIds,
    ::testing::Values(
        RequestIdCase{"RunningClockIsTakenAsItIs",
                      {{'A', u"T2", Moment()}, {'A', u"T2", Moment() + 5 * kMs}},
                      {u"S1-T2-20210304050607089", u"S1-T2-20210304050607094"}},
        RequestIdCase{"ClockStandingStillAdvancesAMillisecondEachCall",
                      {{'A', u"T2", Moment()}, {'A', u"T2", Moment()}, {'A', u"T2", Moment()}},
                      {u"S1-T2-20210304050607089", u"S1-T2-20210304050607090", u"S1-T2-20210304050607091"}},
        RequestIdCase{"ClockSetBackContinuesAfterTheLastId",
                      {{'A', u"T2", Moment()}, {'A', u"T2", Moment() - kHour}, {'A', u"T2", Moment() + 7 * kMs}},
                      {u"S1-T2-20210304050607089", u"S1-T2-20210304050607090", u"S1-T2-20210304050607096"}},
        RequestIdCase{"AnotherTillHasItsOwnSequence",
                      {{'A', u"T2", Moment()}, {'A', u"T3", Moment()}, {'A', u"T2", Moment()}},
                      {u"S1-T2-20210304050607089", u"S1-T3-20210304050607089", u"S1-T2-20210304050607090"}},
        RequestIdCase{"SecondBoundaryCarriesIntoTheNextSecond",
                      {{'A', u"T2", Moment() + 910 * kMs}, {'A', u"T2", Moment() + 910 * kMs}},
                      {u"S1-T2-20210304050607999", u"S1-T2-20210304050608000"}},
        RequestIdCase{"AnotherProcessInTheSameMillisecondTakesTheNext",
                      {{'A', u"T2", Moment()}, {'B', u"T2", Moment()}, {'A', u"T2", Moment()}},
                      {u"S1-T2-20210304050607089", u"S1-T2-20210304050607090", u"S1-T2-20210304050607091"}},
        // After the clocks go back an hour, a restarted process meets the hour again.
        RequestIdCase{"ARestartInTheRepeatedHourGoesOnAfterTheLastId",
                      {{'A', u"T2", Moment()}, {'B', u"T2", Moment() - kHour + 3 * kMs}},
                      {u"S1-T2-20210304050607089", u"S1-T2-20210304050607090"}}),
    [](const auto& aInfo) { return std::string(aInfo.param.name); });

// "A-B" at till "C" and "A" at till "B-C" write the same id: one sequence serves both.
TEST(LorvaniTexts, CodesThatWriteTheSameIdShareASequence) {
  zvtest::TempDir state("zvstate");
  lorvani::RequestMoments moments(Folder(state));
  kPaymentReceipt first = Receipt(), second = Receipt();
  first.fStoreCode = u"A-B";
  first.fTillCode = u"C";
  second.fStoreCode = u"A";
  second.fTillCode = u"B-C";
  EXPECT_NE(lorvani::RequestId(first, moments.Next(lorvani::RequestIdPrefix(first), Moment()).Value),
            lorvani::RequestId(second, moments.Next(lorvani::RequestIdPrefix(second), Moment()).Value));
}

// The id a host gives for a repeat lies in the past of the sequence, or is one that
// this machine never wrote (another till's state folder): a new id must not meet it.
TEST(LorvaniTexts, AGivenIdMovesTheSequenceOnWhenItLiesAhead) {
  zvtest::TempDir state("zvstate");
  lorvani::RequestMoments moments(Folder(state));
  const Text prefix = u"S1-T2-";
  moments.Next(prefix, Moment());
  EXPECT_EQ(FormatCompactStamp(moments.Observe(prefix, Moment() - kHour).Value), u"20210304050607089");
  moments.Observe(prefix, Moment() + 40 * kMs);
  lorvani::RequestMoments restarted(Folder(state));
  EXPECT_EQ(prefix + FormatCompactStamp(restarted.Next(prefix, Moment()).Value), u"S1-T2-20210304050607130");
}

// The file a sequence is kept in says what it holds: its last request id.
TEST(LorvaniTexts, TheStateFileHoldsTheLastRequestId) {
  zvtest::TempDir state("zvstate");
  lorvani::RequestMoments moments(Folder(state));
  moments.Next(u"S1-T2-", Moment());
  std::vector<std::string> contents;
  for (const auto& entry : std::filesystem::directory_iterator(state.Path())) {
    std::ifstream in(entry.path(), std::ios::binary);
    contents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_EQ(contents, std::vector<std::string>{"S1-T2-20210304050607089\n"});
}

// A folder that cannot be made (a file stands in its place): the ids stay unique in the
// process, and the caller learns why no more is promised.
TEST(LorvaniTexts, AnUnusableStateFolderKeepsTheProcessSequenceAndSaysWhy) {
  zvtest::TempDir state("zvstate");
  const std::filesystem::path blocker = state.Path() / "blocker";
  std::ofstream(blocker) << "not a folder";
  lorvani::RequestMoments moments(FromUtf8(blocker.string()) + platform::kPathSeparator + u"sub" +
                                  platform::kPathSeparator);
  const auto first = moments.Next(u"S1-T2-", Moment());
  const auto second = moments.Next(u"S1-T2-", Moment());
  EXPECT_NE(U8(first.Warning).find("blocker"), std::string::npos) << U8(first.Warning);
  EXPECT_EQ(FormatCompactStamp(second.Value), u"20210304050607090");
}

struct IdCase {
  const char* name;
  const char16_t* id;
  bool valid;
};
void PrintTo(const IdCase& aCase, std::ostream* aOut) { *aOut << aCase.name; }

class GivenRequestIds : public ::testing::TestWithParam<IdCase> {};

TEST_P(GivenRequestIds, AreTakenOnlyWhenTheDriverCouldHaveWrittenThem) {
  const std::optional<DateTime> moment = lorvani::RequestIdMoment(u"S1-T2-", GetParam().id);
  ASSERT_EQ(moment.has_value(), GetParam().valid);
  if (moment) {
    EXPECT_EQ(u"S1-T2-" + FormatCompactStamp(*moment), GetParam().id);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, GivenRequestIds,
                         ::testing::Values(IdCase{"OwnPrefixAndMoment", u"S1-T2-20210304050607089", true},
                                           IdCase{"LastMillisecondOfAYear", u"S1-T2-20211231235959999", true},
                                           IdCase{"AnotherTill", u"S1-T3-20210304050607089", false},
                                           IdCase{"NoPrefix", u"20210304050607089", false},
                                           IdCase{"SixteenDigits", u"S1-T2-2021030405060708", false},
                                           IdCase{"EighteenDigits", u"S1-T2-202103040506070891", false},
                                           IdCase{"ALetterAmongTheDigits", u"S1-T2-2021030405O607089", false},
                                           IdCase{"ThirteenthMonth", u"S1-T2-20211304050607089", false},
                                           IdCase{"TheThirtiethOfFebruary", u"S1-T2-20210230050607089", false},
                                           IdCase{"Hour24", u"S1-T2-20210304240607089", false},
                                           IdCase{"Second60", u"S1-T2-20210304050660089", false},
                                           IdCase{"Empty", u"", false}),
                         [](const auto& aInfo) { return std::string(aInfo.param.name); });

TEST(LorvaniTexts, PaymentBodyIsCompactAsciiInMemberOrder) {
  EXPECT_EQ(U8(lorvani::PayBody(Receipt(), lorvani::RequestId(Receipt(), Moment()))),
            R"({"totalAmount":{"amount":"12.5","currency":"EUR"},"preApprovalCode":"PRE-1",)"
            R"("requestId":"S1-T2-20210304050607089","merchantOperatorId":"op\/7",)"
            R"("merchantReference":"Caf\u00E9 \"B\"\t\\"})");
}

TEST(LorvaniTexts, RefundBodyCarriesTheOrdersToken) {
  kPaymentReceipt r = Receipt();
  r.fAmount = Currency::FromUnits(100);
  EXPECT_EQ(U8(lorvani::RefundBody(r, lorvani::RequestId(r, Moment()))),
            R"({"token":"tok_A","requestId":"S1-T2-20210304050607089","merchantOperatorId":"op\/7",)"
            R"("refundAmount":{"amount":"100","currency":"EUR"}})");
}

TEST(LorvaniTexts, JsonStringsEscapeControlAndNonAsciiCodeUnits) {
  const Text text = Text(u"\b\f\n\r\x01\x1F\x7F\u20AC") + char16_t(0xD83D) + char16_t(0xDE00);
  EXPECT_EQ(U8(lorvani::JsonString(text)), R"("\b\f\n\r\u0001\u001F)" "\x7F" R"(\u20AC\uD83D\uDE00")");
  EXPECT_EQ(U8(lorvani::JsonString(u"0.0001")), "\"0.0001\"");
}

TEST(LorvaniTexts, TokensArePercentEncodedInThePath) {
  EXPECT_EQ(lorvani::EncodePathSegment(u"ord_AZaz09-_.~"), u"ord_AZaz09-_.~");
  EXPECT_EQ(lorvani::EncodePathSegment(u"../x?y=1#z"), u"..%2Fx%3Fy%3D1%23z");
  EXPECT_EQ(lorvani::EncodePathSegment(u"a b\u00E9"), u"a%20b%C3%A9");
}

#ifdef _WIN32
// A Windows process has the system's time zone, which a test cannot set for itself:
// the tests compare with the zone as it is.
class LocalZone {
 public:
  explicit LocalZone(const char*) {}
};
#else
// Sets the local time zone for its lifetime, then restores the one before.
class LocalZone {
 public:
  explicit LocalZone(const char* aZone) {
    const char* before = std::getenv("TZ");
    if (before) fBefore = before;
    fHadBefore = before != nullptr;
    setenv("TZ", aZone, 1);
    tzset();
  }
  ~LocalZone() {
    if (fHadBefore) {
      setenv("TZ", fBefore.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  LocalZone(const LocalZone&) = delete;
  LocalZone& operator=(const LocalZone&) = delete;

 private:
  std::string fBefore;
  bool fHadBefore = false;
};
#endif

// "yyyy-mm-ddThh:nn:ss.zzz" of a date-time as held.
std::string Shown(DateTime aValue) {
  std::string text = U8(FormatIsoZ(aValue));
  text.pop_back();  // the formatter's fixed "Z"
  return text;
}

constexpr const char* kZones[] = {"Europe/Rome", "America/New_York"};

// The whole text must follow the grammar: date, optionally "T" and a time with an
// optional fraction and an optional "Z" or offset; a time without designator is UTC.
TEST(LorvaniTexts, RefundedAtIsReadStrictlyAsAnInstant) {
  const struct {
    const char16_t* text;
    DateTimeParts utc;
  } valid[] = {
      {u"2021-11-10T09:30:00.123Z", {2021, 11, 10, 9, 30, 0, 123}},
      {u"2021-11-10T09:30:00.123456789Z", {2021, 11, 10, 9, 30, 0, 123}},
      {u"2021-11-10T09:30:00.1Z", {2021, 11, 10, 9, 30, 0, 100}},
      {u"2021-11-10T09:30:00Z", {2021, 11, 10, 9, 30, 0, 0}},
      {u"2021-11-10T09:30:00.123", {2021, 11, 10, 9, 30, 0, 123}},
      {u"2021-11-10T09:30:00", {2021, 11, 10, 9, 30, 0, 0}},
      {u"2021-11-10T10:30:00.123+01:00", {2021, 11, 10, 9, 30, 0, 123}},
      {u"2021-11-10T04:00:00-05:30", {2021, 11, 10, 9, 30, 0, 0}},
      {u"2021-11-10T00:30:00+01:00", {2021, 11, 9, 23, 30, 0, 0}},
      {u"2021-12-31T23:30:00-01:00", {2022, 1, 1, 0, 30, 0, 0}},
      {u"2021-11-10", {2021, 11, 10, 0, 0, 0, 0}},
      {u"2020-02-29T23:59:59.999Z", {2020, 2, 29, 23, 59, 59, 999}},
  };
  const char16_t* invalid[] = {
      u"",
      u"yesterday afternoon",
      u"2021-11-10 09:30:00Z",  // a blank for the "T"
      u"2021-11-10xyz",
      u"2021-11-10T09:30:00Zjunk",
      u"2021-11-10T09:30:00.123Z ",
      u" 2021-11-10T09:30:00Z",
      u"2021-11-10T",
      u"2021-11-10Z",
      u"2021-11-10T09:30Z",
      u"2021-11-10T09:30:00.Z",
      u"2021-11-10T09:30:00+0100",
      u"2021-11-10T09:30:00+01",
      u"2021-11-10T09:30:00+01:60",
      u"2021-11-10T09:30:00Z+01:00",
      u"2021-11-10t09:30:00z",
      u"2021-11-10T24:00:00Z",
      u"2021-11-10T09:60:00Z",
      u"2021-11-10T09:30:60Z",
      u"2021-13-01T00:00:00Z",
      u"2021-02-29",
      u"2021-1-10",
      u"21-11-10",
      u"+2021-11-10",
      u"20211110T093000Z",
  };
  for (const char* zone : kZones) {
    LocalZone local(zone);
    for (const auto& c : valid) {
      const auto value = lorvani::IsoInstantToLocal(c.text);
      ASSERT_TRUE(value) << zone << ": " << U8(c.text);
      EXPECT_EQ(Shown(*value), Shown(UtcToLocal(*TryEncodeDateTime(c.utc)))) << zone << ": " << U8(c.text);
    }
    for (const char16_t* text : invalid) EXPECT_FALSE(lorvani::IsoInstantToLocal(text)) << zone << ": " << U8(text);
  }
}

#ifndef _WIN32  // needs named zones, which a Windows process cannot choose for itself
// The local time is that of the zone's offset at the instant, on both sides of a
// change of offset.
TEST(LorvaniTexts, RefundedAtTakesTheOffsetOfItsMoment) {
  const struct {
    const char* zone;
    const char16_t* text;
    const char* local;
  } cases[] = {
      {"Europe/Rome", u"2021-11-10T09:30:00.123Z", "2021-11-10T10:30:00.123"},
      {"Europe/Rome", u"2021-07-10T09:30:00.123Z", "2021-07-10T11:30:00.123"},
      {"Europe/Rome", u"2021-10-31T00:30:00Z", "2021-10-31T02:30:00.000"},  // summer time, last hour
      {"Europe/Rome", u"2021-10-31T01:30:00Z", "2021-10-31T02:30:00.000"},  // standard time again
      {"Europe/Rome", u"2021-03-28T01:00:00+00:00", "2021-03-28T03:00:00.000"},
      {"America/New_York", u"2021-11-10T09:30:00.123Z", "2021-11-10T04:30:00.123"},
      {"America/New_York", u"2021-11-10T00:30:00+01:00", "2021-11-09T18:30:00.000"},
      {"America/New_York", u"2021-11-07T05:30:00Z", "2021-11-07T01:30:00.000"},
      {"America/New_York", u"2021-11-07T06:30:00Z", "2021-11-07T01:30:00.000"},
      {"America/New_York", u"2021-03-14T06:59:59", "2021-03-14T01:59:59.000"},
      {"America/New_York", u"2021-03-14T07:00:00", "2021-03-14T03:00:00.000"},
  };
  for (const auto& c : cases) {
    LocalZone local(c.zone);
    const auto value = lorvani::IsoInstantToLocal(c.text);
    ASSERT_TRUE(value) << c.zone << ": " << U8(c.text);
    EXPECT_EQ(Shown(*value), c.local) << c.zone << ": " << U8(c.text);
  }
}
#endif

}  // namespace
