#include "provider/uZVPA_LORVANI_10.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <thread>

#include "base/Exception.h"
#include "device/uZVIOHandler_HTTP.h"
#include "driver/uZVDriverLibrary.h"
#include "http/uZV_HTTPClient.h"
#include "platform/Clock.h"
#include "platform/StateFile.h"
#include "provider/uZVPA_LORVANI_10_JSONUtils.h"

namespace zv {

namespace lorvani {

Text JsonString(TextView aText) {
  Text out = u"\"";
  for (char16_t c : aText) {
    switch (c) {
      case u'"': out += u"\\\""; break;
      case u'\\': out += u"\\\\"; break;
      case u'/': out += u"\\/"; break;
      case u'\b': out += u"\\b"; break;
      case u'\t': out += u"\\t"; break;
      case u'\n': out += u"\\n"; break;
      case u'\f': out += u"\\f"; break;
      case u'\r': out += u"\\r"; break;
      default:
        if (c < 0x20 || c > 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
          out += FromAscii(hex);
        } else {
          out += c;
        }
    }
  }
  return out + u"\"";
}

namespace {

// A JSON object written member by member, in the order given.
class JsonObject {
 public:
  JsonObject& Member(TextView aName, TextView aValue) { return Raw(aName, JsonString(aValue)); }
  JsonObject& Raw(TextView aName, TextView aJson) {
    fText += fText.empty() ? u"{" : u",";
    fText += JsonString(aName);
    fText += u':';
    fText += aJson;
    return *this;
  }
  Text Close() const { return (fText.empty() ? Text(u"{") : fText) + u"}"; }

 private:
  Text fText;
};

Text Amount(const kPaymentReceipt& aReceipt) {
  return JsonObject().Member(u"amount", aReceipt.fAmount.ToText()).Member(u"currency", aReceipt.fCurrency).Close();
}

}  // namespace

Text RequestIdPrefix(const kPaymentReceipt& aReceipt) { return aReceipt.fStoreCode + u"-" + aReceipt.fTillCode + u"-"; }

Text RequestId(const kPaymentReceipt& aReceipt, DateTime aMoment) {
  return RequestIdPrefix(aReceipt) + FormatCompactStamp(aMoment);
}

namespace {

constexpr double kMillisecondsPerDay = 86400000.0;
constexpr size_t kStampDigits = 17;  // yyyymmddhhnnsszzz

int64_t ToMillisecond(DateTime aMoment) { return static_cast<int64_t>(std::llround(aMoment * kMillisecondsPerDay)); }
DateTime FromMillisecond(int64_t aMillisecond) { return static_cast<double>(aMillisecond) / kMillisecondsPerDay; }

// The moment of "yyyymmddhhnnsszzz"; nothing for other text or no moment of the calendar.
std::optional<DateTime> StampMoment(TextView aStamp) {
  if (aStamp.size() != kStampDigits) return std::nullopt;
  int digits[kStampDigits];
  for (size_t i = 0; i < kStampDigits; ++i) {
    if (aStamp[i] < u'0' || aStamp[i] > u'9') return std::nullopt;
    digits[i] = aStamp[i] - u'0';
  }
  auto number = [&digits](size_t aAt, size_t aCount) {
    int value = 0;
    for (size_t i = aAt; i < aAt + aCount; ++i) value = value * 10 + digits[i];
    return value;
  };
  const DateTimeParts parts{number(0, 4),  number(4, 2),  number(6, 2), number(8, 2),
                            number(10, 2), number(12, 2), number(14, 3)};
  if (parts.Hour > 23 || parts.Minute > 59 || parts.Second > 59) return std::nullopt;
  return TryEncodeDateTime(parts);
}

// FNV-1a over the prefix's UTF-8 bytes: a file name for any prefix. Two prefixes that
// met in one name would share one sequence, which keeps every id unique all the same.
Text SequenceFileName(const Text& aPrefix) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char byte : ToUtf8(aPrefix)) hash = (hash ^ byte) * 1099511628211ull;
  char name[40];
  std::snprintf(name, sizeof name, "requestid-%016llx", static_cast<unsigned long long>(hash));
  return FromAscii(name);
}

}  // namespace

std::optional<DateTime> RequestIdMoment(TextView aPrefix, TextView aRequestId) {
  if (aRequestId.size() != aPrefix.size() + kStampDigits || aRequestId.substr(0, aPrefix.size()) != aPrefix)
    return std::nullopt;
  return StampMoment(aRequestId.substr(aPrefix.size()));
}

Text NotSentText(const Text& aSubject, const Text& aReason) {
  return u"The " + aSubject + u" was not sent to the provider (" + aReason + u")";
}

Text UnknownOutcomeClause(const Text& aSubject, const Text& aRequestId) {
  return u": the outcome of the " + aSubject + u" is unknown; its requestId is " + aRequestId;
}

Text UnknownOutcomeText(const Text& aLead, const Text& aReason, const Text& aSubject, const Text& aRequestId) {
  return aLead + u" (" + aReason + u")" + UnknownOutcomeClause(aSubject, aRequestId);
}

RequestMoments::RequestMoments(Text aFolder) : fFolder(std::move(aFolder)) {}

RequestMoments::Moment RequestMoments::Next(const Text& aPrefix, DateTime aNow) {
  return Advance(aPrefix, ToMillisecond(aNow), true);
}

RequestMoments::Moment RequestMoments::Observe(const Text& aPrefix, DateTime aMoment) {
  return Advance(aPrefix, ToMillisecond(aMoment), false);
}

RequestMoments& RequestMoments::Machine() {
  static RequestMoments moments(platform::MachineStateFolder());
  return moments;
}

Text RequestMoments::FileOf(const Text& aPrefix) const { return fFolder + SequenceFileName(aPrefix); }

// The last millisecond is the greatest of this process's own and the file's (the last
// id written by any process); aAfterLast: the result lies beyond it, else it is only
// raised to aMillisecond. The file then holds the new last id.
RequestMoments::Moment RequestMoments::Advance(const Text& aPrefix, int64_t aMillisecond, bool aAfterLast) {
  std::lock_guard lock(fLock);
  Moment moment;
  platform::StateFile file(FileOf(aPrefix));
  std::optional<int64_t> last;
  if (auto own = fLastMillisecond.find(aPrefix); own != fLastMillisecond.end()) last = own->second;
  if (file.Locked()) {
    std::string content = file.Read();
    while (!content.empty() && std::isspace(static_cast<unsigned char>(content.back()))) content.pop_back();
    const Text stamp =
        content.size() >= kStampDigits ? FromUtf8(content.substr(content.size() - kStampDigits)) : Text();
    if (const auto written = StampMoment(stamp)) last = std::max(last.value_or(INT64_MIN), ToMillisecond(*written));
  } else {
    moment.Warning = file.Failure();
  }
  int64_t next = aMillisecond;
  if (last) next = aAfterLast ? std::max(aMillisecond, *last + 1) : std::max(aMillisecond, *last);
  fLastMillisecond[aPrefix] = next;
  moment.Value = FromMillisecond(next);
  if (file.Locked() && !file.Replace(ToUtf8(aPrefix + FormatCompactStamp(moment.Value)) + "\n"))
    moment.Warning = u"Cannot write " + FileOf(aPrefix);
  return moment;
}

Text PayBody(const kPaymentReceipt& aReceipt, const Text& aRequestId) {
  return JsonObject()
      .Raw(u"totalAmount", Amount(aReceipt))
      .Member(u"preApprovalCode", aReceipt.fAttributes)
      .Member(u"requestId", aRequestId)
      .Member(u"merchantOperatorId", aReceipt.fOperatorId)
      .Member(u"merchantReference", aReceipt.fReference)
      .Close();
}

Text RefundBody(const kPaymentReceipt& aReceipt, const Text& aRequestId) {
  return JsonObject()
      .Member(u"token", aReceipt.fRefundReference.PaymentNumber)
      .Member(u"requestId", aRequestId)
      .Member(u"merchantOperatorId", aReceipt.fOperatorId)
      .Raw(u"refundAmount", Amount(aReceipt))
      .Close();
}

Text EncodePathSegment(TextView aSegment) {
  Text out;
  for (unsigned char byte : ToUtf8(aSegment)) {
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '_' || byte == '.' ||
                            byte == '~';
    if (unreserved) {
      out += static_cast<char16_t>(byte);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", byte);
      out += FromAscii(hex);
    }
  }
  return out;
}

namespace {

// Reads exactly aCount decimal digits at aPosition.
bool ReadFixedDigits(TextView aText, size_t& aPosition, size_t aCount, int& aValue) {
  if (aText.size() - aPosition < aCount) return false;
  int value = 0;
  for (size_t i = 0; i < aCount; ++i) {
    const char16_t c = aText[aPosition + i];
    if (c < u'0' || c > u'9') return false;
    value = value * 10 + (c - u'0');
  }
  aPosition += aCount;
  aValue = value;
  return true;
}

bool ReadChar(TextView aText, size_t& aPosition, char16_t aChar) {
  if (aPosition >= aText.size() || aText[aPosition] != aChar) return false;
  ++aPosition;
  return true;
}

}  // namespace

std::optional<DateTime> IsoInstantToLocal(TextView aText) {
  DateTimeParts parts;
  size_t at = 0;
  if (!ReadFixedDigits(aText, at, 4, parts.Year) || !ReadChar(aText, at, u'-') ||
      !ReadFixedDigits(aText, at, 2, parts.Month) || !ReadChar(aText, at, u'-') ||
      !ReadFixedDigits(aText, at, 2, parts.Day))
    return std::nullopt;
  int offsetMinutes = 0;
  if (ReadChar(aText, at, u'T')) {
    if (!ReadFixedDigits(aText, at, 2, parts.Hour) || !ReadChar(aText, at, u':') ||
        !ReadFixedDigits(aText, at, 2, parts.Minute) || !ReadChar(aText, at, u':') ||
        !ReadFixedDigits(aText, at, 2, parts.Second))
      return std::nullopt;
    if (ReadChar(aText, at, u'.')) {
      // Digits beyond the millisecond carry nothing a date-time can hold.
      size_t digits = 0;
      int millisecond = 0;
      for (; at < aText.size() && aText[at] >= u'0' && aText[at] <= u'9'; ++at, ++digits)
        if (digits < 3) millisecond = millisecond * 10 + (aText[at] - u'0');
      if (digits == 0) return std::nullopt;
      for (size_t i = digits; i < 3; ++i) millisecond *= 10;
      parts.Millisecond = millisecond;
    }
    if (at < aText.size() && (aText[at] == u'+' || aText[at] == u'-')) {
      const int sign = aText[at++] == u'-' ? -1 : 1;
      int hours = 0, minutes = 0;
      if (!ReadFixedDigits(aText, at, 2, hours) || !ReadChar(aText, at, u':') ||
          !ReadFixedDigits(aText, at, 2, minutes) || hours > 23 || minutes > 59)
        return std::nullopt;
      offsetMinutes = sign * (hours * 60 + minutes);
    } else {
      ReadChar(aText, at, u'Z');
    }
  }
  if (at != aText.size()) return std::nullopt;
  if (parts.Hour > 23 || parts.Minute > 59 || parts.Second > 59) return std::nullopt;
  if (!TryEncodeDateTime(parts)) return std::nullopt;  // no such day
  const std::optional<DateTime> utc = TryEncodeDateTime(AddMinutes(parts, -offsetMinutes));
  if (!utc) return std::nullopt;
  return UtcToLocal(*utc);
}

void ConfigureClient(ZV_HttpClient& aClient, const Text& aBearer, const Text& aTlsCaFile, bool aTlsVerify,
                     const Text& aProxy) {
  aClient.SetConnectTimeout(10);
  aClient.SetReadTimeout(120);
  aClient.SetUserAgent(kPayment_LORVANI::kUserAgent);
  aClient.SetAuthType(zvHTTPAuthType::at_Bearer);
  aClient.SetBearer(aBearer);
  aClient.SetContentType(u"application/json");
  aClient.SetTlsCaFile(aTlsCaFile);
  aClient.SetTlsVerify(aTlsVerify);
  aClient.SetProxy(aProxy);
}

}  // namespace lorvani

// ---- the device ----

namespace {

// An http: URL (in any letter case); a URL without scheme is taken as https.
bool IsPlainHttp(TextView aURL) {
  while (!aURL.empty() && (aURL.front() == u' ' || aURL.front() == u'\t')) aURL.remove_prefix(1);
  return StartsWith(LowerCase(Text(aURL.substr(0, 5))), u"http:");
}

// RepeatUnknownOutcome: "COUNT" or "COUNT,SECONDS", blanks aside; empty is no repeat.
bool ReadRepeat(Text aText, int32_t& aCount, int32_t& aSeconds) {
  constexpr int32_t kMaxCount = 10, kMaxSeconds = 3600, kDefaultSeconds = 300;
  aCount = 0;
  aSeconds = kDefaultSeconds;
  std::erase_if(aText, [](char16_t c) { return c == u' ' || c == u'\t'; });
  if (aText.empty()) return true;
  auto number = [](TextView aDigits, int32_t aMax, int32_t& aValue) {
    if (aDigits.empty() || aDigits.size() > 4) return false;
    int32_t value = 0;
    for (char16_t c : aDigits) {
      if (c < u'0' || c > u'9') return false;
      value = value * 10 + (c - u'0');
    }
    aValue = value;
    return value <= aMax;
  };
  const TextView text = aText;
  const size_t comma = text.find(u',');
  if (!number(text.substr(0, comma), kMaxCount, aCount)) return false;
  return comma == TextView::npos || (number(text.substr(comma + 1), kMaxSeconds, aSeconds) && aSeconds >= 1);
}

}  // namespace

// What a request asks the provider to do, and the answer's member that confirms it.
struct kPayment_LORVANI::RequestKind {
  const char16_t* Title;      // of the body's log line
  const char16_t* Subject;    // "payment", "refund": what the texts speak of
  const char16_t* Confirmed;  // "order", "refund": what the answer confirms
  const char16_t* Token;      // the member that carries the confirmation
};

const kPayment_LORVANI::RequestKind kPayment_LORVANI::kPaymentKind{u"kLORVANI.Pay", u"payment", u"order", u"token"};
const kPayment_LORVANI::RequestKind kPayment_LORVANI::kRefundKind{u"kLORVANI.Refund", u"refund", u"refund",
                                                                  u"refundToken"};

// How one exchange ended. Confirmed: the provider took it (Answer holds its answer,
// parsed); NotSent: nothing left this machine; Refused: the provider answered that it
// did not act; Unknown: the provider may or may not have acted.
struct kPayment_LORVANI::Verdict {
  enum class End : uint8_t { Confirmed, NotSent, Refused, Unknown };
  Verdict(End aHow, int32_t aStatus, Text aErrorText, bool aRepeatable,
          std::unique_ptr<kJSONDocument> aAnswer = nullptr)
      : How(aHow),
        Status(aStatus),
        ErrorText(std::move(aErrorText)),
        Repeatable(aRepeatable),
        Answer(std::move(aAnswer)) {}
  End How;
  int32_t Status;
  Text ErrorText;
  // An unknown outcome that the same request may settle: no whole answer, a 5xx, a
  // 409. A token-less success or a redirect would only come again.
  bool Repeatable;
  std::unique_ptr<kJSONDocument> Answer;
};

kPayment_LORVANI::kPayment_LORVANI(const kPaymentHandler& aHandler) : kPayment_LORVANI(aHandler, nullptr) {}

kPayment_LORVANI::kPayment_LORVANI(const kPaymentHandler& aHandler, std::unique_ptr<kIOHandler> aIOHandler)
    : kPaymentDevice(aHandler) {
  if (aIOHandler) fIOHandler = std::move(aIOHandler);
  fBearer = aHandler.GetParameter(u"Bearer");
  fStaging = LowerCase(aHandler.GetParameter(u"Staging")) == u"true";
  fTlsCaFile = aHandler.GetParameter(u"TlsCaFile");
  fTlsVerify = LowerCase(aHandler.GetParameter(u"TlsVerify")) != u"false";
  fProxy = aHandler.GetParameter(u"Proxy");
  fIOHandlerHTTP = dynamic_cast<kIOHandler_HTTP*>(fIOHandler.get());
  if (fIOHandlerHTTP == nullptr) throw kException(u"Invalid class typecast");
  if (fIOHandlerHTTP->URL().empty()) fIOHandlerHTTP->SetURL(fStaging ? kStagingBaseURL : kProductionBaseURL);
  if (!EndsWith(fIOHandlerHTTP->URL(), u"/")) fIOHandlerHTTP->SetURL(fIOHandlerHTTP->URL() + u"/");
  // The bearer token must not travel in clear text: the integrator learns it at OPEN,
  // before the first payment.
  if (fTlsVerify && IsPlainHttp(fIOHandlerHTTP->URL())) {
    fIOHandler->Debug(tZV_MessageType::let_error, kPlainHttpRefused);
    throw kException(kPlainHttpRefused);
  }
  if (!ReadRepeat(aHandler.GetParameter(u"RepeatUnknownOutcome"), fRepeatCount, fRepeatSeconds)) {
    fIOHandler->Debug(tZV_MessageType::let_error, kRepeatFormat);
    throw kException(kRepeatFormat);
  }
  if (!ParseProxy(fProxy)) {
    fIOHandler->Debug(tZV_MessageType::let_error, kProxyRefused);
    throw kException(kProxyRefused);
  }
}

const Text& kPayment_LORVANI::BaseURL() const { return fIOHandlerHTTP->URL(); }

bool kPayment_LORVANI::Pay(const kPaymentReceipt& aReceipt, int_PAY_result& aResult) {
  bool outcome = false;
  switch (aReceipt.fAction) {
    case zvPaymentAction::Pay: {
      if (!TakeRequestId(aReceipt, kPaymentKind)) break;
      fJSONRequest = lorvani::PayBody(aReceipt, fRequestId);
      fIOHandler->WriteLog(tZV_MessageType::let_info, kPaymentKind.Title, fJSONRequest);
      const Verdict verdict = Send(u"orders", kPaymentKind);
      outcome = verdict.How == Verdict::End::Confirmed && ReadPayResponse(aReceipt, verdict, aResult);
      break;
    }
    case zvPaymentAction::Refund:
    case zvPaymentAction::Void: {
      // Without the order's token the request would go to "orders//refund": a 404 at
      // best, never the refund the cashier means.
      if (aReceipt.fRefundReference.PaymentNumber.empty()) {
        Refuse(kRefundKind.Title,
               u"A REFUND or VOID needs the order's token in RefundReference/PaymentId (the RefundReference of the "
               u"payment's answer): the refund was not sent to the provider");
        break;
      }
      if (!TakeRequestId(aReceipt, kRefundKind)) break;
      fJSONRequest = lorvani::RefundBody(aReceipt, fRequestId);
      fIOHandler->WriteLog(tZV_MessageType::let_info, kRefundKind.Title, fJSONRequest);
      const Verdict verdict =
          Send(u"orders/" + lorvani::EncodePathSegment(aReceipt.fRefundReference.PaymentNumber) + u"/refund",
               kRefundKind);
      outcome = verdict.How == Verdict::End::Confirmed && ReadRefundResponse(aReceipt, verdict, aResult);
      break;
    }
    default:
      aResult.ErrorText = u"Action Invalid. Must be PAY, REFUND or VOID";
      break;
  }
  aResult.Error = !outcome;
  return outcome;
}

bool kPayment_LORVANI::Refund(const kPaymentReceipt& aReceipt, int_PAY_result& aResult) {
  return Pay(aReceipt, aResult);
}

bool kPayment_LORVANI::Void(const kPaymentReceipt& aReceipt, int_PAY_result& aResult) {
  return Refund(aReceipt, aResult);
}

bool kPayment_LORVANI::Reprint(const Text&, ZvPrintLocation, int_REPRINT_result&) { return false; }

bool kPayment_LORVANI::DayClose(const kPaymentDayClose&, int_DAYCLOSE_result&) { return false; }

bool kPayment_LORVANI::GetTotals(const kPaymentTotals&, int_GETTOTALS_result&) { return false; }

bool kPayment_LORVANI::TakeRequestId(const kPaymentReceipt& aReceipt, const RequestKind& aKind) {
  const Text prefix = lorvani::RequestIdPrefix(aReceipt);
  lorvani::RequestMoments::Moment moment;
  if (aReceipt.fRequestId.empty()) {
    moment = lorvani::RequestMoments::Machine().Next(prefix, Now());
    fRequestId = lorvani::RequestId(aReceipt, moment.Value);
    if (aReceipt.fStoreCode.empty() || aReceipt.fTillCode.empty())
      fIOHandler->WriteLog(tZV_MessageType::let_info, u"kLORVANI.RequestId",
                           u"Warning: StoreCode or TillCode is empty, so the requestId " + fRequestId +
                               u" is told apart from the ids of other tills only on this machine: give every till "
                               u"its own StoreCode and TillCode");
  } else {
    const std::optional<DateTime> given = lorvani::RequestIdMoment(prefix, aReceipt.fRequestId);
    if (!given) {
      Refuse(aKind.Title, u"RequestId \"" + aReceipt.fRequestId + u"\" is not one this driver writes for StoreCode \"" +
                              aReceipt.fStoreCode + u"\" and TillCode \"" + aReceipt.fTillCode + u"\" (\"" + prefix +
                              u"\" and 17 digits of a date and time): the " + aKind.Subject +
                              u" was not sent to the provider");
      return false;
    }
    // A new id of this prefix must not meet the one being repeated.
    moment = lorvani::RequestMoments::Machine().Observe(prefix, *given);
    fRequestId = aReceipt.fRequestId;
  }
  if (!moment.Warning.empty())
    fIOHandler->WriteLog(tZV_MessageType::let_error, u"kLORVANI.RequestId",
                         u"The requestIds of this store and till are kept for this process only: " + moment.Warning);
  return true;
}

void kPayment_LORVANI::Refuse(const Text& aTitle, const Text& aText) {
  fIOHandler->WriteLog(tZV_MessageType::let_error, aTitle, aText);
  fIOHandlerHTTP->SetCustomError(0, aText);
}

kPayment_LORVANI::Verdict kPayment_LORVANI::Send(const Text& aPath, const RequestKind& aKind) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point bound = Clock::now() + std::chrono::seconds(fRepeatSeconds);
  Verdict verdict = PostRequest(aPath, aKind);
  // The same body under the same requestId: the provider answers a repeat with the
  // first request's outcome instead of acting twice. A short pause, longer each time,
  // lets a provider that is still at work finish.
  for (int32_t repeat = 1; repeat <= fRepeatCount && verdict.How == Verdict::End::Unknown && verdict.Repeatable;
       ++repeat) {
    const auto pause = std::chrono::seconds(1 << std::min(repeat - 1, 5));
    if (Clock::now() + pause > bound) break;
    std::this_thread::sleep_for(pause);
    fIOHandler->WriteLog(tZV_MessageType::let_info, u"kLORVANI.Repeat",
                         u"Attempt " + IntToText(repeat + 1) + u" of " + IntToText(fRepeatCount + 1) +
                             u": the same request again with requestId " + fRequestId + u", after: " +
                             verdict.ErrorText);
    verdict = PostRequest(aPath, aKind);
  }
  if (verdict.How != Verdict::End::Confirmed) fIOHandlerHTTP->SetCustomError(verdict.Status, verdict.ErrorText);
  return verdict;
}

kPayment_LORVANI::Verdict kPayment_LORVANI::PostRequest(const Text& aPath, const RequestKind& aKind) {
  fIOHandlerHTTP->ResetCustomError();

  ZV_HttpClient client;
  client.SetOnWriteLog(fIOHandler->LogEvent());
  const Text url = fIOHandlerHTTP->URL() + aPath;
  lorvani::ConfigureClient(client, fBearer, fTlsCaFile, fTlsVerify, fProxy);
  if (!fTlsVerify) fIOHandler->Debug(tZV_MessageType::let_error, kInsecureTransportLine);

  try {
    client.Post(url, fJSONRequest);
  } catch (...) {
    const Text failure = FailureMessage(std::current_exception());
    fIOHandler->WriteLog(tZV_MessageType::let_error, u"kLORVANI.Post", failure);
    return {Verdict::End::Unknown, 0, failure, false};
  }
  return Judge(client, aKind);
}

namespace {

bool IsSuccess(int32_t aStatus) { return aStatus >= 200 && aStatus <= 299; }
bool IsRedirect(int32_t aStatus) { return aStatus >= 300 && aStatus <= 399; }
bool IsServerError(int32_t aStatus) { return aStatus >= 500 && aStatus <= 599; }

// A success answer that confirms the request: a JSON object with the confirming token.
// Null for any other, with aMissing saying what it lacks.
std::unique_ptr<kJSONDocument> Confirmation(const Text& aBody, const char16_t* aToken, Text& aMissing) {
  if (aBody.empty()) {
    aMissing = u"without a body";
    return nullptr;
  }
  std::unique_ptr<kJSONDocument> answer = kJSONUtils::Parse(aBody);
  if (!answer) {
    aMissing = u"whose body is not JSON";
  } else if (!answer->IsObject()) {
    aMissing = u"whose body is not a JSON object";
  } else if (kJSONUtils::GetString(answer.get(), aToken).empty()) {
    aMissing = u"without \"" + Text(aToken) + u"\"";
  } else {
    return answer;
  }
  return nullptr;
}

}  // namespace

kPayment_LORVANI::Verdict kPayment_LORVANI::Judge(const ZV_HttpClient& aClient, const RequestKind& aKind) const {
  using End = Verdict::End;
  const int32_t status = aClient.LastStatusCode();
  const Text& reason = aClient.LastFailureText();  // empty when a whole answer came
  const Text subject = aKind.Subject;
  // No status line. Once the request has left, the provider may have acted on it: say
  // so, with the id it knows the request by, so that nobody simply pays again.
  if (!aClient.LastAnswered()) {
    if (!aClient.LastRequestSent()) return {End::NotSent, status, lorvani::NotSentText(subject, reason), false};
    return {End::Unknown, status,
            lorvani::UnknownOutcomeText(u"No answer from the provider", reason, subject, fRequestId), true};
  }
  const Text statusWords = IntToText(status) + u" " + StatusText(aClient);
  if (IsSuccess(status)) {
    if (!reason.empty())
      return {End::Unknown, status,
              lorvani::UnknownOutcomeText(u"Incomplete answer from the provider", reason, subject, fRequestId), true};
    // A captive portal, a misrouted proxy or a broken gateway answers 2xx too: without
    // the provider's token nothing says that the customer was charged.
    Text missing;
    if (std::unique_ptr<kJSONDocument> answer = Confirmation(aClient.Response(), aKind.Token, missing))
      return {End::Confirmed, status, {}, false, std::move(answer)};
    return {End::Unknown, status,
            lorvani::UnknownOutcomeText(u"Incomplete answer from the provider", statusWords + u" " + missing, subject,
                                        fRequestId),
            false};
  }
  // A payment or refund is confirmed only by a 2xx answer: a redirect means the
  // provider did not take the order at this address.
  if (IsRedirect(status)) {
    fIOHandler->WriteLog(tZV_MessageType::let_error, u"kLORVANI.Post",
                         u"Answer " + statusWords + u" is a redirect, which is not followed: the provider has not " +
                             u"confirmed the " + aKind.Confirmed);
    return {End::Unknown, status,
            lorvani::UnknownOutcomeText(u"The provider did not confirm the " + subject,
                                        statusWords + u", a redirect that is not followed", subject, fRequestId),
            false};
  }
  // An error status: its message, or its status text, and what broke off of its body.
  Text text = StatusText(aClient);
  if (!reason.empty()) {
    text += u" (" + reason + u")";
  } else if (!aClient.Response().empty()) {
    const std::unique_ptr<kJSONDocument> answer = kJSONUtils::Parse(aClient.Response());
    // A gateway's 5xx may carry anything; only the provider's own refusals must be objects.
    if (answer && !answer->IsObject() && !IsServerError(status)) throw kException(u"Invalid class typecast");
    const Text message = answer && answer->IsObject() ? kJSONUtils::GetString(answer.get(), u"message") : Text();
    if (!message.empty()) text = message;
  }
  // A 5xx says that something went wrong at the provider or before it, not whether the
  // order was made; a 409 that the request id is taken, by a request still at work or
  // by another one: the outcome of the first is what the till must learn.
  if (IsServerError(status) || status == 409)
    return {End::Unknown, status, text + lorvani::UnknownOutcomeClause(subject, fRequestId), true};
  return {End::Refused, status, text, false};
}

Text kPayment_LORVANI::StatusText(const ZV_HttpClient& aClient) {
  // A status line may carry no reason phrase: the code then speaks for itself.
  if (!aClient.LastStatusText().empty()) return aClient.LastStatusText();
  return u"HTTP status " + IntToText(aClient.LastStatusCode());
}

namespace {

// What a confirmed payment and a confirmed refund both report.
void FillConfirmedResult(const kPaymentReceipt& aReceipt, const Text& aTraceAuditId, const Text& aRefundReference,
                         int_PAY_result& aResult) {
  aResult.MaskedPAN.clear();
  aResult.PaymentNumber = aReceipt.fAttributes;
  aResult.PaymentNetwork = zvPaymentNetwork::Lorvani;
  aResult.TransactionType = zvPaymentTransactionType::ptt_Other;
  aResult.TraceAuditId = aTraceAuditId;
  aResult.RefundReference = aRefundReference;
  aResult.PaymentAmount = aReceipt.fAmount;
  aResult.PaymentCurrency = aReceipt.fCurrency;
  aResult.TippedAmount = aResult.ExchangeRate = aResult.PaymentAmountCurrency = aResult.RemainingBalance = Currency();
  aResult.PaymentCurrencyCurrency.clear();
}

}  // namespace

bool kPayment_LORVANI::ReadPayResponse(const kPaymentReceipt& aReceipt, const Verdict& aConfirmed,
                                       int_PAY_result& aResult) {
  const kJSONDocument* answer = aConfirmed.Answer.get();
  const Text token = kJSONUtils::GetString(answer, u"token");  // never empty: Judge checked it
  FillConfirmedResult(aReceipt, token, token, aResult);
  aResult.PaymentDateTime = Now();
  return true;
}

bool kPayment_LORVANI::ReadRefundResponse(const kPaymentReceipt& aReceipt, const Verdict& aConfirmed,
                                          int_PAY_result& aResult) {
  const kJSONDocument* answer = aConfirmed.Answer.get();
  const Text token = kJSONUtils::GetString(answer, u"token");
  const Text refundToken = kJSONUtils::GetString(answer, u"refundToken");
  const Text refundedAtText = kJSONUtils::GetString(answer, u"refundedAt");
  // The provider has confirmed the refund: a missing or unreadable time must not turn
  // it into a failure (the cashier would refund twice). The time of the call stands.
  if (const auto refundedAt = lorvani::IsoInstantToLocal(refundedAtText)) {
    aResult.PaymentDateTime = *refundedAt;
  } else {
    fIOHandler->WriteLog(tZV_MessageType::let_error, u"kLORVANI.Refund",
                         u"refundedAt is missing or not an ISO 8601 time: \"" + refundedAtText +
                             u"\"; the time of the call is reported instead");
  }
  FillConfirmedResult(aReceipt, refundToken, token, aResult);
  return true;
}

// ---- registration ----

void RegisterProviderModules(kDriverRegistry& aRegistry) {
  aRegistry.Register(u"ZVPA_LORVANI_10",
                     [](kPaymentHandler& aHandler) { return std::make_unique<kPayment_LORVANI>(aHandler); });
}

}  // namespace zv
