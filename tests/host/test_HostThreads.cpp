// Host threads calling the exports at the same time: commands on a shared device and on
// devices of their own, devices opened and closed meanwhile, and the library unloaded
// right after another thread's call has returned. The ThreadSanitizer build runs these
// to find races; every build checks that each call got its own complete answer.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "HostLibrary.h"
#include "HttpTestServer.h"

namespace {

using zvtest::HostLibrary;

std::u16string U16(const std::string& aText) { return std::u16string(aText.begin(), aText.end()); }

std::string U8(const std::u16string& aText) {
  std::string out;
  for (char16_t c : aText) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

std::string Element(const std::u16string& aResponse, const std::string& aName) {
  const std::string text = U8(aResponse);
  const std::string open = "<" + aName + ">", close = "</" + aName + ">";
  const size_t start = text.find(open);
  if (start == std::string::npos) return "<absent>";
  return text.substr(start + open.size(), text.find(close, start) - start - open.size());
}

// The provider's answers: an order for every payment, a refund for every refund.
zvtest::HttpReply Answer(const zvtest::HttpRequest& aRequest) {
  zvtest::HttpReply reply;
  reply.Headers = {{"Content-Type", "application/json"}};
  if (aRequest.Target.find("/refund") != std::string::npos) {
    reply.Body = R"({"token":"ord_1","refundToken":"rf_1","refundedAt":"2026-12-10T03:25:24.339Z"})";
  } else {
    reply.Status = 201;
    reply.Reason = "Created";
    reply.Body = R"({"token":"ord_1","status":"approved"})";
  }
  return reply;
}

class HostThreads : public ::testing::Test {
 protected:
  std::u16string OpenRequest(const std::string& aLogId) const {
    return U16("<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>" + aLogId +
               "</LogId><Connection><Type>HTTP</Type><URL>" + fServer.Url("/v1/instore/") +
               "</URL></Connection><Parameters><Bearer>t</Bearer><TlsVerify>false</TlsVerify></Parameters></Request>");
  }
  static std::u16string PayRequest(const std::string& aHandle, bool aRefund) {
    return U16("<Request><Handle>" + aHandle + "</Handle><Payment><Action>" + (aRefund ? "REFUND" : "PAY") +
               "</Action><Amount>1.25</Amount><Currency>EUR</Currency><Attributes>PRE-1</Attributes>"
               "<StoreCode>S1</StoreCode><TillCode>T1</TillCode><OperatorId>op</OperatorId><RefundReference>"
               "<PaymentId>ord_1</PaymentId></RefundReference></Payment></Request>");
  }
  static std::u16string HandleRequest(const std::string& aHandle) {
    return U16("<Request><Handle>" + aHandle + "</Handle></Request>");
  }
  // OPEN's handle; fails the test when OPEN fails.
  std::string Open(const HostLibrary& aLibrary, const std::string& aLogId) const {
    const auto answer = aLibrary.Call("OPEN", OpenRequest(aLogId));
    EXPECT_EQ(answer.result, 0) << U8(answer.error);
    return Element(answer.response, "Handle");
  }

  zvtest::HttpTestServer fServer{Answer};
};

TEST_F(HostThreads, CommandsOnSharedAndSeparateHandlesAtTheSameTime) {
  HostLibrary library;
  const std::string shared = Open(library, "shared");
  constexpr int kThreads = 4;
  constexpr int kRounds = 6;
  std::atomic<int> failures{0};
  std::vector<std::string> ownHandles(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string own = Open(library, "own" + std::to_string(t));
      ownHandles[t] = own;
      for (int round = 0; round < kRounds; ++round) {
        const bool refund = (round + t) % 2 == 1;
        for (const std::string& handle : {shared, own}) {
          const auto pay = library.Call("PAY", PayRequest(handle, refund));
          if (pay.result != 0 || Element(pay.response, "RefundReference") != "ord_1") ++failures;
        }
        if (library.Call("GETSTATUS", HandleRequest(own)).result != 0) ++failures;
        if (library.Call("VERSION", u"ZVPA_LORVANI_10").response.empty()) ++failures;
      }
      if (library.Call("CLOSE", HandleRequest(own)).result != 0) ++failures;
    });
  }
  // Meanwhile devices come and go.
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      const std::string handle = Open(library, "transient");
      if (library.Call("CLOSE", HandleRequest(handle)).result != 0) ++failures;
    }
  });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(std::set<std::string>(ownHandles.begin(), ownHandles.end()).size(), size_t{kThreads});
  // Each own device is closed; the shared one is still open and serves.
  EXPECT_NE(library.Call("PAY", PayRequest(ownHandles[0], false)).result, 0);
  EXPECT_EQ(library.Call("PAY", PayRequest(shared, false)).result, 0);
  EXPECT_EQ(library.Call("CLOSE", HandleRequest(shared)).result, 0);
}

TEST_F(HostThreads, UnloadingRightAfterAnotherThreadsCallReturned) {
  for (int round = 0; round < 8; ++round) {
    auto library = std::make_unique<HostLibrary>();
    std::atomic<bool> returned{false};
    int result = -1;
    // The device stays open: unloading closes it, with its log writer.
    std::thread caller([&] {
      const std::string handle = Open(*library, "unload");
      result = library->Call("PAY", PayRequest(handle, round % 2 == 1)).result;
      returned = true;
    });
    while (!returned) std::this_thread::yield();
    library.reset();
    caller.join();
    EXPECT_EQ(result, 0);
  }
}

}  // namespace
