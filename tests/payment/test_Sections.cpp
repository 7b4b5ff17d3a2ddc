#include <gtest/gtest.h>

#include <functional>

#include "CaseName.h"
#include "TestText.h"
#include "base/Exception.h"
#include "payment/uZvPayment.h"

using namespace zv;
using zvtest::T;
using zvtest::U8;

namespace {

using Types = zvPaymentHandlerDocumentTypes;
using enum zvPaymentHandlerDocumentType;

// Reads a request with the given children of the root; the failure message or "".
std::string Read(kPaymentHandler& aHandler, const std::string& aChildren, Types aTypes) {
  try {
    aHandler.Deserialize(T("<Request><Driver>D</Driver>" + aChildren + "</Request>"), aTypes);
  } catch (const kException& e) {
    return U8(e.Message());
  }
  return "";
}

TEST(PaymentSection, ReadsEveryChild) {
  kPaymentHandler h;
  ASSERT_EQ(Read(h,
                 "<Payment><MerchantCode>M</MerchantCode><StoreCode>S1</StoreCode><TillCode>T2</TillCode>"
                 "<Reference>R &amp; Co</Reference><ReceiptSubType>sub</ReceiptSubType><Amount>12.50</Amount>"
                 "<Currency>EUR</Currency><TipAmount>1</TipAmount><RequestTipAmount>true</RequestTipAmount>"
                 "<Attributes>PRE-1</Attributes><MaxItems>3</MaxItems><MaxAmount>99.99</MaxAmount>"
                 "<TokenizeCard>1</TokenizeCard><TokenReference>tr</TokenReference>"
                 "<ReceiptColCount>48</ReceiptColCount><PrintLocation>EFT</PrintLocation>"
                 "<PaymentChannel>MVP</PaymentChannel><Action>REFUND</Action><Phase>COMMIT</Phase>"
                 "<OperatorId>op7</OperatorId><RefundReference><PaymentId>tok_1</PaymentId>"
                 "<PaymentDateTime>2021-11-10T10:30:00</PaymentDateTime></RefundReference>"
                 "<ReceiptId>rc</ReceiptId></Payment>",
                 {dt_Pay}),
            "");
  const kPaymentReceipt& p = h.fPaymentReceipt;
  EXPECT_EQ(p.fMerchantCode, u"M");
  EXPECT_EQ(p.fStoreCode, u"S1");
  EXPECT_EQ(p.fTillCode, u"T2");
  EXPECT_EQ(p.fReference, u"R & Co");
  EXPECT_EQ(p.fReceiptSubType, u"sub");
  EXPECT_EQ(p.fAmount.Scaled(), 125000);
  EXPECT_EQ(p.fCurrency, u"EUR");
  EXPECT_EQ(p.fTipAmount.Scaled(), 10000);
  EXPECT_TRUE(p.fRequestTipAmount);
  EXPECT_EQ(p.fAttributes, u"PRE-1");
  EXPECT_EQ(p.fMaxItems, 3);
  EXPECT_EQ(p.fMaxAmount.Scaled(), 999900);
  EXPECT_TRUE(p.fTokenizeCard);
  EXPECT_EQ(p.fTokenReference, u"tr");
  EXPECT_EQ(p.fReceiptColCount, 48);
  EXPECT_EQ(p.fPrintLocation, ZvPrintLocation::pl_EFT);
  EXPECT_EQ(p.fPaymentChannel, ZvPaymentChannel::pc_MealVoucherProvider);
  EXPECT_EQ(p.fAction, zvPaymentAction::Refund);
  EXPECT_EQ(p.fPhase, zvPaymentPhase::Commit);
  EXPECT_EQ(p.fOperatorId, u"op7");
  EXPECT_EQ(p.fRefundReference.PaymentNumber, u"tok_1");
  EXPECT_EQ(FormatIsoZ(p.fRefundReference.PaymentDateTime), u"2021-11-10T10:30:00.000Z");
  EXPECT_EQ(p.fReceiptId, u"rc");
}

TEST(PaymentSection, EmptyElementGivesTheDefaults) {
  kPaymentHandler h;
  ASSERT_EQ(Read(h, "<Payment/>", {dt_Pay}), "");
  const kPaymentReceipt& p = h.fPaymentReceipt;
  EXPECT_EQ(p.fAction, zvPaymentAction::Pay);
  EXPECT_EQ(p.fPaymentChannel, ZvPaymentChannel::pc_Standard);
  EXPECT_EQ(p.fPhase, zvPaymentPhase::None);
  EXPECT_EQ(p.fPrintLocation, ZvPrintLocation::pl_ECR);
  EXPECT_EQ(p.fAmount.Scaled(), 0);
  EXPECT_EQ(p.fReceiptColCount, 32);
  EXPECT_EQ(p.fRefundReference.PaymentNumber, u"");
  EXPECT_EQ(p.fRefundReference.PaymentDateTime, 0.0);
}

struct SectionCase {
  const char* payment;  // children of <Payment>
  const char* failure;  // "" when reading succeeds
  std::function<void(const kPaymentReceipt&)> check;
};

// The children's element names and texts: Action_pay, TokenizeCard_empty,
// RefundReference_PaymentId_abc.
std::string NameOf(const SectionCase& aCase) {
  const std::string xml = aCase.payment;
  std::string name;
  for (size_t at = 0; at < xml.size();) {
    const size_t open = xml.find('<', at);
    if (open != at) name.append("_").append(zvtest::CaseName(xml.substr(at, open - at)));
    if (open == std::string::npos) break;
    const size_t close = xml.find('>', open);
    const std::string tag = xml.substr(open + 1, close - open - 1);
    at = close + 1;
    if (tag.front() == '/') continue;
    if (tag.back() == '/') {
      name.append("_").append(tag, 0, tag.size() - 1).append("_empty");
    } else {
      name.append("_").append(tag);
      if (xml.compare(at, tag.size() + 3, std::string("</").append(tag).append(">")) == 0) name += "_empty";
    }
  }
  return name.substr(1);
}
void PrintTo(const SectionCase& aCase, std::ostream* aOut) { *aOut << NameOf(aCase); }

class PaymentSectionCases : public ::testing::TestWithParam<SectionCase> {};

TEST_P(PaymentSectionCases, ReadOrFail) {
  const SectionCase& c = GetParam();
  kPaymentHandler h;
  EXPECT_EQ(Read(h, std::string("<Payment>") + c.payment + "</Payment>", {dt_Pay}), c.failure) << c.payment;
  if (c.check) c.check(h.fPaymentReceipt);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PaymentSectionCases,
    ::testing::Values(
        SectionCase{"<Action>pay</Action>", "Action pay invalid. Allowed values are: PAY,REFUND,VOID.", nullptr},
        SectionCase{"<Action>VOID</Action>", "",
                    [](const kPaymentReceipt& p) { EXPECT_EQ(p.fAction, zvPaymentAction::Void); }},
        SectionCase{"<Action></Action>", "",
                    [](const kPaymentReceipt& p) { EXPECT_EQ(p.fAction, zvPaymentAction::Pay); }},
        SectionCase{"<Phase>NONE</Phase>", "",
                    [](const kPaymentReceipt& p) { EXPECT_EQ(p.fPhase, zvPaymentPhase::None); }},
        SectionCase{"<Phase>none</Phase>", "Phase none invalid. Allowed values are: BEGIN,DO,COMMIT,ROLLBACK.",
                    nullptr},
        SectionCase{"<PaymentChannel>std</PaymentChannel>",
                    "Payment Channel std invalid. Allowed values are: STD,MVP,NHS.", nullptr},
        SectionCase{"<PaymentChannel>NHS</PaymentChannel>", "",
                    [](const kPaymentReceipt& p) {
                      EXPECT_EQ(p.fPaymentChannel, ZvPaymentChannel::pc_NationalHealthService);
                    }},
        SectionCase{"<PrintLocation></PrintLocation>", "",
                    [](const kPaymentReceipt& p) { EXPECT_EQ(p.fPrintLocation, ZvPrintLocation::pl_ECR); }},
        SectionCase{"<PrintLocation>eft</PrintLocation>", "Payment Location eft invalid. Allowed values are: ECR,EFT.",
                    nullptr},
        SectionCase{"<ReceiptColCount>0</ReceiptColCount>", "",
                    [](const kPaymentReceipt& p) { EXPECT_EQ(p.fReceiptColCount, 32); }},
        SectionCase{"<ReceiptColCount>-5</ReceiptColCount>", "",
                    [](const kPaymentReceipt& p) { EXPECT_EQ(p.fReceiptColCount, 32); }},
        SectionCase{"<RefundReference><PaymentId>abc</PaymentId></RefundReference>", "",
                    [](const kPaymentReceipt& p) {
                      EXPECT_EQ(p.fRefundReference.PaymentNumber, u"abc");
                      EXPECT_EQ(p.fRefundReference.PaymentDateTime, 0.0);
                    }},
        SectionCase{"<RefundReference><PaymentDateTime>x</PaymentDateTime></RefundReference>",
                    "Error in processing node PaymentDateTime as datetime.\r\nInvalid date string: x", nullptr},
        SectionCase{"<Amount>12,50</Amount>",
                    "Error in processing node Amount as currency.\r\n'12,50' is not a valid floating point value",
                    nullptr},
        SectionCase{"<TokenizeCard/>",
                    "Error in processing node TokenizeCard as boolean.\r\n'' is not a valid boolean value", nullptr},
        SectionCase{"<MaxItems>many</MaxItems>",
                    "Error in processing node MaxItems as integer.\r\n'many' is not a valid integer value", nullptr},
        // The first failure ends the reading: Amount comes before Action.
        SectionCase{"<Action>bad</Action><Amount>x</Amount>",
                    "Error in processing node Amount as currency.\r\n'x' is not a valid floating point value",
                    nullptr}),
    zvtest::ByNameOf());

TEST(PaymentSection, CodeTablesQuoteALongCodeCut) {
  using zvtest::Quoted;
  const std::string code = zvtest::LongValue(1000);
  const std::pair<const char*, std::string> cases[] = {
      {"Action", "Action " + Quoted(code) + " invalid. Allowed values are: PAY,REFUND,VOID."},
      {"Phase", "Phase " + Quoted(code) + " invalid. Allowed values are: BEGIN,DO,COMMIT,ROLLBACK."},
      {"PaymentChannel", "Payment Channel " + Quoted(code) + " invalid. Allowed values are: STD,MVP,NHS."},
      {"PrintLocation", "Payment Location " + Quoted(code) + " invalid. Allowed values are: ECR,EFT."},
  };
  for (const auto& [element, message] : cases) {
    kPaymentHandler h;
    const std::string child = std::string("<") + element + ">" + code + "</" + element + ">";
    EXPECT_EQ(Read(h, "<Payment>" + child + "</Payment>", {dt_Pay}), message) << element;
  }
  kPaymentHandler h;
  EXPECT_EQ(Read(h, "<DayClose><PrintLocation>" + code + "</PrintLocation></DayClose>", {dt_DayClose}),
            "Payment Location " + Quoted(code) + " invalid. Allowed values are: ECR,EFT.");
}

TEST(PaymentSection, MustBeADirectChildOfTheRoot) {
  kPaymentHandler h;
  EXPECT_EQ(Read(h, "<Wrapper><Payment/></Wrapper>", {dt_Pay}), "Payment node not found");
  EXPECT_EQ(Read(h, "", {dt_PayReprint}), "Payment node not found");
  EXPECT_EQ(Read(h, "<payment/>", {dt_Pay}), "Payment node not found");
}

TEST(ReportSections, ReadTheirOwnElement) {
  kPaymentHandler h;
  ASSERT_EQ(Read(h,
                 "<DayClose><StoreCode>S</StoreCode><TillCode>T</TillCode><PrintLocation>EFT</PrintLocation>"
                 "<Reference>R</Reference></DayClose>",
                 {dt_DayClose}),
            "");
  EXPECT_EQ(h.fDayClose.fStoreCode, u"S");
  EXPECT_EQ(h.fDayClose.fTillCode, u"T");
  EXPECT_EQ(h.fDayClose.fPrintLocation, ZvPrintLocation::pl_EFT);
  EXPECT_EQ(h.fDayClose.fReference, u"R");

  kPaymentHandler t;
  ASSERT_EQ(Read(t, "<GetTotals><StoreCode>S9</StoreCode></GetTotals>", {dt_GetTotals}), "");
  EXPECT_EQ(t.fTotals.fStoreCode, u"S9");
  EXPECT_EQ(t.fTotals.fPrintLocation, ZvPrintLocation::pl_ECR);

  kPaymentHandler f;
  EXPECT_EQ(Read(f, "<GetTotals/>", {dt_DayClose}), "DayClose node not found");
  EXPECT_EQ(Read(f, "<DayClose/>", {dt_GetTotals}), "GetTotals node not found");
  EXPECT_EQ(Read(f, "<DayClose><PrintLocation>X</PrintLocation></DayClose>", {dt_DayClose}),
            "Payment Location X invalid. Allowed values are: ECR,EFT.");
}

TEST(SectionChoice, OpenAndCloseReadNoSection) {
  kPaymentHandler h;
  EXPECT_EQ(Read(h, "<Payment><Action>bad</Action></Payment>", {dt_Open}), "");
  EXPECT_EQ(Read(h, "<Payment><Action>bad</Action></Payment>", {}), "");
  // Payment is tested first when several types are given.
  EXPECT_EQ(Read(h, "<DayClose/>", {dt_DayClose, dt_Pay}), "Payment node not found");
}

}  // namespace
