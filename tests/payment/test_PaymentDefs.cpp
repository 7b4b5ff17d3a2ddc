#include <gtest/gtest.h>

#include "TestText.h"
#include "payment/uZVPaymentDefs.h"

using namespace zv;

namespace {

TEST(PaymentNetwork, DecodesEveryValueToItsCode) {
  const std::pair<zvPaymentNetwork, const char16_t*> cases[] = {
      {zvPaymentNetwork::Bank, u"bank"},         {zvPaymentNetwork::NHS, u"NHS"},
      {zvPaymentNetwork::MIGLunch, u"miglunch"}, {zvPaymentNetwork::AliPay, u"alipay"},
      {zvPaymentNetwork::Lorvani, u"lorvani"},   {zvPaymentNetwork::Other, u"other"},
      {zvPaymentNetwork::SamsungPay, u"samsungpay"}};
  for (auto [network, code] : cases) EXPECT_EQ(DecodeNetwork(network), code);
  EXPECT_EQ(DecodeNetwork(static_cast<zvPaymentNetwork>(43)), u"unrecognized");
  EXPECT_EQ(DecodeNetwork(static_cast<zvPaymentNetwork>(255)), u"unrecognized");
}

TEST(PaymentNetwork, EncodesOnlyTheFirstSeventeenCodes) {
  const std::pair<const char16_t*, zvPaymentNetwork> cases[] = {
      {u"visa", zvPaymentNetwork::Visa},         {u"VISA", zvPaymentNetwork::Visa},
      {u"ViSa", zvPaymentNetwork::Visa},         {u"NHS", zvPaymentNetwork::NHS},
      {u"nhs", zvPaymentNetwork::NHS},           {u"miglunch", zvPaymentNetwork::MIGLunch},
      {u"alipay", zvPaymentNetwork::Other},      {u"lorvani", zvPaymentNetwork::Other},
      {u"", zvPaymentNetwork::Other},            {u"unknown", zvPaymentNetwork::Other},
      {u"bank", zvPaymentNetwork::Bank}};
  for (auto [code, network] : cases) EXPECT_EQ(EncodeNetwork(code), network) << zvtest::U8(code);
}

TEST(TransactionType, DecodesToItsCode) {
  EXPECT_EQ(DecodeTransactionType(zvPaymentTransactionType::ptt_RFID), u"");
  EXPECT_EQ(DecodeTransactionType(zvPaymentTransactionType::ptt_ClessMagStripe), u"CLESSMAGSTRIPE");
  EXPECT_EQ(DecodeTransactionType(zvPaymentTransactionType::ptt_Chip), u"CHIP");
  EXPECT_EQ(DecodeTransactionType(zvPaymentTransactionType::ptt_Other), u"OTHER");
}

TEST(ResultRecords, ClearedDefaultsDifferFromTheFreshRecord) {
  const int_PAY_result cleared = int_PAY_result::Cleared();
  EXPECT_EQ(cleared.TransactionType, zvPaymentTransactionType::ptt_Other);
  EXPECT_EQ(cleared.PaymentNetwork, zvPaymentNetwork::Other);
  EXPECT_TRUE(cleared.Error);
  EXPECT_EQ(cleared.PaymentDateTime, 0.0);
  EXPECT_EQ(cleared.PaymentAmount.Scaled(), 0);
  EXPECT_TRUE(cleared.DeviceId.empty() && cleared.ErrorText.empty() && cleared.RawResponse.empty());

  const int_PAY_result fresh;
  EXPECT_FALSE(fresh.Error);
  EXPECT_EQ(fresh.PaymentNetwork, zvPaymentNetwork::Bank);

  EXPECT_TRUE(int_REPRINT_result::Cleared().Error);
  EXPECT_TRUE(int_GETSTATUS_result::Cleared().Error);
  EXPECT_TRUE(int_DAYCLOSE_result::Cleared().Error);
  EXPECT_TRUE(int_GETTOTALS_result::Cleared().Error);
  EXPECT_FALSE(int_DAYCLOSE_result().Error);
}

}  // namespace
