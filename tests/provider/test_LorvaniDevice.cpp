#include <gtest/gtest.h>

#include "NullIOHandler.h"
#include "TestText.h"
#include "device/uZVIOHandler_Base.h"
#include "http/uZV_HTTPClient.h"
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
  EXPECT_EQ(FailureOf([] { Device("<Connection><Type>TCP</Type></Connection>", ""); }), "Invalid class typecast");
}

// A handler of a class other than HTTP; its channel does nothing.
class OtherHandler : public zvtest::NullIOHandler {
 public:
  OtherHandler() : NullIOHandler(nullptr, u"", u"") {}
  Text ClassName() const override { return u"OtherHandler"; }
};

// The device over a handler of the test's choice.
class DeviceOver : public kPayment_LORVANI {
 public:
  DeviceOver(const kPaymentHandler& aHandler, std::unique_ptr<kIOHandler> aIOHandler)
      : kPayment_LORVANI(aHandler, std::move(aIOHandler)) {}
};

TEST(LorvaniDevice, AHandlerOfAnotherClassIsAnInvalidTypecast) {
  EXPECT_EQ(FailureOf([] {
              kPaymentHandler handler;
              handler.Deserialize(T("<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>device</LogId>" + kHttp +
                                    "</Request>"),
                                  {zvPaymentHandlerDocumentType::dt_Open});
              DeviceOver device(handler, std::make_unique<OtherHandler>());
            }),
            "Invalid class typecast");
}

// The bearer token never travels in clear text unless TLS checks are off explicitly.
TEST(LorvaniDevice, PlainHttpIsRefusedUnlessTlsVerifyIsFalse) {
  const std::string refused = U8(kPayment_LORVANI::kPlainHttpRefused);
  const struct {
    const char* connection;
    const char* parameters;
    const char* outcome;  // the base URL, or the failure
  } cases[] = {
      {"<URL>http://p.example/v1/instore/</URL>", "", refused.c_str()},
      {"<URL>HTTP://p.example/v1/instore</URL>", "", refused.c_str()},
      {"<URL>http://p.example/v1/instore/</URL>", "<TlsVerify>true</TlsVerify>", refused.c_str()},
      {"<URL>http://p.example/v1/instore/</URL>", "<TlsVerify>no</TlsVerify>", refused.c_str()},
      {"<Address>http://p.example</Address><Port>8080</Port>", "", refused.c_str()},
      {"<URL>http://p.example/v1/instore/</URL>", "<TlsVerify>false</TlsVerify>", "http://p.example/v1/instore/"},
      {"<URL>Http://p.example/v1/instore</URL>", "<TlsVerify>FALSE</TlsVerify>", "Http://p.example/v1/instore/"},
      {"<URL>https://p.example/v1/instore/</URL>", "", "https://p.example/v1/instore/"},
      {"<URL>httpsx.example/v1/instore/</URL>", "", "httpsx.example/v1/instore/"},
      {"<Address>127.0.0.1</Address><Port>8080</Port>", "", "127.0.0.1:8080/"},
  };
  for (const auto& c : cases) {
    std::string outcome;
    try {
      outcome = U8(Device(std::string("<Connection><Type>HTTP</Type>") + c.connection + "</Connection>",
                          std::string("<Bearer>b</Bearer>") + c.parameters)
                       ->BaseURL());
    } catch (const kException& e) {
      outcome = U8(e.Message());
    }
    EXPECT_EQ(outcome, c.outcome) << c.connection << c.parameters;
  }
}

// What the device gives the client of each request, time-outs first: 10 s to
// connect, 120 s without a byte.
TEST(LorvaniDevice, TheClientGetsTheProvidersSettings) {
  for (bool verify : {true, false}) {
    ZV_HttpClient client;
    lorvani::ConfigureClient(client, u"tok-1", u"/etc/extra-ca.pem", verify, u"http://proxy.shop.lan:3128");
    EXPECT_EQ(client.ConnectTimeout(), 10);
    EXPECT_EQ(client.ReadTimeout(), 120);
    EXPECT_EQ(client.UserAgent(), u"Zorvik PXR Driver");
    EXPECT_EQ(client.AuthType(), zvHTTPAuthType::at_Bearer);
    EXPECT_EQ(client.Bearer(), u"tok-1");
    EXPECT_EQ(client.ContentType(), u"application/json");
    EXPECT_EQ(client.TlsCaFile(), u"/etc/extra-ca.pem");
    EXPECT_EQ(client.TlsVerify(), verify);
    EXPECT_EQ(client.Proxy(), u"http://proxy.shop.lan:3128");
  }
}

}  // namespace
