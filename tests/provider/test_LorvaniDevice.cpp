#include <gtest/gtest.h>

#include "TestText.h"
#include "provider/uZVPA_LORVANI_10.h"

using namespace zv;
using zvtest::FailureOf;
using zvtest::T;
using zvtest::U8;

namespace {

std::unique_ptr<kPayment_LORVANI> Device(const std::string& aConnection, const std::string& aParameters) {
  kPaymentHandler handler;
  handler.Deserialize(T("<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>device</LogId>" + aConnection +
                        "<Parameters>" + aParameters + "</Parameters></Request>"),
                      {zvPaymentHandlerDocumentType::dt_Open});
  return std::make_unique<kPayment_LORVANI>(handler);
}

const std::string kHttp = "<Connection><Type>HTTP</Type></Connection>";

TEST(LorvaniDevice, StagingChoosesTheBaseUrlWhenTheConnectionNamesNone) {
  const std::pair<const char*, const char16_t*> cases[] = {
      {"<Staging>TRUE</Staging>", kPayment_LORVANI::kStagingBaseURL},
      {"<STAGING>true</STAGING>", kPayment_LORVANI::kStagingBaseURL},
      {"<Staging>yes</Staging>", kPayment_LORVANI::kProductionBaseURL},
      {"<Staging>1</Staging>", kPayment_LORVANI::kProductionBaseURL},
      {"", kPayment_LORVANI::kProductionBaseURL}};
  for (auto [parameters, url] : cases) EXPECT_EQ(Device(kHttp, parameters)->BaseURL(), url) << parameters;
  EXPECT_TRUE(StartsWith(kPayment_LORVANI::kStagingBaseURL, u"https://"));
  EXPECT_TRUE(EndsWith(kPayment_LORVANI::kProductionBaseURL, u"/v1/instore/"));
}

TEST(LorvaniDevice, AConfiguredUrlGetsItsFinalSlash) {
  const std::pair<const char*, const char*> cases[] = {
      {"<URL>https://p.example/v1/instore</URL>", "https://p.example/v1/instore/"},
      {"<URL>https://p.example/v1/instore/</URL>", "https://p.example/v1/instore/"},
      {"<Address>127.0.0.1</Address><Port>8443</Port>", "127.0.0.1:8443/"},
      {"<Address>p.example</Address>", "p.example/"}};
  for (auto [connection, url] : cases) {
    auto device = Device(std::string("<Connection><Type>HTTP</Type>") + connection + "</Connection>",
                         "<Staging>true</Staging>");
    EXPECT_EQ(U8(device->BaseURL()), url) << connection;
  }
}

TEST(LorvaniDevice, NeedsAnHttpConnection) {
  EXPECT_NE(FailureOf([] { Device("", "<Bearer>b</Bearer>"); }), "<no failure>");
  EXPECT_NE(FailureOf([] { Device("<Connection><Type>TCP</Type></Connection>", ""); }), "<no failure>");
}

}  // namespace
