#pragma once
// The simulated provider itself, without HTTP: bearer check, body validation, orders
// and refunds kept in memory, idempotent request ids, and the fault injection. Each
// operation turns one request into the answer to send. Safe to call from the server's
// threads at once.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lorvanisim {

enum class FaultKind {
  Delay,          // wait, then answer as usual
  Status500,      // 500 without a body
  Html502,        // 502 with an HTML page, as a gateway sends
  JsonArray,      // 400 whose body is a JSON array, not an object
  NotJson,        // 400 whose body is plain text
  Redirect302,    // 302 to another path
  Close,          // the connection is closed without an answer
  NoToken,        // success without "token"
  NoRefundedAt,   // refund success without "refundedAt"
  BadRefundedAt,  // refund success with a "refundedAt" that is no date
  Declined,       // 422: the pre-approval is declined
  HugeAnswer,     // the order is created; 200 with a JSON body a little over 1 MiB
  JsonString,     // 400 whose body is a JSON string, not an object
  JsonNumber,     // 400 whose body is a JSON number, not an object
  ByteOrderMark,  // success whose body starts with a UTF-8 byte-order mark
  LostAnswer,     // the order or refund is made, then the connection closes unanswered
};

struct Fault {
  FaultKind Kind = FaultKind::Delay;
  int Seconds = 0;  // for Delay
  std::string Name;
};

// "FAULT-500", "FAULT-DELAY-3" (1 to 300 seconds), ...; nothing for any other text.
std::optional<Fault> ParseFault(std::string_view aName);
// The names the simulator knows, for the help text and error messages.
std::vector<std::string> FaultNames();

struct SimCall {
  std::string Authorization;  // the Authorization header, empty when absent
  std::string ContentType;    // the Content-Type header
  std::string Body;
};

struct SimAnswer {
  int Status = 200;
  std::string ContentType;  // empty with an empty body
  std::string Body;
  std::vector<std::pair<std::string, std::string>> Headers;
  bool Close = false;    // close the connection instead of answering (after any delay)
  int DelaySeconds = 0;  // wait this long before answering
  bool Replayed = false;  // the first answer to this request id, given again
  // The request id whose work ends when this answer goes (or the connection closes):
  // SimStore::Settle then lets repeats of it be answered.
  std::string SettleRequestId;
};

class SimStore {
 public:
  explicit SimStore(std::string aBearerToken);

  // POST /v1/instore/orders
  SimAnswer CreateOrder(const SimCall& aCall);
  // POST /v1/instore/orders/{token}/refund
  SimAnswer RefundOrder(const std::string& aOrderToken, const SimCall& aCall);
  // GET /v1/instore/orders/{token}: the order with its refunds (no body, no media type).
  SimAnswer GetOrder(const std::string& aOrderToken, const SimCall& aCall) const;

  // The request made with aRequestId is done (its delay over, its answer sent or its
  // connection closed): a repeat of it now gets the first answer instead of a 409.
  void Settle(const std::string& aRequestId);

  // A fault for the next order or refund request, whatever its pre-approval code.
  void SetNextFault(const Fault& aFault);
  void ClearNextFault();
  std::optional<Fault> NextFault() const;

  // Every order with its refunds, as a JSON array; with aRequestId, only the order
  // made by that request or with a refund made by it.
  std::string OrdersJson(const std::string& aRequestId = {}) const;

  struct Refund {
    std::string RefundToken;
    std::string RequestId;
    int64_t Amount = 0;
    std::string RefundedAt;
  };
  struct Order {
    std::string Token;
    std::string RequestId;
    std::string PreApprovalCode;
    std::string OperatorId;
    std::string Reference;
    int64_t Amount = 0;  // scaled by 10,000
    std::string Currency;
    std::string CreatedAt;
    std::vector<Refund> Refunds;
    int64_t Refunded() const;
  };
  // A copy of the orders, oldest first.
  std::vector<Order> Orders() const;

 private:
  // A request already answered with success, to answer a repeat of it the same way.
  struct Replay {
    std::string Fingerprint;
    int Status = 0;
    std::string Body;
    bool InProgress = false;  // the first request is still at work (its delay runs)
  };
  // Records the first answer to aRequestId, to replay it; marks it in progress while
  // the answer waits for a delay.
  void Remember(const std::string& aRequestId, const std::string& aFingerprint, SimAnswer& aAnswer);

  std::optional<Fault> TakeNextFault();
  static std::optional<SimAnswer> ApplyTransportFault(std::optional<Fault>& aFault, int& aDelay);
  std::optional<SimAnswer> CheckBearer(const SimCall& aCall) const;
  std::optional<SimAnswer> CheckCaller(const SimCall& aCall) const;
  std::optional<SimAnswer> ReplayOf(const std::string& aRequestId, const std::string& aFingerprint) const;

  const std::string fBearerToken;
  mutable std::mutex fLock;
  std::vector<Order> fOrders;                 // in creation order
  std::map<std::string, size_t> fOrderIndex;  // token -> position in fOrders
  std::map<std::string, Replay> fReplays;     // requestId -> first success
  std::optional<Fault> fNextFault;
};

// Amounts: a decimal text with up to 4 decimals, scaled by 10,000, and back in the
// shortest form ("12.5", "100", "0.0001").
std::optional<int64_t> ParseAmount(std::string_view aText);
std::string FormatAmount(int64_t aAmount);
// The decimals a currency's amounts have (ISO 4217: 2 for EUR, 0 for JPY, 3 for KWD);
// 2 for a code the table does not hold.
int CurrencyDecimals(std::string_view aCurrency);
// The current UTC time as "yyyy-mm-ddThh:nn:ss.zzzZ".
std::string UtcNowIso();

}  // namespace lorvanisim
