// Any bytes as the body, and any status, of the provider's answer to a PAY (payment,
// refund or void), through the exported PAY of an open device whose URL is a local
// server that answers with those bytes; the JSON helpers also read the body directly.
//
// Input: two bytes of status (big-endian, taken modulo 1000), one byte of action (PAY,
// REFUND or VOID by its value modulo 3), then the body.

#include <cstdio>
#include <string>

#include "FuzzEnvironment.h"
#include "base/Text.h"
#include "provider/uZVPA_LORVANI_10_JSONUtils.h"

namespace {

std::u16string gHandle;

std::u16string Ascii(const std::string& aText) { return std::u16string(aText.begin(), aText.end()); }

// The text between <aName> and </aName> in a response; empty when absent.
std::u16string Element(const std::u16string& aResponse, const std::u16string& aName) {
  const std::u16string open = u"<" + aName + u">", close = u"</" + aName + u">";
  const size_t start = aResponse.find(open);
  if (start == std::u16string::npos) return {};
  const size_t end = aResponse.find(close, start);
  return aResponse.substr(start + open.size(), end - start - open.size());
}

void ReadDirectly(const std::string& aBody) {
  using zv::kJSONUtils;
  const zv::Text text = zv::FromUtf8(aBody);
  const auto document = kJSONUtils::Parse(text);
  for (const char16_t* path : {u"token", u"message", u"refundedAt", u"a.b[0]", u"[1].token", u"", u"x[0][1].y"}) {
    (void)kJSONUtils::GetString(document.get(), path);
    (void)kJSONUtils::GetBoolean(document.get(), path);
    (void)kJSONUtils::GetObject(document.get(), path);
    (void)kJSONUtils::GetArray(document.get(), path);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zvfuzz::ConnectDirectly();
  const int port = zvfuzz::AnswerServer::Instance().Port();
  const zvfuzz::Answer open = zvfuzz::Call(
      OPEN, Ascii("<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>fuzz</LogId><Connection><Type>HTTP</Type>"
                  "<URL>http://127.0.0.1:" + std::to_string(port) + "/v1/instore/</URL></Connection>"
                  "<Parameters><Bearer>fuzz-token</Bearer><TlsVerify>false</TlsVerify></Parameters></Request>"));
  gHandle = Element(open.Response, u"Handle");
  if (open.Result != 0 || gHandle.empty()) __builtin_trap();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  if (aSize < 3) return -1;
  const int status = ((aData[0] << 8) | aData[1]) % 1000;
  static const char* const kActions[] = {"PAY", "REFUND", "VOID"};
  const char* action = kActions[aData[2] % 3];
  const std::string body(reinterpret_cast<const char*>(aData) + 3, aSize - 3);
  ReadDirectly(body);

  char statusLine[64];
  std::snprintf(statusLine, sizeof statusLine, "HTTP/1.1 %03d Answer\r\n", status);
  zvfuzz::AnswerServer::Instance().SetAnswer(std::string(statusLine) +
                                             "Content-Type: application/json\r\nContent-Length: " +
                                             std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
  const zvfuzz::Answer answer = zvfuzz::Call(
      PAY, u"<Request><Handle>" + gHandle + u"</Handle><Payment><Action>" + Ascii(action) +
               u"</Action><Amount>12.50</Amount><Currency>EUR</Currency><Attributes>PRE-1</Attributes>"
               u"<StoreCode>S1</StoreCode><TillCode>T2</TillCode><OperatorId>op</OperatorId><Reference>fuzz"
               u"</Reference><RefundReference><PaymentId>ord_1</PaymentId></RefundReference></Payment>"
               u"</Request>");
  // A payment is confirmed only by a 2xx answer; every failure says why.
  const bool confirmed = answer.Result == 0;
  if (confirmed && (status < 200 || status > 299)) __builtin_trap();
  if (!confirmed && answer.Error.empty()) __builtin_trap();
  return 0;
}
