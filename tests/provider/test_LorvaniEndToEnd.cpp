// The driver end to end, as a host uses it: loaded by path, called through its
// exports, paying against the local provider simulator over HTTPS.

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>

#include "CommandCalls.h"
#include "HostLibrary.h"
#include "HttpTestServer.h"
#include "LorvaniSim.h"
#include "TempDir.h"
#include "TestText.h"
#include "payment/uZvPayment.h"
#include "provider/uZVPA_LORVANI_10.h"

using zvtest::Element;
using zvtest::HostLibrary;
using zvtest::LorvaniSim;
using zvtest::ReadFile;
using zvtest::T;
using zvtest::U8;

namespace {

const std::string kBearer = "test-bearer-7f3a";

struct PayOptions {
  std::string action = "PAY";
  std::string amount = "12.50";
  std::string code = "PRE-1";
  std::string token;  // RefundReference/PaymentId
  std::string operatorId = "op/7";
  std::string reference = "Caf\xC3\xA9 42";
  std::string requestId;  // of an earlier attempt; empty: a new request
  std::string store = "S1";
};

class LorvaniEndToEnd : public ::testing::Test {
 protected:
  // Opens a device on the simulator; aExtraParameters are added to Parameters.
  int Open(const std::string& aUrl, const std::string& aExtraParameters = "", bool aTrustSim = true) {
    const std::string request =
        "<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>" + LogId() + "</LogId>"
        "<Connection><Type>HTTP</Type><URL>" + aUrl + "</URL></Connection><Parameters><Bearer>" + kBearer +
        "</Bearer>" + (aTrustSim ? "<TlsCaFile>" + sim.CaFile() + "</TlsCaFile>" : "") + aExtraParameters +
        "</Parameters></Request>";
    auto a = lib.Call("OPEN", T(request));
    EXPECT_EQ(a.result, 0) << U8(a.error);
    return std::stoi(Element(U8(a.response), "Handle"));
  }

  HostLibrary::Answer Pay(int aHandle, const PayOptions& o = {}) {
    std::string payment = "<Action>" + o.action + "</Action><Amount>" + o.amount +
                          "</Amount><Currency>EUR</Currency><Attributes>" + o.code + "</Attributes><StoreCode>" +
                          o.store + "</StoreCode><TillCode>T2</TillCode><OperatorId>" + o.operatorId +
                          "</OperatorId><Reference>" + o.reference + "</Reference>";
    if (!o.requestId.empty()) payment += "<RequestId>" + o.requestId + "</RequestId>";
    if (!o.token.empty()) payment += "<RefundReference><PaymentId>" + o.token + "</PaymentId></RefundReference>";
    return lib.Call("PAY", T("<Request><Handle>" + std::to_string(aHandle) + "</Handle><Payment>" + payment +
                             "</Payment></Request>"));
  }

  static std::string LogId() {
    return std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
           std::to_string(::getpid());
  }

  LorvaniSim sim{{"--token", kBearer}};
  HostLibrary lib;
};

std::string Response(const HostLibrary::Answer& a) { return U8(a.response); }

TEST_F(LorvaniEndToEnd, APaymentPostsTheOrderAndAnswersItsToken) {
  const int handle = Open(sim.BaseUrl());
  const auto a = Pay(handle);
  ASSERT_EQ(a.result, 0) << U8(a.error);
  const std::string r = Response(a);
  EXPECT_EQ(std::count(r.begin(), r.end(), '\n'), 26);
  EXPECT_EQ(Element(r, "Error"), "False");
  EXPECT_EQ(Element(r, "PaymentAmount"), "12.5");
  EXPECT_EQ(Element(r, "PaymentCurrency"), "EUR");
  EXPECT_EQ(Element(r, "PaymentNetwork"), "lorvani");
  EXPECT_EQ(Element(r, "TransactionType"), "OTHER");
  EXPECT_EQ(Element(r, "PaymentNumber"), "PRE-1");
  const std::string token = Element(r, "RefundReference");
  EXPECT_FALSE(token.empty());
  EXPECT_EQ(Element(r, "TraceAuditId"), token);

  const auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& q = requests[0];
  EXPECT_EQ(q.Method, "POST");
  EXPECT_EQ(q.Path, "/v1/instore/orders");
  EXPECT_EQ(q.Header("Authorization"), "Bearer " + kBearer);
  EXPECT_EQ(q.Header("Content-Type"), "application/json");
  EXPECT_EQ(q.Header("User-Agent"), "Zorvik PXR Driver");
  EXPECT_FALSE(q.HasHeader("Accept-Encoding"));
  EXPECT_TRUE(std::regex_match(
      q.Body, std::regex(R"(\{"totalAmount":\{"amount":"12\.5","currency":"EUR"\},"preApprovalCode":"PRE-1",)"
                         R"("requestId":"S1-T2-\d{17}","merchantOperatorId":"op\\/7","merchantReference":"Caf\\u00E9 42"\})")))
      << q.Body;
}

TEST_F(LorvaniEndToEnd, RefundAndVoidPostTheSameRefundOfTheOrder) {
  const int handle = Open(sim.BaseUrl());
  const std::string token = Element(Response(Pay(handle)), "RefundReference");
  PayOptions refund;
  refund.action = "REFUND";
  refund.amount = "2.50";
  refund.token = token;
  const auto r = Pay(handle, refund);
  ASSERT_EQ(r.result, 0) << U8(r.error);
  EXPECT_EQ(Element(Response(r), "RefundReference"), token);
  EXPECT_FALSE(Element(Response(r), "TraceAuditId").empty());
  EXPECT_EQ(Element(Response(r), "PaymentAmount"), "2.5");
  refund.action = "VOID";
  const auto v = Pay(handle, refund);
  ASSERT_EQ(v.result, 0) << U8(v.error);

  const auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 3u);
  const std::regex id(R"("requestId":"S1-T2-\d{17}")");
  for (size_t i : {1u, 2u}) {
    EXPECT_EQ(requests[i].Path, "/v1/instore/orders/" + token + "/refund");
    EXPECT_TRUE(std::regex_match(
        requests[i].Body,
        std::regex(R"(\{"token":")" + token +
                   R"(","requestId":"S1-T2-\d{17}","merchantOperatorId":"op\\/7","refundAmount":\{"amount":"2\.5","currency":"EUR"\}\})")))
        << requests[i].Body;
  }
  EXPECT_EQ(std::regex_replace(requests[1].Body, id, ""), std::regex_replace(requests[2].Body, id, ""));
}

// The provider refused: its message, or the status text, and nothing more to learn.
TEST_F(LorvaniEndToEnd, ProviderRefusalsBecomeTheErrorText) {
  const struct {
    const char* code;
    const char* errorText;
  } cases[] = {
      {"FAULT-NOT-JSON", "Bad Request"},
      {"FAULT-DECLINED", "The customer's pre-approval was declined"},
  };
  const int handle = Open(sim.BaseUrl());
  for (const auto& c : cases) {
    PayOptions o;
    o.code = c.code;
    const auto a = Pay(handle, o);
    EXPECT_EQ(a.result, 0xFFFF) << c.code;
    EXPECT_EQ(U8(a.error), c.errorText) << c.code;
    EXPECT_EQ(Element(Response(a), "Error"), "True") << c.code;
    EXPECT_EQ(Element(Response(a), "LogFileName").empty(), false) << c.code;
  }
}

TEST_F(LorvaniEndToEnd, AnErrorAnswerThatIsJsonButNoObjectFailsTheCommand) {
  const int handle = Open(sim.BaseUrl());
  for (const char* code : {"FAULT-JSON-ARRAY", "FAULT-JSON-STRING", "FAULT-JSON-NUMBER"}) {
    PayOptions o;
    o.code = code;
    const auto a = Pay(handle, o);
    EXPECT_EQ(a.result, 0xFFFF) << code;
    EXPECT_EQ(U8(a.error), "Invalid class typecast") << code;
    // A raised failure leaves the cleared record.
    EXPECT_EQ(Element(Response(a), "LogFileName"), "") << code;
    EXPECT_EQ(Element(Response(a), "PaymentNetwork"), "other") << code;
  }
}

// A UTF-8 byte-order mark before the JSON is no reason to lose the tokens.
TEST_F(LorvaniEndToEnd, AnAnswerWithAByteOrderMarkIsRead) {
  const int handle = Open(sim.BaseUrl());
  PayOptions o;
  o.code = "FAULT-BOM";
  const auto a = Pay(handle, o);
  ASSERT_EQ(a.result, 0) << U8(a.error);
  const std::string token = Element(Response(a), "RefundReference");
  EXPECT_TRUE(token.starts_with("ord_")) << token;
  EXPECT_EQ(Element(Response(a), "TraceAuditId"), token);

  sim.SetFault("FAULT-BOM");
  PayOptions refund;
  refund.action = "REFUND";
  refund.amount = "1";
  refund.token = token;
  const auto r = Pay(handle, refund);
  ASSERT_EQ(r.result, 0) << U8(r.error);
  EXPECT_EQ(Element(Response(r), "RefundReference"), token);
  EXPECT_TRUE(Element(Response(r), "TraceAuditId").starts_with("rfd_")) << Response(r);
  lib.Call("CLOSE", T("<R><Handle>" + std::to_string(handle) + "</Handle></R>"));
  EXPECT_EQ(ReadFile(Element(Response(r), "LogFileName")).find("refundedAt is missing"), std::string::npos);
}

// A redirect confirms nothing: the payment or refund fails, and the log says why.
TEST_F(LorvaniEndToEnd, ARedirectFailsWithAnErrorLineThatSaysWhy) {
  const int handle = Open(sim.BaseUrl());
  const std::string token = Element(Response(Pay(handle)), "RefundReference");
  PayOptions o;
  o.code = "FAULT-302";
  const auto a = Pay(handle, o);
  EXPECT_EQ(a.result, 0xFFFF);
  EXPECT_EQ(
      U8(a.error).rfind("The provider did not confirm the payment (302 Found, a redirect that is not followed)", 0), 0u)
      << U8(a.error);
  sim.SetFault("FAULT-302");
  PayOptions refund;
  refund.action = "REFUND";
  refund.amount = "1";
  refund.token = token;
  EXPECT_EQ(Pay(handle, refund).result, 0xFFFF);
  lib.Call("CLOSE", T("<R><Handle>" + std::to_string(handle) + "</Handle></R>"));
  const std::string log = ReadFile(Element(Response(a), "LogFileName"));
  const std::string line = " - ERROR - kLORVANI.Post:Answer 302 Found is a redirect, which is not followed: the provider "
                           "has not confirmed the ";
  const size_t order = log.find(line + "order\r\n");
  ASSERT_NE(order, std::string::npos) << log;
  EXPECT_NE(log.find(line + "refund\r\n", order), std::string::npos) << log;
}

TEST_F(LorvaniEndToEnd, NoAnswerAtAllSaysWhy) {
  const int handle = Open(sim.BaseUrl());
  PayOptions o;
  o.code = "FAULT-CLOSE";
  const auto closed = Pay(handle, o);
  EXPECT_EQ(closed.result, 0xFFFF);
  EXPECT_FALSE(closed.error.empty());

  const int unreachable = Open("https://127.0.0.1:1/v1/instore/");
  const auto refused = Pay(unreachable);
  EXPECT_EQ(refused.result, 0xFFFF);
  EXPECT_NE(U8(refused.error).find("onnect"), std::string::npos) << U8(refused.error);
}

// The provider makes the order and the connection drops before its answer: the
// payment fails, saying the reply was empty, while the order exists.
TEST_F(LorvaniEndToEnd, AnAnswerLostAfterTheOrderIsAnError) {
  const int handle = Open(sim.BaseUrl());
  PayOptions o;
  o.code = "FAULT-LOST-ANSWER";
  const auto a = Pay(handle, o);
  EXPECT_EQ(a.result, 0xFFFF);
  const std::string r = Response(a);
  EXPECT_EQ(Element(r, "Error"), "True");
  EXPECT_TRUE(std::regex_match(Element(r, "ErrorText"),
                               std::regex(R"(No answer from the provider \(Empty reply from server\): the outcome of )"
                                          R"(the payment is unknown; its requestId is S1-T2-\d{17})")))
      << Element(r, "ErrorText");
  EXPECT_EQ(U8(a.error), Element(r, "ErrorText"));
  EXPECT_EQ(Element(r, "RefundReference"), "");

  const auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Status, 0);
  const std::regex held(R"(^\[\{"token":"ord_[0-9a-f]{24}","status":"approved","requestId":"S1-T2-\d{17}",)"
                        R"("preApprovalCode":"FAULT-LOST-ANSWER",)");
  EXPECT_TRUE(std::regex_search(sim.OrdersJson(), held)) << sim.OrdersJson();
}

// An answer far larger than the provider ever sends is not taken. The order exists, so
// the outcome is unknown; the device log shows only the answer's first part.
TEST_F(LorvaniEndToEnd, AnAnswerOverTheLimitIsAnUnknownOutcome) {
  const int handle = Open(sim.BaseUrl(), "<HexLog>true</HexLog>");
  PayOptions o;
  o.code = "FAULT-HUGE-ANSWER";
  const auto a = Pay(handle, o);
  EXPECT_EQ(a.result, 0xFFFF);
  const std::string r = Response(a);
  EXPECT_EQ(Element(r, "Error"), "True");
  EXPECT_TRUE(std::regex_match(Element(r, "ErrorText"),
                               std::regex(R"(Incomplete answer from the provider \(Answer larger than 1048576 bytes: )"
                                          R"(Content-Length 10\d{5} bytes\): the outcome of the payment is unknown; )"
                                          R"(its requestId is S1-T2-\d{17})")))
      << Element(r, "ErrorText");
  EXPECT_EQ(U8(a.error), Element(r, "ErrorText"));
  EXPECT_NE(sim.OrdersJson(), "[]");

  const std::string logFile = Element(r, "LogFileName");
  lib.Call("CLOSE", T("<R><Handle>" + std::to_string(handle) + "</Handle></R>"));
  const std::string log = ReadFile(logFile);
  const std::regex firstPart(
      R"( - ERROR - Answer too large \[Content-Length 10\d{5} bytes, first 1024 bytes shown\]:\{"token":)");
  EXPECT_TRUE(std::regex_search(log, firstPart)) << log.substr(0, 4000);
  EXPECT_LT(log.size(), 64u * 1024u);  // the hex dump too covers the first part only
}

// Every way a payment or refund can end but paid, over the simulator's faults and the
// answers of a plain HTTP fault server (reached with TlsVerify false): once the request
// has left and no confirmation came, the text says the outcome is unknown and names the
// request id the provider knows it by; before that, that nothing was sent. A refusal
// keeps the provider's own text. Nothing of it reports a payment.
struct OutcomeCase {
  const char* Name = "";
  std::string Action = "PAY";  // PAY or REFUND
  // Sim: a pre-approval code (PAY) or the simulator's next fault (REFUND).
  std::string Fault;
  enum class Target { Sim, Refused, Untrusted, FaultServer } To = Target::Sim;
  zvtest::HttpReply Reply;  // the fault server's answer
  std::string Expected;     // a regular expression; "<id>" stands for the sent request id
};

void PrintTo(const OutcomeCase& aCase, std::ostream* aOut) { *aOut << aCase.Name; }

OutcomeCase SimCase(const char* aName, std::string aAction, std::string aFault, std::string aExpected,
                    OutcomeCase::Target aTo = OutcomeCase::Target::Sim) {
  OutcomeCase c;
  c.Name = aName;
  c.Action = std::move(aAction);
  c.Fault = std::move(aFault);
  c.To = aTo;
  c.Expected = std::move(aExpected);
  return c;
}

OutcomeCase ServerCase(const char* aName, std::string aAction, int aStatus, std::string aReason, std::string aBody,
                       std::string aExpected, zvtest::HttpReply::Kind aKind = zvtest::HttpReply::Kind::Answer) {
  OutcomeCase c;
  c.Name = aName;
  c.Action = std::move(aAction);
  c.To = OutcomeCase::Target::FaultServer;
  c.Reply.Action = aKind;
  c.Reply.Status = aStatus;
  c.Reply.Reason = std::move(aReason);
  c.Reply.Body = std::move(aBody);
  if (aStatus >= 300 && aStatus < 400) c.Reply.Headers.emplace_back("Location", "/v1/instore/elsewhere");
  c.Expected = std::move(aExpected);
  return c;
}

class LorvaniOutcomes : public LorvaniEndToEnd, public ::testing::WithParamInterface<OutcomeCase> {
 protected:
  // The device of the case: on the simulator, on a closed port, untrusted, or on the
  // fault server (plain HTTP, so TlsVerify false).
  int OpenFor(const OutcomeCase& aCase) {
    switch (aCase.To) {
      case OutcomeCase::Target::Refused: return Open("https://127.0.0.1:1/v1/instore/");
      case OutcomeCase::Target::Untrusted: return Open(sim.BaseUrl(), "", false);
      case OutcomeCase::Target::FaultServer:
        fServer = std::make_unique<zvtest::HttpTestServer>([aCase](const zvtest::HttpRequest&) { return aCase.Reply; });
        return Open(fServer->Url("/v1/instore/"), "<TlsVerify>false</TlsVerify>", false);
      case OutcomeCase::Target::Sim: break;
    }
    return Open(sim.BaseUrl());
  }
  // The bodies that reached the simulator or the fault server.
  std::vector<std::string> Received() const {
    std::vector<std::string> bodies;
    if (fServer) {
      for (const auto& request : fServer->Requests()) bodies.push_back(request.Body);
    } else {
      for (const auto& request : sim.Requests()) bodies.push_back(request.Body);
    }
    return bodies;
  }
  std::unique_ptr<zvtest::HttpTestServer> fServer;
};

TEST_P(LorvaniOutcomes, TheErrorTextSaysWhatIsKnown) {
  const OutcomeCase& c = GetParam();
  const int handle = OpenFor(c);
  PayOptions o;
  o.action = c.Action;
  if (c.Fault.starts_with("GIVEN-")) {
    o.requestId = c.Fault.substr(6);
  } else if (c.Action == "PAY") {
    if (!c.Fault.empty()) o.code = c.Fault;
  } else if (c.To == OutcomeCase::Target::FaultServer) {
    o.token = "ord_1";
  } else if (c.Fault != "NO-TOKEN") {
    const int good = Open(sim.BaseUrl());
    o.token = Element(Response(Pay(good)), "RefundReference");
    ASSERT_FALSE(o.token.empty());
    o.amount = "1";
    if (!c.Fault.empty()) sim.SetFault(c.Fault);
  }
  sim.ClearRequests();
  const auto a = Pay(handle, o);
  EXPECT_EQ(a.result, 0xFFFF);
  const std::string error = U8(a.error);
  EXPECT_EQ(Element(Response(a), "Error"), "True");
  EXPECT_FALSE(Element(Response(a), "ErrorText").empty());
  EXPECT_EQ(Element(Response(a), "RefundReference"), "");

  std::string expected = c.Expected;
  const auto received = Received();
  if (const size_t at = expected.find("<id>"); at != std::string::npos) {
    ASSERT_EQ(received.size(), 1u);
    std::smatch id;
    ASSERT_TRUE(std::regex_search(received[0], id, std::regex(R"re("requestId":"(S1-T2-\d{17})")re")));
    expected.replace(at, 4, id[1].str());
  } else if (c.To == OutcomeCase::Target::Sim) {
    EXPECT_TRUE(received.empty()) << "a refusal before sending sent " << received.size() << " requests";
  }
  EXPECT_TRUE(std::regex_match(error, std::regex(expected))) << error << "\n  expected: " << expected;
}

const std::string kUnknown = R"(: the outcome of the payment is unknown; its requestId is <id>)";
const std::string kRefundUnknown = R"(: the outcome of the refund is unknown; its requestId is <id>)";
const std::string kIncomplete = R"(Incomplete answer from the provider \()";
const char kHtml[] = "<html><body>Welcome to the shop's Wi-Fi</body></html>";
using Kind = zvtest::HttpReply::Kind;

INSTANTIATE_TEST_SUITE_P(
    Faults, LorvaniOutcomes,
    ::testing::Values(
        SimCase("LostAnswer", "PAY", "FAULT-LOST-ANSWER",
                R"(No answer from the provider \(Empty reply from server\))" + kUnknown),
        SimCase("ClosedWithoutAnswer", "PAY", "FAULT-CLOSE",
                R"(No answer from the provider \(Empty reply from server\))" + kUnknown),
        SimCase("AnswerOverTheLimit", "PAY", "FAULT-HUGE-ANSWER",
                kIncomplete + R"(Answer larger than 1048576 bytes: .*\))" + kUnknown),
        SimCase("RefundAnswerLost", "REFUND", "FAULT-LOST-ANSWER",
                R"(No answer from the provider \(Empty reply from server\))" + kRefundUnknown),
        SimCase("RefundClosedWithoutAnswer", "REFUND", "FAULT-CLOSE",
                R"(No answer from the provider \(Empty reply from server\))" + kRefundUnknown),
        SimCase("ServerErrorWithoutBody", "PAY", "FAULT-500", "Internal Server Error" + kUnknown),
        SimCase("GatewayErrorPage", "PAY", "FAULT-502-HTML", "Bad Gateway" + kUnknown),
        SimCase("SimulatorRedirect", "PAY", "FAULT-302",
                R"(The provider did not confirm the payment \(302 Found, a redirect that is not followed\))" +
                    kUnknown),
        SimCase("SuccessWithoutToken", "PAY", "FAULT-NO-TOKEN",
                kIncomplete + R"(201 Created without "token"\))" + kUnknown),
        SimCase("RefundWithoutTheOrdersToken", "REFUND", "NO-TOKEN",
                R"(A REFUND or VOID needs the order's token in RefundReference/PaymentId \(the RefundReference of )"
                R"(the payment's answer\): the refund was not sent to the provider)"),
        SimCase("ARequestIdOfAnotherTill", "PAY", "GIVEN-S1-T3-20261211093015123",
                R"(RequestId "S1-T3-20261211093015123" is not one this driver writes for StoreCode "S1" and )"
                R"(TillCode "T2" \("S1-T2-" and 17 digits of a date and time\): the payment was not sent to the )"
                R"(provider)"),
        SimCase("ConnectionRefused", "PAY", "",
                R"(The payment was not sent to the provider \(Failed to connect to 127\.0\.0\.1 port 1 .*\))",
                OutcomeCase::Target::Refused),
        SimCase("UntrustedCertificate", "PAY", "",
                R"(The payment was not sent to the provider \(SSL certificate problem: .*\))",
                OutcomeCase::Target::Untrusted),
        SimCase("RefundRefusedConnection", "REFUND", "",
                R"(The refund was not sent to the provider \(Failed to connect to 127\.0\.0\.1 port 1 .*\))",
                OutcomeCase::Target::Refused),
        ServerCase("SuccessThatIsAnHtmlPage", "PAY", 200, "OK", kHtml,
                   kIncomplete + R"(200 OK whose body is not JSON\))" + kUnknown),
        ServerCase("SuccessWithAnEmptyBody", "PAY", 200, "OK", "",
                   kIncomplete + R"(200 OK without a body\))" + kUnknown),
        ServerCase("NoContent", "PAY", 204, "No Content", "",
                   kIncomplete + R"(204 No Content without a body\))" + kUnknown),
        ServerCase("SuccessThatIsAJsonArray", "PAY", 201, "Created", R"([{"token":"ord_1"}])",
                   kIncomplete + R"(201 Created whose body is not a JSON object\))" + kUnknown),
        ServerCase("SuccessWithAnEmptyToken", "PAY", 201, "Created", R"({"token":"","status":"approved"})",
                   kIncomplete + R"(201 Created without "token"\))" + kUnknown),
        ServerCase("RefundSuccessWithoutRefundToken", "REFUND", 201, "Created", R"({"token":"ord_1"})",
                   kIncomplete + R"(201 Created without "refundToken"\))" + kRefundUnknown),
        ServerCase("ServerErrorWithTheProvidersMessage", "PAY", 500, "Internal Server Error",
                   R"({"message":"The order store is unavailable"})", "The order store is unavailable" + kUnknown),
        ServerCase("UnavailableWithoutBody", "PAY", 503, "Service Unavailable", "", "Service Unavailable" + kUnknown),
        ServerCase("ServerErrorThatIsAJsonArray", "PAY", 502, "Bad Gateway", "[]", "Bad Gateway" + kUnknown),
        ServerCase("ServerErrorWhoseBodyBreaksOff", "PAY", 500, "Internal Server Error", R"({"message":"The ord)",
                   R"(Internal Server Error \(transfer closed with 100 bytes remaining to read\))" + kUnknown,
                   Kind::Truncated),
        ServerCase("RefusalWhoseBodyBreaksOff", "PAY", 400, "Bad Request", R"({"message":"amount)",
                   R"(Bad Request \(transfer closed with 100 bytes remaining to read\))", Kind::Truncated),
        ServerCase("RequestIdStillInProgress", "PAY", 409, "Conflict",
                   R"({"message":"The request is still in progress"})", "The request is still in progress" + kUnknown),
        ServerCase("MovedPermanently", "PAY", 301, "Moved Permanently", "",
                   R"(The provider did not confirm the payment \(301 Moved Permanently, a redirect that is not )"
                   R"(followed\))" +
                       kUnknown),
        ServerCase("TemporaryRedirect", "PAY", 307, "Temporary Redirect", "",
                   R"(The provider did not confirm the payment \(307 Temporary Redirect, .*\))" + kUnknown),
        ServerCase("PermanentRedirect", "REFUND", 308, "Permanent Redirect", "",
                   R"(The provider did not confirm the refund \(308 Permanent Redirect, .*\))" + kRefundUnknown)),
    [](const ::testing::TestParamInfo<OutcomeCase>& aInfo) { return std::string(aInfo.param.Name); });

std::string RequestIdIn(const std::string& aError) {
  std::smatch id;
  return std::regex_search(aError, id, std::regex(R"(its requestId is (S1-T2-\d{17})$)")) ? id[1].str() : "";
}

// A lost answer is settled by sending the same request again under its request id: the
// provider answers with the first outcome, the order that was made, and makes no other.
TEST_F(LorvaniEndToEnd, ARepeatWithTheRequestIdSettlesALostAnswer) {
  const int handle = Open(sim.BaseUrl());
  PayOptions o;
  o.code = "FAULT-LOST-ANSWER";
  const auto lost = Pay(handle, o);
  ASSERT_EQ(lost.result, 0xFFFF);
  o.requestId = RequestIdIn(U8(lost.error));
  ASSERT_FALSE(o.requestId.empty()) << U8(lost.error);

  const auto settled = Pay(handle, o);
  ASSERT_EQ(settled.result, 0) << U8(settled.error);
  rapidjson::Document orders;
  orders.Parse(sim.OrdersJson().c_str());
  ASSERT_EQ(orders.Size(), 1u) << sim.OrdersJson();
  EXPECT_EQ(Element(Response(settled), "RefundReference"), orders[0]["token"].GetString());
  const auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].Body, requests[0].Body);
  EXPECT_EQ(requests[1].Header("Idempotent-Replayed"), "");  // a request header: none sent

  // A new payment with the same content is a new request, not the settled one again.
  PayOptions fresh = o;
  fresh.requestId.clear();
  fresh.code = "PRE-1";
  ASSERT_EQ(Pay(handle, fresh).result, 0);
  EXPECT_NE(RequestIdIn(sim.Requests().back().Body), o.requestId);
}

// RepeatUnknownOutcome lets the driver repeat by itself: a lost answer is asked for again
// with the same body and request id, each attempt a log line; a token-less success is
// not repeated (it would come again), and a refusal is final.
TEST_F(LorvaniEndToEnd, RepeatUnknownOutcomeRepeatsOnlyWhatARepeatCanSettle) {
  const int handle = Open(sim.BaseUrl(), "<RepeatUnknownOutcome>2,30</RepeatUnknownOutcome>");
  PayOptions o;
  o.code = "FAULT-LOST-ANSWER";
  const auto a = Pay(handle, o);
  ASSERT_EQ(a.result, 0) << U8(a.error);
  auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].Body, requests[0].Body);
  rapidjson::Document orders;
  orders.Parse(sim.OrdersJson().c_str());
  ASSERT_EQ(orders.Size(), 1u);
  EXPECT_EQ(Element(Response(a), "RefundReference"), orders[0]["token"].GetString());

  for (const char* code : {"FAULT-NO-TOKEN", "FAULT-DECLINED", "FAULT-302"}) {
    sim.ClearRequests();
    o.code = code;
    EXPECT_EQ(Pay(handle, o).result, 0xFFFF) << code;
    EXPECT_EQ(sim.Requests().size(), 1u) << code;
  }
  sim.ClearRequests();
  o.code = "FAULT-500";  // a 5xx is repeated: the same id cannot make a second order
  const auto failing = Pay(handle, o);
  EXPECT_EQ(sim.Requests().size(), 3u);
  EXPECT_NE(U8(failing.error).find("Internal Server Error: the outcome of the payment is unknown"), std::string::npos);

  lib.Call("CLOSE", T("<R><Handle>" + std::to_string(handle) + "</Handle></R>"));
  const std::string log = ReadFile(Element(Response(a), "LogFileName"));
  const std::regex attempt(R"( - kLORVANI\.Repeat:Attempt 2 of 3: the same request again with requestId S1-T2-\d{17}, )"
                           R"(after: No answer from the provider \(Empty reply from server\))");
  EXPECT_TRUE(std::regex_search(log, attempt)) << log;
  EXPECT_NE(log.find("kLORVANI.Repeat:Attempt 3 of 3"), std::string::npos);
}

struct RepeatSetting {
  const char* Name;
  const char* Value;
};
void PrintTo(const RepeatSetting& aCase, std::ostream* aOut) { *aOut << aCase.Name; }

class LorvaniRepeatSetting : public LorvaniEndToEnd, public ::testing::WithParamInterface<RepeatSetting> {};

TEST_P(LorvaniRepeatSetting, ThatCannotBeReadFailsOpen) {
  const std::string request = "<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>" + LogId() +
                              "</LogId><Connection><Type>HTTP</Type><URL>" + sim.BaseUrl() +
                              "</URL></Connection><Parameters><Bearer>b</Bearer><RepeatUnknownOutcome>" +
                              GetParam().Value + "</RepeatUnknownOutcome></Parameters></Request>";
  const auto a = lib.Call("OPEN", T(request));
  EXPECT_EQ(a.result, 0xFFFF);
  EXPECT_EQ(a.error, zv::Text(zv::kPayment_LORVANI::kRepeatFormat));
}

INSTANTIATE_TEST_SUITE_P(Table, LorvaniRepeatSetting,
                         ::testing::Values(RepeatSetting{"NotANumber", "often"}, RepeatSetting{"MoreThanTen", "11"},
                                           RepeatSetting{"Negative", "-1"}, RepeatSetting{"ZeroSeconds", "3,0"},
                                           RepeatSetting{"OverAnHour", "3,3601"},
                                           RepeatSetting{"CommaWithoutSeconds", "3,"},
                                           RepeatSetting{"SecondsWithoutCount", ",60"},
                                           RepeatSetting{"ThreeParts", "3,60,9"}),
                         [](const auto& aInfo) { return std::string(aInfo.param.Name); });

// Tills without store and till codes write ids that only this machine keeps apart.
TEST_F(LorvaniEndToEnd, APaymentWithoutStoreCodeIsWarnedOfInTheLog) {
  const int handle = Open(sim.BaseUrl());
  PayOptions o;
  o.store = "";
  const auto a = Pay(handle, o);
  ASSERT_EQ(a.result, 0) << U8(a.error);
  const auto second = Pay(handle);
  lib.Call("CLOSE", T("<R><Handle>" + std::to_string(handle) + "</Handle></R>"));
  // This device's lines only: a log of the same name may hold an earlier run's.
  const std::string whole = ReadFile(Element(Response(a), "LogFileName"));
  const std::string log = whole.substr(whole.rfind("*** START ***"));
  const std::string warning = " - kLORVANI.RequestId:Warning: StoreCode or TillCode is empty, so the requestId -T2-";
  const size_t at = log.find(warning);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(warning, at + 1), std::string::npos) << "the payment with both codes is not warned of";
  EXPECT_NE(log.find("give every till its own StoreCode and TillCode"), std::string::npos);
}

TEST_F(LorvaniEndToEnd, AWrongBearerIsRefusedWithTheProvidersMessage) {
  const std::string request =
      "<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>" + LogId() + "</LogId><Connection><Type>HTTP</Type><URL>" +
      sim.BaseUrl() + "</URL></Connection><Parameters><Bearer>wrong</Bearer><TlsCaFile>" + sim.CaFile() +
      "</TlsCaFile></Parameters></Request>";
  const int handle = std::stoi(Element(U8(lib.Call("OPEN", T(request)).response), "Handle"));
  const auto a = Pay(handle);
  EXPECT_EQ(U8(a.error), "The bearer token is not valid");
}

TEST_F(LorvaniEndToEnd, TheNextPaymentStartsWithoutTheLastError) {
  const int handle = Open(sim.BaseUrl());
  PayOptions fault;
  fault.code = "FAULT-500";
  EXPECT_EQ(Pay(handle, fault).result, 0xFFFF);
  const auto next = Pay(handle);
  EXPECT_EQ(next.result, 0);
  EXPECT_TRUE(next.errorNull);
}

TEST_F(LorvaniEndToEnd, AConfirmedRefundWithoutRefundedAtIsASuccess) {
  const int handle = Open(sim.BaseUrl());
  std::string logFile;
  for (const char* code : {"FAULT-NO-REFUNDEDAT", "FAULT-BAD-REFUNDEDAT"}) {
    PayOptions pay;
    pay.code = code;
    const std::string token = Element(Response(Pay(handle, pay)), "RefundReference");
    ASSERT_FALSE(token.empty()) << code;
    PayOptions refund;
    refund.action = "REFUND";
    refund.amount = "1";
    refund.token = token;
    const auto a = Pay(handle, refund);
    EXPECT_EQ(a.result, 0) << code << ": " << U8(a.error);
    EXPECT_NE(Element(Response(a), "PaymentDateTime"), "1899-12-30T00:00:00.000Z");
    logFile = Element(Response(a), "LogFileName");
  }
  lib.Call("CLOSE", T("<R><Handle>" + std::to_string(handle) + "</Handle></R>"));
  const std::string log = ReadFile(logFile);
  EXPECT_NE(log.find(" - ERROR - kLORVANI.Refund:refundedAt is missing or not an ISO 8601 time"), std::string::npos);
}

TEST_F(LorvaniEndToEnd, ReportsAndReprintsSendNothing) {
  const int handle = Open(sim.BaseUrl());
  const std::string h = "<Handle>" + std::to_string(handle) + "</Handle>";
  EXPECT_EQ(lib.Call("DAYCLOSE", T("<R>" + h + "<DayClose/></R>")).result, 0);
  EXPECT_EQ(lib.Call("GETTOTALS", T("<R>" + h + "<GetTotals/></R>")).result, 0);
  EXPECT_EQ(lib.Call("REPRINT", T("<R>" + h + "<Payment/></R>")).result, 0);
  EXPECT_TRUE(sim.Requests().empty());
}

TEST_F(LorvaniEndToEnd, ABaseUrlWithoutTheFinalSlashGetsOne) {
  std::string url = sim.BaseUrl();
  url.pop_back();
  const int handle = Open(url);
  EXPECT_EQ(Pay(handle).result, 0);
  ASSERT_EQ(sim.Requests().size(), 1u);
  EXPECT_EQ(sim.Requests()[0].Path, "/v1/instore/orders");
}

TEST_F(LorvaniEndToEnd, AnAddressAndPortWithoutSchemeAreReachedOverHttps) {
  const std::string request =
      "<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>" + LogId() + "</LogId><Connection><Type>HTTP</Type>"
      "<Address>127.0.0.1</Address><Port>" + std::to_string(sim.Port()) + "</Port></Connection><Parameters><Bearer>" +
      kBearer + "</Bearer><TlsCaFile>" + sim.CaFile() + "</TlsCaFile></Parameters></Request>";
  const int handle = std::stoi(Element(U8(lib.Call("OPEN", T(request)).response), "Handle"));
  Pay(handle);
  // The simulator only speaks TLS: the request arrived, at the path the address gives.
  const auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Path, "/orders");
}

TEST_F(LorvaniEndToEnd, TheDeviceLogTellsThePaymentInOrderWithoutTheToken) {
  const int handle = Open(sim.BaseUrl());
  const auto a = Pay(handle);
  const std::string logFile = Element(Response(a), "LogFileName");
  lib.Call("CLOSE", T("<R><Handle>" + std::to_string(handle) + "</Handle></R>"));
  const std::string log = ReadFile(logFile);
  size_t at = 0;
  for (const std::string& mark :
       {std::string("*** START ***"), std::string(60, '-') + " Pay", std::string(" - kLORVANI.Pay:{"),
        " - Write:" + sim.BaseUrl() + "orders", std::string(" - Write ["), std::string(" - Read ["),
        std::string("*** STOP ***")}) {
    const size_t found = log.find(mark, at);
    ASSERT_NE(found, std::string::npos) << mark << "\n" << log;
    at = found;
  }
  EXPECT_EQ(log.find(kBearer), std::string::npos);
  EXPECT_EQ(log.find(" - ERROR - "), std::string::npos) << log;
}

// A token of any text stays one path segment: it cannot climb up the path or add a query.
TEST_F(LorvaniEndToEnd, TheOrdersTokenIsPercentEncodedInTheRefundPath) {
  const int handle = Open(sim.BaseUrl());
  PayOptions refund;
  refund.action = "REFUND";
  refund.amount = "1";
  refund.token = "ord_1/../../x?y=1#z";
  EXPECT_EQ(Pay(handle, refund).result, 0xFFFF);  // no such order
  const auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Path, "/v1/instore/orders/ord_1%2F..%2F..%2Fx%3Fy%3D1%23z/refund");
}

// A line break in the bearer (a token pasted with its line end, or a hostile value)
// cannot end the Authorization header and add one of its own.
TEST_F(LorvaniEndToEnd, ALineBreakInTheBearerAddsNoHeader) {
  const std::string request =
      "<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>" + LogId() + "</LogId><Connection><Type>HTTP</Type><URL>" +
      sim.BaseUrl() + "</URL></Connection><Parameters><Bearer>" + kBearer +
      "&#13;&#10;X-Injected: yes</Bearer><TlsCaFile>" + sim.CaFile() + "</TlsCaFile></Parameters></Request>";
  const int handle = std::stoi(Element(U8(lib.Call("OPEN", T(request)).response), "Handle"));
  Pay(handle);
  const auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].HasHeader("X-Injected"));
  EXPECT_EQ(requests[0].Header("Authorization"), "Bearer " + kBearer + "X-Injected: yes");
}

class LorvaniTls : public LorvaniEndToEnd {};

TEST_F(LorvaniTls, TheSimulatorsCertificateIsTrustedOnlyWhenNamed) {
  const int untrusted = Open(sim.BaseUrl(), "", false);
  const auto refused = Pay(untrusted);
  EXPECT_EQ(refused.result, 0xFFFF);
  EXPECT_NE(U8(refused.error).find("certificate"), std::string::npos) << U8(refused.error);
  EXPECT_TRUE(sim.Requests().empty());

  const int trusted = Open(sim.BaseUrl());
  EXPECT_EQ(Pay(trusted).result, 0);
}

TEST_F(LorvaniTls, VerificationOffIsLoggedAsAnError) {
  const int handle = Open(sim.BaseUrl(), "<TlsVerify>false</TlsVerify>", false);
  const auto a = Pay(handle);
  EXPECT_EQ(a.result, 0) << U8(a.error);
  const std::string logFile = Element(Response(a), "LogFileName");
  lib.Call("CLOSE", T("<R><Handle>" + std::to_string(handle) + "</Handle></R>"));
  EXPECT_NE(ReadFile(logFile).find(" - ERROR - " + U8(zv::kPayment_LORVANI::kInsecureTransportLine)),
            std::string::npos);
}

// A CA file that holds no certificate is a fault of the set-up: nothing is sent, and
// the text names the file, instead of trusting the system's store alone.
TEST_F(LorvaniTls, ACaFileWithoutACertificateSendsNothing) {
  zvtest::TempDir folder("zvca");
  const std::string file = (folder.Path() / "provider-ca.pem").string();
  std::ofstream(file) << "This file was meant to hold the provider's CA certificate.\n";
  const int handle = Open(sim.BaseUrl(), "<TlsCaFile>" + file + "</TlsCaFile>", false);
  const auto a = Pay(handle);
  EXPECT_EQ(a.result, 0xFFFF);
  EXPECT_EQ(U8(a.error), "The payment was not sent to the provider (No PEM certificate in the CA file " + file + ")");
  EXPECT_TRUE(sim.Requests().empty());
}

// Refused at OPEN, before any payment: the host hears the cause and the way out.
TEST_F(LorvaniTls, APlainHttpUrlIsRefusedAtOpen) {
  const std::string logId = LogId();
  std::string url = sim.BaseUrl();
  url.replace(0, 5, "http");  // https: -> http:
  const std::string request =
      "<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>" + logId + "</LogId><Connection><Type>HTTP</Type><URL>" +
      url + "</URL></Connection><Parameters><Bearer>" + kBearer + "</Bearer></Parameters></Request>";
  const auto a = lib.Call("OPEN", T(request));
  EXPECT_NE(a.result, 0);
  EXPECT_EQ(U8(a.error), U8(zv::kPayment_LORVANI::kPlainHttpRefused));
  // The device's log, closed again, says it too.
  std::string log;
  const std::string prefix = "ZVPA_LORVANI_10_" + logId + "_";
  for (const auto& entry : std::filesystem::directory_iterator(U8(zv::kPaymentDevice::PaymentLogDirectory()))) {
    if (entry.path().filename().string().starts_with(prefix)) log = ReadFile(entry.path().string());
  }
  EXPECT_NE(log.find(" - ERROR - " + U8(zv::kPayment_LORVANI::kPlainHttpRefused)), std::string::npos) << log;
  EXPECT_NE(log.find("*** STOP ***"), std::string::npos) << log;
  EXPECT_TRUE(sim.Requests().empty());
}

TEST(LorvaniTlsHostName, AHostNameMismatchIsRefused) {
  LorvaniSim mismatched({"--token", kBearer, "--hostname-mismatch"});
  HostLibrary lib;
  const std::string request =
      "<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>mismatch</LogId><Connection><Type>HTTP</Type><URL>" +
      mismatched.BaseUrl() + "</URL></Connection><Parameters><Bearer>" + kBearer + "</Bearer><TlsCaFile>" +
      mismatched.CaFile() + "</TlsCaFile></Parameters></Request>";
  const int handle = std::stoi(Element(U8(lib.Call("OPEN", T(request)).response), "Handle"));
  const auto a = lib.Call("PAY", T("<R><Handle>" + std::to_string(handle) +
                                   "</Handle><Payment><Amount>1</Amount><Attributes>P</Attributes></Payment></R>"));
  EXPECT_EQ(a.result, 0xFFFF);
  EXPECT_FALSE(a.error.empty());
  EXPECT_TRUE(mismatched.Requests().empty());
}

}  // namespace

namespace {

// Answers that no careful provider sends, from a plain HTTP server of the tests' own
// (reached with TlsVerify false, the only way plain HTTP is allowed).
class LorvaniOddAnswers : public ::testing::Test {
 protected:
  // aPayments payments on one device; the answer to the last.
  HostLibrary::Answer PayAgainst(zvtest::HttpReply aReply, int aPayments = 1) {
    zvtest::HttpTestServer server([aReply](const zvtest::HttpRequest&) { return aReply; });
    const std::string logId = std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
                              std::to_string(::getpid());
    const std::string open = "<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>" + logId +
                             "</LogId><Connection><Type>HTTP</Type><URL>" + server.Url("/v1/instore/") +
                             "</URL></Connection><Parameters><Bearer>b</Bearer><TlsVerify>false</TlsVerify>"
                             "</Parameters></Request>";
    const std::string handle = Element(U8(lib.Call("OPEN", T(open)).response), "Handle");
    HostLibrary::Answer answer;
    for (int i = 0; i < aPayments; ++i)
      answer = lib.Call("PAY", T("<R><Handle>" + handle + "</Handle><Payment><Amount>1</Amount></Payment></R>"));
    lib.Call("CLOSE", T("<R><Handle>" + handle + "</Handle></R>"));
    return answer;
  }
  HostLibrary lib;
};

TEST_F(LorvaniOddAnswers, PlainHttpWithTlsVerifyOffIsLoggedOnEveryRequest) {
  zvtest::HttpReply reply;
  reply.Status = 201;
  reply.Reason = "Created";
  reply.Body = R"({"token":"ord_1"})";
  const auto a = PayAgainst(reply, 2);
  ASSERT_EQ(a.result, 0) << U8(a.error);
  EXPECT_EQ(Element(U8(a.response), "RefundReference"), "ord_1");
  const std::string log = ReadFile(Element(U8(a.response), "LogFileName"));
  const std::string line = " - ERROR - " + U8(zv::kPayment_LORVANI::kInsecureTransportLine) + "\r\n";
  const size_t first = log.find(line);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find(line, first + 1), std::string::npos) << log;
}

TEST_F(LorvaniOddAnswers, AnErrorBodyWithAByteOrderMarkGivesItsMessage) {
  zvtest::HttpReply reply;
  reply.Status = 422;
  reply.Reason = "Unprocessable Entity";
  reply.Body = "\xEF\xBB\xBF" R"({"message":"The pre-approval has expired"})";
  EXPECT_EQ(U8(PayAgainst(reply).error), "The pre-approval has expired");
}

TEST_F(LorvaniOddAnswers, ASuccessWhoseBodyBreaksOffIsAnUnknownOutcome) {
  zvtest::HttpReply reply;
  reply.Action = zvtest::HttpReply::Kind::Truncated;
  reply.Body = R"({"token":"ord_1","status":"appr)";
  const auto a = PayAgainst(reply);
  EXPECT_EQ(a.result, 0xFFFF);
  EXPECT_EQ(U8(a.error).rfind("Incomplete answer from the provider (", 0), 0u) << U8(a.error);
  EXPECT_NE(U8(a.error).find("the outcome of the payment is unknown; its requestId is "), std::string::npos);
}

TEST_F(LorvaniOddAnswers, AStatusWithoutReasonPhraseIsNamedByItsCode) {
  zvtest::HttpReply reply;
  reply.Status = 418;
  reply.Reason = "";
  reply.Body = R"({"message":""})";
  EXPECT_EQ(U8(PayAgainst(reply).error), "HTTP status 418");
}

}  // namespace
