#include "SimStore.h"

#include <openssl/rand.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace lorvanisim {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

constexpr int64_t kScale = 10000;
constexpr size_t kMaxIntegerDigits = 12;  // below a trillion: no overflow when summed
constexpr int kMaxDelaySeconds = 300;

struct FaultName {
  const char* Name;
  FaultKind Kind;
};
constexpr FaultName kFaults[] = {
    {"FAULT-500", FaultKind::Status500},         {"FAULT-502-HTML", FaultKind::Html502},
    {"FAULT-JSON-ARRAY", FaultKind::JsonArray},  {"FAULT-NOT-JSON", FaultKind::NotJson},
    {"FAULT-302", FaultKind::Redirect302},       {"FAULT-CLOSE", FaultKind::Close},
    {"FAULT-NO-TOKEN", FaultKind::NoToken},      {"FAULT-NO-REFUNDEDAT", FaultKind::NoRefundedAt},
    {"FAULT-BAD-REFUNDEDAT", FaultKind::BadRefundedAt}, {"FAULT-DECLINED", FaultKind::Declined},
    {"FAULT-HUGE-ANSWER", FaultKind::HugeAnswer},
    {"FAULT-JSON-STRING", FaultKind::JsonString},
    {"FAULT-JSON-NUMBER", FaultKind::JsonNumber},
    {"FAULT-BOM", FaultKind::ByteOrderMark},
    {"FAULT-LOST-ANSWER", FaultKind::LostAnswer},
};
constexpr std::string_view kDelayPrefix = "FAULT-DELAY-";
constexpr std::string_view kFaultPrefix = "FAULT-";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Faults of the transport or of a gateway before the service: they strike before the
// request is even looked at.
bool IsTransportFault(FaultKind aKind) {
  switch (aKind) {
    case FaultKind::Delay:
    case FaultKind::Status500:
    case FaultKind::Html502:
    case FaultKind::JsonArray:
    case FaultKind::NotJson:
    case FaultKind::Redirect302:
    case FaultKind::Close:
    case FaultKind::JsonString:
    case FaultKind::JsonNumber:
      return true;
    default:
      return false;
  }
}

std::string RandomToken(const char* aPrefix) {
  unsigned char bytes[12];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no random bytes");
  static const char kHex[] = "0123456789abcdef";
  std::string token = aPrefix;
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 0x0F];
  }
  return token;
}

void WriteMoney(Writer& aWriter, const char* aName, int64_t aAmount, const std::string& aCurrency) {
  aWriter.Key(aName);
  aWriter.StartObject();
  aWriter.Key("amount");
  aWriter.String(FormatAmount(aAmount).c_str());
  aWriter.Key("currency");
  aWriter.String(aCurrency.c_str());
  aWriter.EndObject();
}

SimAnswer JsonAnswer(int aStatus, const rapidjson::StringBuffer& aBuffer) {
  SimAnswer answer;
  answer.Status = aStatus;
  answer.ContentType = "application/json";
  answer.Body.assign(aBuffer.GetString(), aBuffer.GetSize());
  return answer;
}

// {"message": ..., "errorCode": ..., "field": ...}: what a failed request gets.
SimAnswer ErrorAnswer(int aStatus, const std::string& aErrorCode, const std::string& aMessage,
                      const std::string& aField = {}) {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  writer.Key("message");
  writer.String(aMessage.c_str(), static_cast<rapidjson::SizeType>(aMessage.size()));
  writer.Key("errorCode");
  writer.String(aErrorCode.c_str());
  if (!aField.empty()) {
    writer.Key("field");
    writer.String(aField.c_str());
  }
  writer.EndObject();
  return JsonAnswer(aStatus, buffer);
}

SimAnswer InvalidField(const std::string& aField, const std::string& aMessage) {
  return ErrorAnswer(400, "invalid_request", aField + " " + aMessage, aField);
}

SimAnswer TransportFaultAnswer(const Fault& aFault) {
  SimAnswer answer;
  switch (aFault.Kind) {
    case FaultKind::Status500:
      answer.Status = 500;
      break;
    case FaultKind::Html502:
      answer.Status = 502;
      answer.ContentType = "text/html";
      answer.Body =
          "<html>\r\n<head><title>502 Bad Gateway</title></head>\r\n<body>\r\n<center><h1>502 Bad "
          "Gateway</h1></center>\r\n</body>\r\n</html>\r\n";
      break;
    case FaultKind::JsonArray:
      answer.Status = 400;
      answer.ContentType = "application/json";
      answer.Body = R"([{"message":"Simulated fault: the answer is a JSON array"}])";
      break;
    case FaultKind::NotJson:
      answer.Status = 400;
      answer.ContentType = "text/plain";
      answer.Body = "Simulated fault: this answer is not JSON";
      break;
    case FaultKind::Redirect302:
      answer.Status = 302;
      answer.ContentType = "text/html";
      answer.Body = "<html><body>Moved to <a href=\"/v1/instore/moved\">/v1/instore/moved</a></body></html>";
      answer.Headers.emplace_back("Location", "/v1/instore/moved");
      break;
    case FaultKind::Close:
      answer.Close = true;
      break;
    case FaultKind::JsonString:
      answer.Status = 400;
      answer.ContentType = "application/json";
      answer.Body = R"("Simulated fault: the answer is a JSON string")";
      break;
    case FaultKind::JsonNumber:
      answer.Status = 400;
      answer.ContentType = "application/json";
      answer.Body = "42";
      break;
    default:
      break;
  }
  return answer;
}

// The parsed body, or the answer refusing it.
struct Body {
  rapidjson::Document Document;
  std::optional<SimAnswer> Refusal;
};

void ParseBody(const SimCall& aCall, Body& aBody) {
  aBody.Document.Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag>(
      aCall.Body.data(), aCall.Body.size());
  if (aBody.Document.HasParseError()) {
    aBody.Refusal = ErrorAnswer(400, "invalid_json", "The body is not valid JSON");
  } else if (!aBody.Document.IsObject()) {
    aBody.Refusal = ErrorAnswer(400, "invalid_json", "The body must be a JSON object");
  }
}

const rapidjson::Value* Member(const rapidjson::Value& aObject, const char* aName) {
  auto member = aObject.FindMember(aName);
  return member == aObject.MemberEnd() ? nullptr : &member->value;
}

// A required string that is not empty.
std::optional<SimAnswer> RequiredText(const rapidjson::Value& aObject, const char* aName, const std::string& aField,
                                      std::string& aValue) {
  const rapidjson::Value* value = Member(aObject, aName);
  if (!value) return InvalidField(aField, "is required");
  if (!value->IsString() || value->GetStringLength() == 0) return InvalidField(aField, "must be a non-empty string");
  aValue.assign(value->GetString(), value->GetStringLength());
  return std::nullopt;
}

// An optional string: absent gives empty.
std::optional<SimAnswer> OptionalText(const rapidjson::Value& aObject, const char* aName, std::string& aValue) {
  const rapidjson::Value* value = Member(aObject, aName);
  if (!value) return std::nullopt;
  if (!value->IsString()) return InvalidField(aName, "must be a string");
  aValue.assign(value->GetString(), value->GetStringLength());
  return std::nullopt;
}

// {"amount": "12.5", "currency": "EUR"} under aName.
std::optional<SimAnswer> Money(const rapidjson::Value& aObject, const std::string& aName, int64_t& aAmount,
                               std::string& aCurrency) {
  const rapidjson::Value* money = Member(aObject, aName.c_str());
  if (!money) return InvalidField(aName, "is required");
  if (!money->IsObject()) return InvalidField(aName, "must be an object with amount and currency");
  const std::string amountField = aName + ".amount";
  const rapidjson::Value* amount = Member(*money, "amount");
  if (!amount) return InvalidField(amountField, "is required");
  if (!amount->IsString()) return InvalidField(amountField, "must be a decimal string such as \"12.50\"");
  std::string_view text(amount->GetString(), amount->GetStringLength());
  if (text.starts_with('-') && ParseAmount(text.substr(1))) return InvalidField(amountField, "must be greater than 0");
  std::optional<int64_t> value = ParseAmount(text);
  if (!value) {
    return InvalidField(amountField,
                        "must be a decimal string such as \"12.50\" (digits, at most 4 decimals, at most 12 "
                        "integer digits)");
  }
  if (*value <= 0) return InvalidField(amountField, "must be greater than 0");
  aAmount = *value;
  const std::string currencyField = aName + ".currency";
  const rapidjson::Value* currency = Member(*money, "currency");
  if (!currency) return InvalidField(currencyField, "is required");
  bool valid = currency->IsString() && currency->GetStringLength() == 3;
  for (unsigned i = 0; valid && i < 3; ++i) valid = currency->GetString()[i] >= 'A' && currency->GetString()[i] <= 'Z';
  if (!valid) return InvalidField(currencyField, "must be a three-letter ISO 4217 code in capitals, such as \"EUR\"");
  aCurrency.assign(currency->GetString(), 3);
  // A provider takes no fraction of the currency's smallest unit: 0.001 EUR shows a
  // till's rounding fault.
  const int decimals = CurrencyDecimals(aCurrency);
  int64_t unit = kScale;
  for (int i = 0; i < decimals; ++i) unit /= 10;
  if (aAmount % unit != 0) {
    return InvalidField(amountField, "has more decimals than " + aCurrency + " has (" + std::to_string(decimals) + ")");
  }
  return std::nullopt;
}

std::string Fingerprint(std::initializer_list<std::string> aParts) {
  std::string out;
  for (const auto& part : aParts) {
    out += part;
    out += '\x1f';
  }
  return out;
}

// The fault of a pre-approval code: none for an ordinary code, or the refusal of a
// code that looks like a fault but is none.
std::optional<SimAnswer> CodeFault(const std::string& aCode, std::optional<Fault>& aFault) {
  if (!aCode.starts_with(kFaultPrefix)) return std::nullopt;
  aFault = ParseFault(aCode);
  if (aFault) return std::nullopt;
  std::string known;
  for (const auto& name : FaultNames()) known += (known.empty() ? "" : ", ") + name;
  return InvalidField("preApprovalCode", "\"" + aCode + "\" is no fault the simulator knows (" + known + ")");
}

}  // namespace

std::optional<Fault> ParseFault(std::string_view aName) {
  for (const auto& fault : kFaults) {
    if (aName == fault.Name) return Fault{fault.Kind, 0, std::string(aName)};
  }
  if (aName.starts_with(kDelayPrefix)) {
    std::string_view digits = aName.substr(kDelayPrefix.size());
    if (digits.empty() || digits.size() > 3 || digits.front() == '0') return std::nullopt;
    int seconds = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
      seconds = seconds * 10 + (c - '0');
    }
    if (seconds > kMaxDelaySeconds) return std::nullopt;
    return Fault{FaultKind::Delay, seconds, std::string(aName)};
  }
  return std::nullopt;
}

std::vector<std::string> FaultNames() {
  std::vector<std::string> names{"FAULT-DELAY-<seconds>"};
  for (const auto& fault : kFaults) names.emplace_back(fault.Name);
  return names;
}

std::optional<int64_t> ParseAmount(std::string_view aText) {
  size_t dot = aText.find('.');
  std::string_view whole = aText.substr(0, dot);
  std::string_view fraction = dot == std::string_view::npos ? std::string_view() : aText.substr(dot + 1);
  if (whole.empty() || whole.size() > kMaxIntegerDigits) return std::nullopt;
  if (whole.size() > 1 && whole.front() == '0') return std::nullopt;
  if (dot != std::string_view::npos && (fraction.empty() || fraction.size() > 4)) return std::nullopt;
  int64_t value = 0;
  for (char c : whole) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  int64_t scale = kScale;
  for (char c : fraction) {
    if (c < '0' || c > '9') return std::nullopt;
    scale /= 10;
    value = value * 10 + (c - '0');
  }
  return value * scale;
}

std::string FormatAmount(int64_t aAmount) {
  std::string sign = aAmount < 0 ? "-" : "";
  uint64_t magnitude = aAmount < 0 ? 0 - static_cast<uint64_t>(aAmount) : static_cast<uint64_t>(aAmount);
  std::string text = sign + std::to_string(magnitude / kScale);
  uint64_t fraction = magnitude % kScale;
  if (fraction != 0) {
    std::string digits = std::to_string(fraction + kScale).substr(1);
    while (digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text;
}

int CurrencyDecimals(std::string_view aCurrency) {
  struct Exponent {
    const char* Code;
    int Decimals;
  };
  static constexpr Exponent kOther[] = {
      {"BIF", 0}, {"CLP", 0}, {"DJF", 0}, {"GNF", 0}, {"ISK", 0}, {"JPY", 0}, {"KMF", 0}, {"KRW", 0}, {"PYG", 0},
      {"RWF", 0}, {"UGX", 0}, {"UYI", 0}, {"VND", 0}, {"VUV", 0}, {"XAF", 0}, {"XOF", 0}, {"XPF", 0}, {"BHD", 3},
      {"IQD", 3}, {"JOD", 3}, {"KWD", 3}, {"LYD", 3}, {"OMR", 3}, {"TND", 3}, {"CLF", 4}, {"UYW", 4}};
  for (const auto& exponent : kOther)
    if (aCurrency == exponent.Code) return exponent.Decimals;
  return 2;
}

std::string UtcNowIso() {
  auto now = std::chrono::system_clock::now();
  auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(milliseconds));
  return text;
}

int64_t SimStore::Order::Refunded() const {
  int64_t sum = 0;
  for (const auto& refund : Refunds) sum += refund.Amount;
  return sum;
}

SimStore::SimStore(std::string aBearerToken) : fBearerToken(std::move(aBearerToken)) {}

void SimStore::SetNextFault(const Fault& aFault) {
  std::lock_guard lock(fLock);
  fNextFault = aFault;
}

void SimStore::ClearNextFault() {
  std::lock_guard lock(fLock);
  fNextFault.reset();
}

std::optional<Fault> SimStore::NextFault() const {
  std::lock_guard lock(fLock);
  return fNextFault;
}

std::optional<Fault> SimStore::TakeNextFault() {
  std::lock_guard lock(fLock);
  std::optional<Fault> fault = std::move(fNextFault);
  fNextFault.reset();
  return fault;
}

// A transport fault set for the next request answers at once, except a delay, which
// goes to aDelay; either is used up. Other faults stay for the order or refund.
std::optional<SimAnswer> SimStore::ApplyTransportFault(std::optional<Fault>& aFault, int& aDelay) {
  if (!aFault || !IsTransportFault(aFault->Kind)) return std::nullopt;
  if (aFault->Kind != FaultKind::Delay) return TransportFaultAnswer(*aFault);
  aDelay = aFault->Seconds;
  aFault.reset();
  return std::nullopt;
}

std::optional<SimAnswer> SimStore::CheckBearer(const SimCall& aCall) const {
  std::string_view authorization = aCall.Authorization;
  size_t blank = authorization.find(' ');
  std::string scheme(authorization.substr(0, blank));
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (authorization.empty() || scheme != "bearer" || blank == std::string_view::npos) {
    SimAnswer answer = ErrorAnswer(401, "unauthorized", "A bearer token is required (Authorization: Bearer <token>)");
    answer.Headers.emplace_back("WWW-Authenticate", "Bearer realm=\"lorvani-sim\"");
    return answer;
  }
  if (authorization.substr(blank + 1) != fBearerToken) {
    SimAnswer answer = ErrorAnswer(401, "unauthorized", "The bearer token is not valid");
    answer.Headers.emplace_back("WWW-Authenticate", "Bearer realm=\"lorvani-sim\", error=\"invalid_token\"");
    return answer;
  }
  return std::nullopt;
}

// The bearer token, then the body's media type.
std::optional<SimAnswer> SimStore::CheckCaller(const SimCall& aCall) const {
  if (auto refusal = CheckBearer(aCall)) return refusal;
  std::string mediaType = aCall.ContentType.substr(0, aCall.ContentType.find(';'));
  while (!mediaType.empty() && (mediaType.back() == ' ' || mediaType.back() == '\t')) mediaType.pop_back();
  for (char& c : mediaType) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (mediaType != "application/json") {
    return ErrorAnswer(415, "unsupported_media_type",
                       "Content-Type must be application/json, not \"" + aCall.ContentType + "\"");
  }
  return std::nullopt;
}

std::optional<SimAnswer> SimStore::ReplayOf(const std::string& aRequestId, const std::string& aFingerprint) const {
  auto replay = fReplays.find(aRequestId);
  if (replay == fReplays.end()) return std::nullopt;
  // The first request still runs: neither a second order nor an answer that is not
  // yet there. The client asks again later.
  if (replay->second.InProgress) {
    return ErrorAnswer(
        409, "request_in_progress",
        "The request with requestId \"" + aRequestId + "\" is still in progress: repeat it later to learn its outcome",
        "requestId");
  }
  if (replay->second.Fingerprint != aFingerprint) {
    return ErrorAnswer(409, "request_id_conflict",
                       "requestId \"" + aRequestId + "\" was already used for a different request", "requestId");
  }
  SimAnswer answer;
  answer.Status = replay->second.Status;
  answer.ContentType = "application/json";
  answer.Body = replay->second.Body;
  answer.Headers.emplace_back("Idempotent-Replayed", "true");
  answer.Replayed = true;
  return answer;
}

void SimStore::Remember(const std::string& aRequestId, const std::string& aFingerprint, SimAnswer& aAnswer) {
  const bool waiting = aAnswer.DelaySeconds > 0;
  fReplays[aRequestId] = Replay{aFingerprint, aAnswer.Status, aAnswer.Body, waiting};
  if (waiting) aAnswer.SettleRequestId = aRequestId;
}

void SimStore::Settle(const std::string& aRequestId) {
  std::lock_guard lock(fLock);
  if (auto replay = fReplays.find(aRequestId); replay != fReplays.end()) replay->second.InProgress = false;
}

SimAnswer SimStore::CreateOrder(const SimCall& aCall) {
  int delay = 0;
  std::optional<Fault> next = TakeNextFault();
  if (auto answer = ApplyTransportFault(next, delay)) return *answer;
  if (auto refusal = CheckCaller(aCall)) return *refusal;
  Body body;
  ParseBody(aCall, body);
  if (body.Refusal) return *body.Refusal;
  const rapidjson::Value& request = body.Document;

  Order order;
  if (auto refusal = Money(request, "totalAmount", order.Amount, order.Currency)) return *refusal;
  if (auto refusal = RequiredText(request, "preApprovalCode", "preApprovalCode", order.PreApprovalCode)) return *refusal;
  if (auto refusal = RequiredText(request, "requestId", "requestId", order.RequestId)) return *refusal;
  if (auto refusal = OptionalText(request, "merchantOperatorId", order.OperatorId)) return *refusal;
  if (auto refusal = OptionalText(request, "merchantReference", order.Reference)) return *refusal;
  std::optional<Fault> fault;
  if (auto refusal = CodeFault(order.PreApprovalCode, fault)) return *refusal;
  if (next) fault = next;  // the control endpoint's fault wins over the code's

  const std::string fingerprint = Fingerprint({"order", std::to_string(order.Amount), order.Currency,
                                               order.PreApprovalCode, order.OperatorId, order.Reference});
  std::lock_guard lock(fLock);
  if (auto replay = ReplayOf(order.RequestId, fingerprint)) return *replay;

  if (fault) {
    switch (fault->Kind) {
      case FaultKind::Delay:
        delay = std::max(delay, fault->Seconds);
        break;
      case FaultKind::Declined:
        return ErrorAnswer(422, "preapproval_declined", "The customer's pre-approval was declined",
                           "preApprovalCode");
      case FaultKind::NoToken:
      case FaultKind::NoRefundedAt:
      case FaultKind::BadRefundedAt:
      case FaultKind::HugeAnswer:
      case FaultKind::ByteOrderMark:
      case FaultKind::LostAnswer:
        break;  // shape the answer below, or the order's refunds
      default: {
        SimAnswer answer = TransportFaultAnswer(*fault);
        answer.DelaySeconds = delay;
        return answer;
      }
    }
  }

  order.Token = RandomToken("ord_");
  order.CreatedAt = UtcNowIso();
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  if (!(fault && fault->Kind == FaultKind::NoToken)) {
    writer.Key("token");
    writer.String(order.Token.c_str());
  }
  writer.Key("status");
  writer.String("approved");
  writer.Key("requestId");
  writer.String(order.RequestId.c_str(), static_cast<rapidjson::SizeType>(order.RequestId.size()));
  WriteMoney(writer, "totalAmount", order.Amount, order.Currency);
  writer.Key("preApprovalCode");
  writer.String(order.PreApprovalCode.c_str(), static_cast<rapidjson::SizeType>(order.PreApprovalCode.size()));
  writer.Key("merchantOperatorId");
  writer.String(order.OperatorId.c_str(), static_cast<rapidjson::SizeType>(order.OperatorId.size()));
  writer.Key("merchantReference");
  writer.String(order.Reference.c_str(), static_cast<rapidjson::SizeType>(order.Reference.size()));
  writer.Key("createdAt");
  writer.String(order.CreatedAt.c_str());
  const bool huge = fault && fault->Kind == FaultKind::HugeAnswer;
  if (huge) {
    const std::string padding(1024 * 1024, 'x');
    writer.Key("padding");
    writer.String(padding.c_str(), static_cast<rapidjson::SizeType>(padding.size()));
  }
  writer.EndObject();

  SimAnswer answer = JsonAnswer(huge ? 200 : 201, buffer);
  if (fault && fault->Kind == FaultKind::ByteOrderMark) answer.Body.insert(0, kByteOrderMark);
  answer.DelaySeconds = delay;
  // The order exists; only its answer is lost. A repeat of the request gets it.
  answer.Close = fault && fault->Kind == FaultKind::LostAnswer;
  Remember(order.RequestId, fingerprint, answer);
  fOrderIndex[order.Token] = fOrders.size();
  fOrders.push_back(std::move(order));
  return answer;
}

SimAnswer SimStore::RefundOrder(const std::string& aOrderToken, const SimCall& aCall) {
  int delay = 0;
  std::optional<Fault> next = TakeNextFault();
  if (auto answer = ApplyTransportFault(next, delay)) return *answer;
  if (auto refusal = CheckCaller(aCall)) return *refusal;
  Body body;
  ParseBody(aCall, body);
  if (body.Refusal) return *body.Refusal;
  const rapidjson::Value& request = body.Document;

  Refund refund;
  std::string token;
  std::string operatorId;
  std::string currency;
  if (const rapidjson::Value* value = Member(request, "token")) {
    if (!value->IsString()) return InvalidField("token", "must be a string");
    token.assign(value->GetString(), value->GetStringLength());
    if (token != aOrderToken) return InvalidField("token", "must be the token of the order in the path");
  }
  if (auto refusal = RequiredText(request, "requestId", "requestId", refund.RequestId)) return *refusal;
  if (auto refusal = OptionalText(request, "merchantOperatorId", operatorId)) return *refusal;
  if (auto refusal = Money(request, "refundAmount", refund.Amount, currency)) return *refusal;

  std::lock_guard lock(fLock);
  auto found = fOrderIndex.find(aOrderToken);
  if (found == fOrderIndex.end()) {
    return ErrorAnswer(404, "order_not_found", "No order with the token \"" + aOrderToken + "\"");
  }
  Order& order = fOrders[found->second];
  const std::string fingerprint =
      Fingerprint({"refund", aOrderToken, std::to_string(refund.Amount), currency, operatorId});
  if (auto replay = ReplayOf(refund.RequestId, fingerprint)) return *replay;
  if (currency != order.Currency) {
    return InvalidField("refundAmount.currency", "must be the order's currency " + order.Currency);
  }
  const int64_t refundable = order.Amount - order.Refunded();
  if (refund.Amount > refundable) {
    return ErrorAnswer(422, "refund_exceeds_remaining",
                       "refundAmount.amount " + FormatAmount(refund.Amount) + " exceeds the amount still refundable " +
                           FormatAmount(refundable) + " " + order.Currency,
                       "refundAmount.amount");
  }

  // The order's pre-approval code shapes its refunds' answers only through the
  // refund faults; the control endpoint's fault may shape any.
  std::optional<Fault> fault = next;
  if (!fault) {
    std::optional<Fault> code = ParseFault(order.PreApprovalCode);
    if (code && (code->Kind == FaultKind::NoRefundedAt || code->Kind == FaultKind::BadRefundedAt)) fault = code;
  }
  FaultKind kind = fault ? fault->Kind : FaultKind::Delay;
  if (fault && kind == FaultKind::Declined) {
    return ErrorAnswer(422, "refund_declined", "The refund was declined");
  }

  refund.RefundToken = RandomToken("rfd_");
  refund.RefundedAt = UtcNowIso();
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  if (!(fault && kind == FaultKind::NoToken)) {
    writer.Key("token");
    writer.String(order.Token.c_str());
  }
  writer.Key("refundToken");
  writer.String(refund.RefundToken.c_str());
  if (!(fault && kind == FaultKind::NoRefundedAt)) {
    writer.Key("refundedAt");
    writer.String(fault && kind == FaultKind::BadRefundedAt ? "yesterday afternoon" : refund.RefundedAt.c_str());
  }
  writer.Key("requestId");
  writer.String(refund.RequestId.c_str(), static_cast<rapidjson::SizeType>(refund.RequestId.size()));
  WriteMoney(writer, "refundAmount", refund.Amount, order.Currency);
  WriteMoney(writer, "remainingAmount", refundable - refund.Amount, order.Currency);
  writer.EndObject();

  SimAnswer answer = JsonAnswer(201, buffer);
  if (fault && kind == FaultKind::ByteOrderMark) answer.Body.insert(0, kByteOrderMark);
  answer.DelaySeconds = delay;
  answer.Close = fault && kind == FaultKind::LostAnswer;
  Remember(refund.RequestId, fingerprint, answer);
  order.Refunds.push_back(std::move(refund));
  return answer;
}

namespace {

void WriteText(Writer& aWriter, const char* aName, const std::string& aValue) {
  aWriter.Key(aName);
  aWriter.String(aValue.c_str(), static_cast<rapidjson::SizeType>(aValue.size()));
}

// An order as GET /v1/instore/orders/{token} and /_sim/orders show it.
void WriteOrder(Writer& aWriter, const SimStore::Order& aOrder) {
  aWriter.StartObject();
  WriteText(aWriter, "token", aOrder.Token);
  WriteText(aWriter, "status", "approved");
  WriteText(aWriter, "requestId", aOrder.RequestId);
  WriteText(aWriter, "preApprovalCode", aOrder.PreApprovalCode);
  WriteText(aWriter, "merchantOperatorId", aOrder.OperatorId);
  WriteText(aWriter, "merchantReference", aOrder.Reference);
  WriteMoney(aWriter, "totalAmount", aOrder.Amount, aOrder.Currency);
  WriteMoney(aWriter, "refundedAmount", aOrder.Refunded(), aOrder.Currency);
  WriteMoney(aWriter, "remainingAmount", aOrder.Amount - aOrder.Refunded(), aOrder.Currency);
  WriteText(aWriter, "createdAt", aOrder.CreatedAt);
  aWriter.Key("refunds");
  aWriter.StartArray();
  for (const auto& refund : aOrder.Refunds) {
    aWriter.StartObject();
    WriteText(aWriter, "refundToken", refund.RefundToken);
    WriteText(aWriter, "requestId", refund.RequestId);
    WriteMoney(aWriter, "refundAmount", refund.Amount, aOrder.Currency);
    WriteText(aWriter, "refundedAt", refund.RefundedAt);
    aWriter.EndObject();
  }
  aWriter.EndArray();
  aWriter.EndObject();
}

}  // namespace

std::string SimStore::OrdersJson(const std::string& aRequestId) const {
  std::lock_guard lock(fLock);
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartArray();
  auto made = [&aRequestId](const Order& aOrder) {
    return aRequestId.empty() || aOrder.RequestId == aRequestId ||
           std::any_of(aOrder.Refunds.begin(), aOrder.Refunds.end(),
                       [&aRequestId](const Refund& aRefund) { return aRefund.RequestId == aRequestId; });
  };
  for (const auto& order : fOrders)
    if (made(order)) WriteOrder(writer, order);
  writer.EndArray();
  return std::string(buffer.GetString(), buffer.GetSize());
}

SimAnswer SimStore::GetOrder(const std::string& aOrderToken, const SimCall& aCall) const {
  if (auto refusal = CheckBearer(aCall)) return *refusal;
  std::lock_guard lock(fLock);
  auto found = fOrderIndex.find(aOrderToken);
  if (found == fOrderIndex.end()) {
    return ErrorAnswer(404, "order_not_found", "No order with the token \"" + aOrderToken + "\"");
  }
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  WriteOrder(writer, fOrders[found->second]);
  return JsonAnswer(200, buffer);
}

std::vector<SimStore::Order> SimStore::Orders() const {
  std::lock_guard lock(fLock);
  return fOrders;
}

}  // namespace lorvanisim
