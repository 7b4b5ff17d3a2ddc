// The provider simulator lorvani-sim as a running process over HTTPS: its checks,
// orders and refunds, idempotent request ids, faults, control routes and options.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <rapidjson/document.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "LorvaniSim.h"

namespace {

using ::testing::HasSubstr;
using zvtest::HeaderList;
using zvtest::LorvaniSim;
using zvtest::SimReply;

const HeaderList kJsonWithToken{{"Authorization", "Bearer demo-token"}, {"Content-Type", "application/json"}};

std::string OrderBody(const std::string& aCode, const std::string& aRequestId, const std::string& aAmount = "12.5",
                      const std::string& aCurrency = "EUR") {
  return R"({"totalAmount":{"amount":")" + aAmount + R"(","currency":")" + aCurrency + R"("},"preApprovalCode":")" +
         aCode + R"(","requestId":")" + aRequestId + R"(","merchantOperatorId":"op","merchantReference":"R1"})";
}

std::string RefundBody(const std::string& aToken, const std::string& aRequestId, const std::string& aAmount,
                       const std::string& aCurrency = "EUR") {
  return R"({"token":")" + aToken + R"(","requestId":")" + aRequestId +
         R"(","merchantOperatorId":"op","refundAmount":{"amount":")" + aAmount + R"(","currency":")" + aCurrency +
         R"("}})";
}

rapidjson::Document Json(const std::string& aText) {
  rapidjson::Document document;
  document.Parse(aText.c_str(), aText.size());
  return document;
}

std::string Member(const std::string& aJson, const char* aName) {
  rapidjson::Document document = Json(aJson);
  if (document.HasParseError() || !document.IsObject() || !document.HasMember(aName) || !document[aName].IsString()) {
    return "<none>";
  }
  return document[aName].GetString();
}

std::string MoneyAmount(const std::string& aJson, const char* aName) {
  rapidjson::Document document = Json(aJson);
  if (document.HasParseError() || !document.IsObject() || !document.HasMember(aName)) return "<none>";
  return document[aName]["amount"].GetString();
}

class SimTest : public ::testing::Test {
 protected:
  SimReply PostOrder(const std::string& aBody, const HeaderList& aHeaders = kJsonWithToken) {
    return sim.Send("POST", "/v1/instore/orders", aBody, aHeaders);
  }
  SimReply PostRefund(const std::string& aToken, const std::string& aBody) {
    return sim.Send("POST", "/v1/instore/orders/" + aToken + "/refund", aBody, kJsonWithToken);
  }
  // A new order of 12.5 EUR; its token.
  std::string NewOrder(const std::string& aCode, const std::string& aRequestId) {
    SimReply reply = PostOrder(OrderBody(aCode, aRequestId));
    EXPECT_EQ(reply.Status, 201) << reply.Body;
    return Member(reply.Body, "token");
  }

  LorvaniSim sim;
};

TEST_F(SimTest, OrderIsCreated) {
  SimReply reply = PostOrder(OrderBody("PRE-1", "S1-T2-20240301120000000"));
  ASSERT_TRUE(reply.Answered);
  EXPECT_EQ(reply.Status, 201);
  EXPECT_THAT(reply.Header("Content-Type"), HasSubstr("application/json"));
  EXPECT_TRUE(std::regex_match(Member(reply.Body, "token"), std::regex("ord_[0-9a-f]{24}")));
  EXPECT_EQ(Member(reply.Body, "requestId"), "S1-T2-20240301120000000");
  EXPECT_EQ(MoneyAmount(reply.Body, "totalAmount"), "12.5");
  EXPECT_THAT(sim.OrdersJson(), HasSubstr(Member(reply.Body, "token")));
}

// Every refusal is JSON with a "message"; a refused field is named in it and in "field".
TEST_F(SimTest, RequestsAreChecked) {
  struct Case {
    const char* Name;
    std::string Body;
    HeaderList Headers;
    int Status;
    const char* Field;  // empty: no field named
  };
  const std::string valid = OrderBody("PRE-1", "r1");
  const Case cases[] = {
      {"no token", valid, {{"Content-Type", "application/json"}}, 401, ""},
      {"wrong token", valid, {{"Authorization", "Bearer other"}, {"Content-Type", "application/json"}}, 401, ""},
      {"basic scheme",
       valid,
       {{"Authorization", "Basic ZGVtby10b2tlbg=="}, {"Content-Type", "application/json"}},
       401,
       ""},
      {"text body type", valid, {{"Authorization", "Bearer demo-token"}, {"Content-Type", "text/plain"}}, 415, ""},
      {"not JSON", "totalAmount=12.5", kJsonWithToken, 400, ""},
      {"not an object", "[1,2]", kJsonWithToken, 400, ""},
      {"no totalAmount", R"({"preApprovalCode":"P","requestId":"r"})", kJsonWithToken, 400, "totalAmount"},
      {"amount as number", R"({"totalAmount":{"amount":12.5,"currency":"EUR"},"preApprovalCode":"P","requestId":"r"})",
       kJsonWithToken, 400, "totalAmount.amount"},
      {"amount zero", OrderBody("P", "r", "0"), kJsonWithToken, 400, "totalAmount.amount"},
      {"amount negative", OrderBody("P", "r", "-5"), kJsonWithToken, 400, "totalAmount.amount"},
      {"five decimals", OrderBody("P", "r", "1.00001"), kJsonWithToken, 400, "totalAmount.amount"},
      // A till's rounding fault: a provider takes no fraction of a cent, nor of a yen.
      {"more decimals than the currency", OrderBody("P", "r", "0.001"), kJsonWithToken, 400, "totalAmount.amount"},
      {"decimals of a currency without", OrderBody("P", "r", "1.5", "JPY"), kJsonWithToken, 400, "totalAmount.amount"},
      {"exponent", OrderBody("P", "r", "1e3"), kJsonWithToken, 400, "totalAmount.amount"},
      {"comma", OrderBody("P", "r", "12,50"), kJsonWithToken, 400, "totalAmount.amount"},
      {"too large", OrderBody("P", "r", "1000000000000"), kJsonWithToken, 400, "totalAmount.amount"},
      {"currency lower case", OrderBody("P", "r", "1", "eur"), kJsonWithToken, 400, "totalAmount.currency"},
      {"currency four letters", OrderBody("P", "r", "1", "EURO"), kJsonWithToken, 400, "totalAmount.currency"},
      {"empty pre-approval", OrderBody("", "r"), kJsonWithToken, 400, "preApprovalCode"},
      {"unknown fault", OrderBody("FAULT-NOPE", "r"), kJsonWithToken, 400, "preApprovalCode"},
      {"empty request id", OrderBody("P", ""), kJsonWithToken, 400, "requestId"},
      {"no request id", R"({"totalAmount":{"amount":"1","currency":"EUR"},"preApprovalCode":"P"})", kJsonWithToken, 400,
       "requestId"},
      {"operator not text",
       R"({"totalAmount":{"amount":"1","currency":"EUR"},"preApprovalCode":"P","requestId":"r","merchantOperatorId":7})",
       kJsonWithToken, 400, "merchantOperatorId"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    SimReply reply = PostOrder(c.Body, c.Headers);
    ASSERT_TRUE(reply.Answered);
    EXPECT_EQ(reply.Status, c.Status) << reply.Body;
    const std::string message = Member(reply.Body, "message");
    EXPECT_NE(message, "<none>") << reply.Body;
    if (*c.Field) {
      EXPECT_THAT(message, HasSubstr(c.Field));
      EXPECT_EQ(Member(reply.Body, "field"), c.Field);
    }
    if (c.Status == 401) {
      EXPECT_THAT(reply.Header("WWW-Authenticate"), HasSubstr("Bearer"));
    }
  }
  EXPECT_EQ(sim.OrdersJson(), "[]");  // nothing refused was kept

  // The media type may carry parameters; as many decimals as the currency has are fine
  // (trailing zeros too), whatever its number.
  SimReply accepted =
      PostOrder(OrderBody("PRE-1", "ok-1", "0.01"),
                {{"Authorization", "Bearer demo-token"}, {"Content-Type", "Application/JSON; charset=utf-8"}});
  EXPECT_EQ(accepted.Status, 201) << accepted.Body;
  for (const auto& [amount, currency] : {std::pair{"12.500", "EUR"}, {"1.125", "KWD"}, {"1500", "JPY"}}) {
    SimReply reply = PostOrder(OrderBody("PRE-1", std::string("ok-") + currency, amount, currency));
    EXPECT_EQ(reply.Status, 201) << amount << " " << currency << ": " << reply.Body;
  }
}

TEST_F(SimTest, OtherPathsAndMethodsAreRefusedInJson) {
  SimReply unknown = sim.Send("POST", "/v1/instore/payments", "{}", kJsonWithToken);
  EXPECT_EQ(unknown.Status, 404);
  EXPECT_THAT(Member(unknown.Body, "message"), HasSubstr("/v1/instore/payments"));
  SimReply wrongMethod = sim.Send("GET", "/v1/instore/orders");
  EXPECT_EQ(wrongMethod.Status, 405);
  EXPECT_EQ(wrongMethod.Header("Allow"), "POST");
}

TEST_F(SimTest, RefundsUpToTheAmountStillRefundable) {
  const std::string token = NewOrder("PRE-1", "order-1");
  const std::regex iso("\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}Z");

  SimReply first = PostRefund(token, RefundBody(token, "refund-1", "5"));
  ASSERT_EQ(first.Status, 201) << first.Body;
  EXPECT_EQ(Member(first.Body, "token"), token);
  EXPECT_TRUE(std::regex_match(Member(first.Body, "refundToken"), std::regex("rfd_[0-9a-f]{24}")));
  EXPECT_TRUE(std::regex_match(Member(first.Body, "refundedAt"), iso)) << first.Body;
  EXPECT_EQ(MoneyAmount(first.Body, "remainingAmount"), "7.5");

  SimReply tooMuch = PostRefund(token, RefundBody(token, "refund-2", "7.51"));
  EXPECT_EQ(tooMuch.Status, 422);
  EXPECT_EQ(Member(tooMuch.Body, "field"), "refundAmount.amount");
  EXPECT_THAT(Member(tooMuch.Body, "message"), HasSubstr("7.5"));

  SimReply rest = PostRefund(token, RefundBody(token, "refund-3", "7.5"));
  EXPECT_EQ(rest.Status, 201) << rest.Body;
  EXPECT_EQ(MoneyAmount(rest.Body, "remainingAmount"), "0");
  EXPECT_EQ(PostRefund(token, RefundBody(token, "refund-4", "0.01")).Status, 422);
}

TEST_F(SimTest, RefundsAreChecked) {
  const std::string token = NewOrder("PRE-1", "order-1");
  struct Case {
    const char* Name;
    std::string Token;
    std::string Body;
    int Status;
    const char* Field;
  };
  const Case cases[] = {
      {"unknown order", "ord_000000000000000000000000", RefundBody("ord_000000000000000000000000", "x1", "1"), 404, ""},
      {"other currency", token, RefundBody(token, "x2", "1", "USD"), 400, "refundAmount.currency"},
      {"token of another order", token, RefundBody("ord_other", "x3", "1"), 400, "token"},
      {"no request id", token, RefundBody(token, "", "1"), 400, "requestId"},
      {"amount zero", token, RefundBody(token, "x4", "0.0"), 400, "refundAmount.amount"},
      {"no refund amount", token, R"({"token":")" + token + R"(","requestId":"x5"})", 400, "refundAmount"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    SimReply reply = PostRefund(c.Token, c.Body);
    EXPECT_EQ(reply.Status, c.Status) << reply.Body;
    EXPECT_NE(Member(reply.Body, "message"), "<none>");
    if (*c.Field) {
      EXPECT_EQ(Member(reply.Body, "field"), c.Field);
    }
  }
  // Nothing was refunded by the refused requests.
  EXPECT_EQ(PostRefund(token, RefundBody(token, "all", "12.5")).Status, 201);
}

// A request id seen before answers the first answer again; with other content it is
// a conflict. A repeated refund refunds nothing more.
TEST_F(SimTest, RequestIdsAreIdempotent) {
  SimReply first = PostOrder(OrderBody("PRE-1", "same-id"));
  SimReply again = PostOrder(OrderBody("PRE-1", "same-id"));
  ASSERT_EQ(first.Status, 201);
  EXPECT_EQ(again.Status, 201);
  EXPECT_EQ(again.Body, first.Body);
  EXPECT_EQ(again.Header("Idempotent-Replayed"), "true");
  SimReply changed = PostOrder(OrderBody("PRE-1", "same-id", "13"));
  EXPECT_EQ(changed.Status, 409);
  EXPECT_EQ(Member(changed.Body, "field"), "requestId");

  const std::string token = Member(first.Body, "token");
  SimReply refund = PostRefund(token, RefundBody(token, "refund-same", "10"));
  SimReply refundAgain = PostRefund(token, RefundBody(token, "refund-same", "10"));
  ASSERT_EQ(refund.Status, 201);
  EXPECT_EQ(refundAgain.Status, 201);
  EXPECT_EQ(refundAgain.Body, refund.Body);
  EXPECT_EQ(PostRefund(token, RefundBody(token, "refund-other", "2.5")).Status, 201);  // 10 + 2.5: all of it
  EXPECT_EQ(PostRefund(token, RefundBody(token, "refund-more", "0.01")).Status, 422);
  // An order's request id cannot be reused by a refund.
  EXPECT_EQ(PostRefund(token, RefundBody(token, "same-id", "0.01")).Status, 409);
}

// A repeat that arrives while the first request with its id is still at work gets 409
// "in progress", never a second order; once the first has its answer, a repeat gets
// that answer, marked as a replay in the request list, the journal and on the page.
TEST(Sim, ARepeatDuringTheFirstRequestIsInProgressThenReplayed) {
  const std::string directory = ::testing::TempDir() + "lorvani-repeat-" + std::to_string(::getpid());
  std::filesystem::create_directories(directory);
  const std::string path = directory + "/journal.jsonl";
  std::filesystem::remove(path);
  LorvaniSim sim({"--journal", path});
  const std::string body = OrderBody("FAULT-DELAY-3", "repeat-1");
  SimReply first;
  std::thread patient([&] { first = sim.Send("POST", "/v1/instore/orders", body, kJsonWithToken); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  SimReply early = sim.Send("POST", "/v1/instore/orders", body, kJsonWithToken);
  patient.join();
  EXPECT_EQ(early.Status, 409) << early.Body;
  EXPECT_EQ(Member(early.Body, "errorCode"), "request_in_progress");
  EXPECT_THAT(Member(early.Body, "message"), HasSubstr("still in progress"));
  ASSERT_EQ(first.Status, 201) << first.Body;

  SimReply late = sim.Send("POST", "/v1/instore/orders", body, kJsonWithToken);
  EXPECT_EQ(late.Status, 201);
  EXPECT_EQ(late.Body, first.Body);
  EXPECT_EQ(Json(sim.OrdersJson()).Size(), 1u);
  rapidjson::Document listed = Json(sim.Send("GET", "/_sim/requests").Body);
  ASSERT_EQ(listed.Size(), 3u);
  EXPECT_FALSE(listed[0]["replay"].GetBool());
  EXPECT_FALSE(listed[1]["replay"].GetBool());
  EXPECT_TRUE(listed[2]["replay"].GetBool());
  const std::string page = sim.Send("GET", "/").Body;
  EXPECT_THAT(page, HasSubstr("<table id=\"replays\">"));
  EXPECT_THAT(page, HasSubstr("a repeat, answered with the first answer"));
  std::ifstream journal(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(journal, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].find("\"replay\""), std::string::npos) << lines[0];  // the 409, answered first
  EXPECT_THAT(lines[0], HasSubstr(R"("status":409)"));
  EXPECT_THAT(lines[2], HasSubstr(R"("replay":true)"));
  std::filesystem::remove_all(directory);
}

// A client slow to send its request (under a debugger or valgrind) is still served after
// a silence of several seconds on its connection.
TEST_F(SimTest, ASlowClientIsServedAfterSixSilentSeconds) {
  std::signal(SIGPIPE, SIG_IGN);  // a connection closed early fails the write, not the test program
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(sim.Port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), &SSL_CTX_free);
  std::unique_ptr<SSL, decltype(&SSL_free)> tls(SSL_new(context.get()), &SSL_free);
  SSL_set_fd(tls.get(), fd);
  ASSERT_EQ(SSL_connect(tls.get()), 1);
  std::this_thread::sleep_for(std::chrono::seconds(6));
  const std::string request = "GET /_sim/fault HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  SSL_write(tls.get(), request.data(), static_cast<int>(request.size()));
  std::string answer;
  char buffer[4096];
  for (int n; (n = SSL_read(tls.get(), buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<size_t>(n));
  close(fd);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
}

// Faults chosen by the pre-approval code. Those before the service keep no order.
TEST_F(SimTest, FaultsByPreApprovalCode) {
  struct Case {
    const char* Code;
    bool Answered;
    int Status;
    const char* ContentType;  // substring; empty: no body
    bool OrderKept;
  };
  const Case cases[] = {
      {"FAULT-500", true, 500, "", false},
      {"FAULT-502-HTML", true, 502, "text/html", false},
      {"FAULT-JSON-ARRAY", true, 400, "application/json", false},
      {"FAULT-NOT-JSON", true, 400, "text/plain", false},
      {"FAULT-302", true, 302, "text/html", false},
      {"FAULT-CLOSE", false, 0, "", false},
      {"FAULT-DECLINED", true, 422, "application/json", false},
      {"FAULT-NO-TOKEN", true, 201, "application/json", true},
      {"FAULT-JSON-STRING", true, 400, "application/json", false},
      {"FAULT-JSON-NUMBER", true, 400, "application/json", false},
      {"FAULT-BOM", true, 201, "application/json", true},
      {"FAULT-LOST-ANSWER", false, 0, "", true},
  };
  int orders = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Code);
    SimReply reply = PostOrder(OrderBody(c.Code, std::string("id-") + c.Code));
    EXPECT_EQ(reply.Answered, c.Answered);
    EXPECT_EQ(reply.Status, c.Status);
    if (*c.ContentType) {
      EXPECT_THAT(reply.Header("Content-Type"), HasSubstr(c.ContentType));
    } else {
      EXPECT_EQ(reply.Body, "");
    }
    if (c.OrderKept) ++orders;
    rapidjson::Document list = Json(sim.OrdersJson());
    EXPECT_EQ(list.Size(), static_cast<rapidjson::SizeType>(orders));
  }
  EXPECT_TRUE(Json(PostOrder(OrderBody("FAULT-JSON-ARRAY", "a2")).Body).IsArray());
  EXPECT_TRUE(Json(PostOrder(OrderBody("FAULT-NOT-JSON", "a3")).Body).HasParseError());
  EXPECT_TRUE(Json(PostOrder(OrderBody("FAULT-JSON-STRING", "a6")).Body).IsString());
  EXPECT_TRUE(Json(PostOrder(OrderBody("FAULT-JSON-NUMBER", "a7")).Body).IsNumber());
  // The mark, then the usual answer with the order's token.
  const std::string marked = PostOrder(OrderBody("FAULT-BOM", "a8")).Body;
  ASSERT_TRUE(marked.starts_with("\xEF\xBB\xBF")) << marked;
  EXPECT_NE(Member(marked.substr(3), "token"), "<none>");
  EXPECT_EQ(PostOrder(OrderBody("FAULT-302", "a4")).Header("Location"), "/v1/instore/moved");
  SimReply noToken = PostOrder(OrderBody("FAULT-NO-TOKEN", "a5"));
  EXPECT_EQ(Member(noToken.Body, "token"), "<none>");
  EXPECT_EQ(Member(noToken.Body, "status"), "approved");

  // The connection closed without an answer is still in the list, without a status.
  bool closedListed = false;
  for (const auto& request : sim.Requests()) {
    if (request.Body.find("FAULT-CLOSE") != std::string::npos) closedListed = request.Status == 0;
  }
  EXPECT_TRUE(closedListed);
}

TEST_F(SimTest, DelayFaultWaitsThenCreatesTheOrder) {
  auto start = std::chrono::steady_clock::now();
  SimReply reply = PostOrder(OrderBody("FAULT-DELAY-2", "slow"));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(reply.Status, 201);
  EXPECT_NE(Member(reply.Body, "token"), "<none>");
  EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
  EXPECT_LT(elapsed, std::chrono::seconds(30));
}

// A client that gives up while the answer is held: the request shows as pending (not
// as a failure) while held, then as answered after the client left, in the requests,
// on the page and in the journal.
TEST(Sim, AnAnswerTheClientNoLongerWaitsForIsMarked) {
  const std::string directory = ::testing::TempDir() + "lorvani-left-" + std::to_string(::getpid());
  std::filesystem::create_directories(directory);
  const std::string path = directory + "/journal.jsonl";
  std::filesystem::remove(path);
  LorvaniSim sim({"--journal", path});
  std::thread impatient([&] {
    SimReply gaveUp = sim.Send("POST", "/v1/instore/orders", OrderBody("FAULT-DELAY-3", "left-1"), kJsonWithToken, 1);
    EXPECT_FALSE(gaveUp.Answered);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::string held = sim.Send("GET", "/").Body;
  impatient.join();
  EXPECT_THAT(held, HasSubstr("<table id=\"pending\">"));
  EXPECT_THAT(held, HasSubstr("<td>pending</td>"));
  EXPECT_EQ(held.find("<td>no answer</td>"), std::string::npos);
  EXPECT_THAT(held, HasSubstr("No failures"));

  // The order is made when the delay ends, after the client has gone.
  std::string state;
  for (int i = 0; i < 100 && state != "client-left"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto requests = sim.Requests();
    if (!requests.empty()) state = requests[0].State;
  }
  EXPECT_EQ(state, "client-left");
  const std::string page = sim.Send("GET", "/").Body;
  EXPECT_EQ(page.find("<table id=\"pending\">"), std::string::npos);
  EXPECT_THAT(page, HasSubstr("answered after the client left"));
  EXPECT_THAT(page, HasSubstr("<td>201</td>"));
  EXPECT_THAT(sim.Send("GET", "/_sim/orders?requestId=left-1").Body, HasSubstr(R"("requestId":"left-1")"));
  EXPECT_EQ(sim.Send("GET", "/_sim/orders?requestId=other").Body, "[]");
  std::ifstream journal(path);
  std::string line;
  std::getline(journal, line);
  EXPECT_THAT(line, HasSubstr(R"("status":201)"));
  EXPECT_THAT(line, HasSubstr(R"("clientLeft":true,"note":"answered after the client left")"));
}

// The order or refund is made and kept, but its answer never comes; a repeat of the
// request gets the answer that was lost.
TEST_F(SimTest, LostAnswerKeepsTheOrderOrRefund) {
  SimReply lost = PostOrder(OrderBody("FAULT-LOST-ANSWER", "lost-1"));
  EXPECT_FALSE(lost.Answered);
  rapidjson::Document orders = Json(sim.OrdersJson());
  ASSERT_EQ(orders.Size(), 1u);
  const std::string token = orders[0]["token"].GetString();
  EXPECT_EQ(sim.Requests().back().Status, 0);

  SimReply again = PostOrder(OrderBody("FAULT-LOST-ANSWER", "lost-1"));
  ASSERT_TRUE(again.Answered);
  EXPECT_EQ(again.Status, 201);
  EXPECT_EQ(again.Header("Idempotent-Replayed"), "true");
  EXPECT_EQ(Member(again.Body, "token"), token);
  EXPECT_EQ(Json(sim.OrdersJson()).Size(), 1u);

  sim.SetFault("FAULT-LOST-ANSWER");
  EXPECT_FALSE(PostRefund(token, RefundBody(token, "lost-r", "2")).Answered);
  rapidjson::Document after = Json(sim.OrdersJson());
  EXPECT_STREQ(after[0]["refundedAmount"]["amount"].GetString(), "2");
}

TEST_F(SimTest, AnOrderIsReadWithItsRefunds) {
  const std::string token = NewOrder("PRE-1", "read-1");
  ASSERT_EQ(PostRefund(token, RefundBody(token, "read-r1", "2.5")).Status, 201);
  const HeaderList bearer{{"Authorization", "Bearer demo-token"}};

  SimReply read = sim.Send("GET", "/v1/instore/orders/" + token, "", bearer);
  ASSERT_EQ(read.Status, 200) << read.Body;
  EXPECT_THAT(read.Header("Content-Type"), HasSubstr("application/json"));
  rapidjson::Document order = Json(read.Body);
  ASSERT_TRUE(order.IsObject()) << read.Body;
  EXPECT_EQ(Member(read.Body, "token"), token);
  EXPECT_EQ(Member(read.Body, "requestId"), "read-1");
  EXPECT_EQ(MoneyAmount(read.Body, "totalAmount"), "12.5");
  EXPECT_EQ(MoneyAmount(read.Body, "refundedAmount"), "2.5");
  EXPECT_EQ(MoneyAmount(read.Body, "remainingAmount"), "10");
  ASSERT_EQ(order["refunds"].Size(), 1u);
  EXPECT_STREQ(order["refunds"][0]["requestId"].GetString(), "read-r1");
  EXPECT_STREQ(order["refunds"][0]["refundAmount"]["amount"].GetString(), "2.5");

  struct Case {
    const char* Name;
    std::string Method;
    std::string Path;
    HeaderList Headers;
    int Status;
  };
  const Case cases[] = {
      {"unknown token", "GET", "/v1/instore/orders/ord_000000000000000000000000", bearer, 404},
      {"no bearer", "GET", "/v1/instore/orders/" + token, {}, 401},
      {"wrong bearer", "GET", "/v1/instore/orders/" + token, {{"Authorization", "Bearer nope"}}, 401},
      {"not a method of it", "DELETE", "/v1/instore/orders/" + token, bearer, 405},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    SimReply reply = sim.Send(c.Method, c.Path, "", c.Headers);
    EXPECT_EQ(reply.Status, c.Status) << reply.Body;
    EXPECT_NE(Member(reply.Body, "message"), "<none>") << reply.Body;
  }
  EXPECT_EQ(sim.Send("DELETE", "/v1/instore/orders/" + token).Header("Allow"), "GET");
}

// The journal page: orders, refunds, failures and the waiting fault, every value
// from a request escaped; the page loads nothing from elsewhere.
TEST_F(SimTest, JournalPageListsWhatHappened) {
  const std::string hostile = R"(<img src=x onerror=alert(1)>&\"')";
  std::string body = OrderBody("PRE-1", "page-1");
  body.replace(body.find("\"R1\""), 4, "\"" + hostile + "\"");
  SimReply created = PostOrder(body);
  ASSERT_EQ(created.Status, 201) << created.Body;
  const std::string token = Member(created.Body, "token");
  ASSERT_EQ(PostRefund(token, RefundBody(token, "page-r1", "1.25")).Status, 201);
  PostOrder(OrderBody("PRE-1", "page-3", "-1"));
  PostOrder(OrderBody("FAULT-<i>bad</i>", "page-4"));
  PostOrder(OrderBody("FAULT-CLOSE", "page-2"));
  sim.SetFault("FAULT-500");

  SimReply page = sim.Send("GET", "/");
  ASSERT_EQ(page.Status, 200);
  EXPECT_THAT(page.Header("Content-Type"), HasSubstr("text/html"));
  EXPECT_THAT(page.Header("Content-Security-Policy"), HasSubstr("default-src 'none'"));
  const std::string& html = page.Body;
  EXPECT_THAT(html, HasSubstr(R"(<meta http-equiv="refresh")"));
  EXPECT_THAT(html, HasSubstr(token));
  EXPECT_THAT(html, HasSubstr("12.5 EUR"));
  EXPECT_THAT(html, HasSubstr("page-r1"));
  EXPECT_THAT(html, HasSubstr("1.25 EUR"));
  EXPECT_THAT(html, HasSubstr("&lt;img src=x onerror=alert(1)&gt;&amp;&quot;&#39;"));
  EXPECT_EQ(html.find("<img"), std::string::npos);
  EXPECT_THAT(html, HasSubstr("FAULT-&lt;i&gt;bad&lt;/i&gt;"));
  EXPECT_EQ(html.find("<i>"), std::string::npos);
  EXPECT_THAT(html, HasSubstr("totalAmount.amount must be greater than 0"));
  EXPECT_THAT(html, HasSubstr("<td>400</td>"));
  EXPECT_THAT(html, HasSubstr("<td>no answer</td>"));
  EXPECT_THAT(html, HasSubstr("FAULT-500"));
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("http://"), std::string::npos);
  EXPECT_EQ(html.find("https://"), std::string::npos);
  EXPECT_EQ(sim.Requests().size(), 5u);  // the page is not among the requests
}

TEST_F(SimTest, RefundFaultsFollowTheOrdersCode) {
  const std::string without = NewOrder("FAULT-NO-REFUNDEDAT", "o1");
  SimReply reply = PostRefund(without, RefundBody(without, "f1", "1"));
  EXPECT_EQ(reply.Status, 201);
  EXPECT_EQ(Member(reply.Body, "refundedAt"), "<none>");
  EXPECT_NE(Member(reply.Body, "refundToken"), "<none>");
  EXPECT_EQ(Member(reply.Body, "token"), without);

  const std::string bad = NewOrder("FAULT-BAD-REFUNDEDAT", "o2");
  SimReply badReply = PostRefund(bad, RefundBody(bad, "f2", "1"));
  EXPECT_EQ(badReply.Status, 201);
  EXPECT_FALSE(std::regex_search(Member(badReply.Body, "refundedAt"), std::regex("^\\d{4}-")));

  const std::string ordinary = NewOrder("PRE-1", "o3");
  EXPECT_NE(Member(PostRefund(ordinary, RefundBody(ordinary, "f3", "1")).Body, "refundedAt"), "<none>");
}

// The control route's fault takes the next request only, whatever its content: the
// transport faults even before the token is checked.
TEST_F(SimTest, ControlFaultTakesTheNextRequestOnly) {
  sim.SetFault("FAULT-502-HTML");
  EXPECT_EQ(sim.Send("GET", "/_sim/fault").Body, R"({"fault":"FAULT-502-HTML"})");
  EXPECT_EQ(PostOrder(OrderBody("PRE-1", "c1"), {{"Content-Type", "application/json"}}).Status, 502);
  EXPECT_EQ(sim.Send("GET", "/_sim/fault").Body, R"({"fault":null})");
  EXPECT_EQ(PostOrder(OrderBody("PRE-1", "c1")).Status, 201);

  const std::string token = NewOrder("PRE-1", "c2");
  sim.SetFault("FAULT-NO-REFUNDEDAT");
  EXPECT_EQ(Member(PostRefund(token, RefundBody(token, "c3", "1")).Body, "refundedAt"), "<none>");
  sim.SetFault("FAULT-CLOSE");
  EXPECT_FALSE(PostRefund(token, RefundBody(token, "c4", "1")).Answered);
  sim.SetFault("FAULT-BOM");
  EXPECT_TRUE(PostRefund(token, RefundBody(token, "c6", "1")).Body.starts_with("\xEF\xBB\xBF"));

  sim.SetFault("FAULT-500");
  EXPECT_EQ(sim.Send("DELETE", "/_sim/fault").Status, 204);
  EXPECT_EQ(PostOrder(OrderBody("PRE-1", "c5")).Status, 201);

  SimReply unknown = sim.Send("POST", "/_sim/fault", R"({"fault":"FAULT-BOOM"})", {{"Content-Type", "application/json"}});
  EXPECT_EQ(unknown.Status, 400);
  EXPECT_THAT(Member(unknown.Body, "message"), HasSubstr("FAULT-500"));
}

// What was received, exactly: method, target, headers and body bytes; control routes
// are not listed; the list can be cleared.
TEST_F(SimTest, ReceivedRequestsAreListed) {
  const std::string body = std::string(R"({"x":"\u00e9)") + "\xC3\xA9" + "\"}";
  PostOrder(body, {{"Authorization", "Bearer demo-token"}, {"Content-Type", "application/json"}, {"X-Trace", "t-1"}});
  sim.Send("POST", "/v1/instore/orders/ord_1/refund?debug=1", std::string("\xFF\xFE", 2), kJsonWithToken);
  sim.SetFault("FAULT-500");
  sim.Send("DELETE", "/_sim/fault");

  auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Method, "POST");
  EXPECT_EQ(requests[0].Path, "/v1/instore/orders");
  EXPECT_EQ(requests[0].Body, body);
  EXPECT_EQ(requests[0].Header("x-trace"), "t-1");
  EXPECT_EQ(requests[0].Header("Authorization"), "Bearer demo-token");
  EXPECT_FALSE(requests[0].HasHeader("REMOTE_ADDR"));
  EXPECT_EQ(requests[0].Status, 400);
  EXPECT_EQ(requests[1].Path, "/v1/instore/orders/ord_1/refund?debug=1");
  EXPECT_EQ(requests[1].Body, std::string("\xFF\xFE", 2));

  sim.ClearRequests();
  EXPECT_TRUE(sim.Requests().empty());
}

TEST(Sim, WritesItsCaFileAndStopsOnBothSignals) {
  for (int signal : {SIGTERM, SIGINT}) {
    LorvaniSim sim;
    std::ifstream file(sim.CaFile());
    std::stringstream pem;
    pem << file.rdbuf();
    EXPECT_THAT(pem.str(), HasSubstr("-----BEGIN CERTIFICATE-----"));
    EXPECT_TRUE(std::regex_match(sim.BaseUrl(), std::regex("https://127\\.0\\.0\\.1:\\d+/v1/instore/")));
    EXPECT_EQ(sim.Stop(signal), 0);
  }
}

// One JSON line a request with its answer, appended; the bearer token never written.
TEST(Sim, JournalFileHasALineARequest) {
  const std::string directory = ::testing::TempDir() + "lorvani-journal-" + std::to_string(::getpid());
  std::filesystem::create_directories(directory);
  const std::string path = directory + "/journal.jsonl";
  {
    std::ofstream(path) << "earlier line\n";
  }
  {
    LorvaniSim sim({"--token", "s3cret-journal", "--journal", path});
    const HeaderList headers{{"Authorization", "Bearer s3cret-journal"}, {"Content-Type", "application/json"}};
    SimReply created = sim.Send("POST", "/v1/instore/orders", OrderBody("PRE-1", "j1"), headers);
    ASSERT_EQ(created.Status, 201);
    sim.Send("POST", "/v1/instore/orders", "not json", headers);
    sim.Send("POST", "/v1/instore/orders", OrderBody("FAULT-LOST-ANSWER", "j2"), headers);
    sim.Send("GET", "/");
    sim.Send("GET", "/_sim/orders");
    EXPECT_EQ(sim.Stop(), 0);
  }
  std::ifstream file(path);
  std::stringstream content;
  content << file.rdbuf();
  EXPECT_EQ(content.str().find("s3cret-journal"), std::string::npos);
  std::vector<std::string> lines;
  for (std::string line; std::getline(content, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u) << content.str();
  EXPECT_EQ(lines[0], "earlier line");
  const struct {
    int Status;
    const char* Request;  // a part of the request body
    const char* Answer;   // a part of the answer body
  } expected[] = {
      {201, "\"requestId\":\"j1\"", "\"token\":\"ord_"},
      {400, "not json", "The body is not valid JSON"},
      {0, "\"requestId\":\"j2\"", ""},
  };
  for (size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(lines[i + 1]);
    rapidjson::Document entry = Json(lines[i + 1]);
    ASSERT_TRUE(entry.IsObject());
    EXPECT_TRUE(std::regex_match(entry["time"].GetString(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
    EXPECT_STREQ(entry["method"].GetString(), "POST");
    EXPECT_STREQ(entry["path"].GetString(), "/v1/instore/orders");
    EXPECT_EQ(entry["status"].GetInt(), expected[i].Status);
    EXPECT_THAT(entry["request"].GetString(), HasSubstr(expected[i].Request));
    EXPECT_THAT(entry["answer"].GetString(), HasSubstr(expected[i].Answer));
    if (!*expected[i].Answer) {
      EXPECT_STREQ(entry["answer"].GetString(), "");
    }
  }
  std::filesystem::remove_all(directory);
}

TEST(Sim, TokenOptionChangesTheExpectedToken) {
  LorvaniSim sim({"--token", "s3cret"});
  const std::string body = OrderBody("PRE-1", "t1");
  EXPECT_EQ(sim.Send("POST", "/v1/instore/orders", body, kJsonWithToken).Status, 401);
  EXPECT_EQ(sim.Send("POST", "/v1/instore/orders", body,
                     {{"Authorization", "Bearer s3cret"}, {"Content-Type", "application/json"}})
                .Status,
            201);
}

// A stop signal ends a delay under way: the simulator does not wait it out.
TEST(Sim, StopEndsADelayUnderWay) {
  LorvaniSim sim;
  std::thread client([&sim] {
    sim.Send("POST", "/v1/instore/orders", OrderBody("FAULT-DELAY-300", "long"), kJsonWithToken);
  });
  for (int i = 0; i < 500 && sim.Requests().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  client.join();
}

// Whether a TCP socket of this family can be bound to the loopback address aAddress.
bool CanBind(int aFamily, const char* aAddress) {
  const int s = socket(aFamily, SOCK_STREAM, 0);
  if (s < 0) return false;
  sockaddr_storage address{};
  socklen_t size = 0;
  if (aFamily == AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, aAddress, &in6->sin6_addr);
    size = sizeof *in6;
  } else {
    auto* in = reinterpret_cast<sockaddr_in*>(&address);
    in->sin_family = AF_INET;
    inet_pton(AF_INET, aAddress, &in->sin_addr);
    size = sizeof *in;
  }
  const bool bound = bind(s, reinterpret_cast<sockaddr*>(&address), size) == 0;
  close(s);
  return bound;
}

// Whether something accepts TCP connections at aAddress (IPv4) and aPort.
bool Accepts(const char* aAddress, int aPort) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(aPort));
  inet_pton(AF_INET, aAddress, &address.sin_addr);
  const bool connected = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(s);
  return connected;
}

// --listen: the simulator serves at that address only, names it in its URL and in its
// certificate (the fixture's client verifies the certificate against the address).
// The status of a POST with the token by curl, which checks the certificate against the
// simulator's CA and the URL's host. (The test's own HTTP client of this Debian release
// reads past an IPv4 address name of the certificate when it checks an IPv6 host.)
// aPath is relative to the base URL.
int VerifyingPostStatus(const LorvaniSim& aSim, const std::string& aPath, const std::string& aBody) {
  const std::string bodyFile = (std::filesystem::path(aSim.CaFile()).parent_path() / "post-body.json").string();
  std::ofstream(bodyFile) << aBody;
  const std::string command = "curl -sS -o /dev/null -w '%{http_code}' --cacert '" + aSim.CaFile() +
                              "' -H 'Authorization: Bearer demo-token' -H 'Content-Type: application/json'"
                              " --data-binary @'" + bodyFile + "' '" + aSim.BaseUrl() + aPath + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  char status[16] = {};
  const size_t read = fread(status, 1, sizeof status - 1, pipe);
  pclose(pipe);
  return read > 0 ? std::atoi(status) : -1;
}

TEST(Sim, ListensOnTheAddressGiven) {
  const struct {
    const char* Address;
    int Family;
    const char* UrlHost;
  } cases[] = {{"127.0.0.2", AF_INET, "127.0.0.2"}, {"::1", AF_INET6, "[::1]"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Address);
    if (!CanBind(c.Family, c.Address)) {
      std::cout << "no " << c.Address << " on this machine: left out\n";
      continue;
    }
    LorvaniSim sim({"--listen", c.Address});
    EXPECT_EQ(sim.BaseUrl(), std::string("https://") + c.UrlHost + ":" + std::to_string(sim.Port()) + "/v1/instore/");
    EXPECT_EQ(sim.Host(), c.Address);
    EXPECT_EQ(VerifyingPostStatus(sim, "orders", OrderBody("PRE-1", "listen")), 201);
    EXPECT_FALSE(Accepts("127.0.0.1", sim.Port()));
    EXPECT_EQ(sim.Stop(), 0);
  }
}

TEST(Sim, CommandLine) {
  std::string output;
  EXPECT_EQ(LorvaniSim::RunToEnd({"--help"}, output), 0);
  for (const char* documented : {"--port", "--listen", "--token", "--ca-out", "--hostname-mismatch", "/_sim/requests",
                                 "/_sim/fault", "FAULT-DELAY-N", "FAULT-CLOSE", "FAULT-NO-REFUNDEDAT", "SIGTERM",
                                 "FAULT-JSON-STRING", "FAULT-JSON-NUMBER", "FAULT-BOM", "FAULT-LOST-ANSWER",
                                 "--journal", "GET /v1/instore/orders/{token}", "connect 10 s", "read 120 s"}) {
    EXPECT_THAT(output, HasSubstr(documented));
  }
  EXPECT_EQ(LorvaniSim::RunToEnd({"--bogus"}, output), 2);
  EXPECT_EQ(LorvaniSim::RunToEnd({"--port", "70000"}, output), 2);
  EXPECT_EQ(LorvaniSim::RunToEnd({"--port"}, output), 2);
  EXPECT_EQ(LorvaniSim::RunToEnd({"--listen"}, output), 2);
  // An address of no interface of this machine (a documentation network).
  EXPECT_EQ(LorvaniSim::RunToEnd({"--listen", "192.0.2.1", "--port", "0", "--quiet"}, output), 1);
  EXPECT_EQ(output, "");
  EXPECT_EQ(LorvaniSim::RunToEnd({"--journal", "/nonexistent-directory/journal.jsonl", "--port", "0"}, output), 1);
  EXPECT_EQ(output, "");

  LorvaniSim running;
  EXPECT_EQ(LorvaniSim::RunToEnd({"--port", std::to_string(running.Port()), "--quiet"}, output), 1);
  EXPECT_EQ(output, "");  // no URL for a port it could not have
}

}  // namespace
