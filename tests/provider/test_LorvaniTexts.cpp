#include <gtest/gtest.h>

#include "TestText.h"
#include "platform/Clock.h"
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

TEST(LorvaniTexts, PaymentBodyIsCompactAsciiInMemberOrder) {
  EXPECT_EQ(U8(lorvani::PayBody(Receipt(), Moment())),
            R"({"totalAmount":{"amount":"12.5","currency":"EUR"},"preApprovalCode":"PRE-1",)"
            R"("requestId":"S1-T2-20210304050607089","merchantOperatorId":"op\/7",)"
            R"("merchantReference":"Caf\u00E9 \"B\"\t\\"})");
}

TEST(LorvaniTexts, RefundBodyCarriesTheOrdersToken) {
  kPaymentReceipt r = Receipt();
  r.fAmount = Currency::FromUnits(100);
  EXPECT_EQ(U8(lorvani::RefundBody(r, Moment())),
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

TEST(LorvaniTexts, RefundedAtIsReadAsUtcAndShownInLocalTime) {
  const DateTime utc = *TryEncodeDateTime({2021, 11, 10, 9, 30, 0, 123});
  const DateTime local = UtcToLocal(utc);
  for (const char16_t* text : {u"2021-11-10T09:30:00.123Z", u"2021-11-10T09:30:00.123456Z",
                               u"2021-11-10T10:30:00.123+01:00", u"2021-11-10T09:30:00.123"}) {
    auto value = lorvani::IsoInstantToLocal(text);
    ASSERT_TRUE(value) << U8(text);
    EXPECT_EQ(FormatIsoZ(*value), FormatIsoZ(local)) << U8(text);
  }
  for (const char16_t* bad : {u"", u"yesterday", u"2021-13-01T00:00:00Z"})
    EXPECT_FALSE(lorvani::IsoInstantToLocal(bad)) << U8(bad);
}

}  // namespace
