#include "provider/uZVPA_LORVANI_10.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/Exception.h"
#include "device/uZVIOHandler_HTTP.h"
#include "driver/uZVDriverLibrary.h"
#include "http/uZV_HTTPClient.h"
#include "platform/Clock.h"
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

Text RequestId(const kPaymentReceipt& aReceipt, DateTime aMoment) {
  return aReceipt.fStoreCode + u"-" + aReceipt.fTillCode + u"-" + FormatCompactStamp(aMoment);
}

Text NotSentText(const Text& aSubject, const Text& aReason) {
  return u"The " + aSubject + u" was not sent to the provider (" + aReason + u")";
}

Text UnknownOutcomeText(const Text& aLead, const Text& aReason, const Text& aSubject, const Text& aRequestId) {
  return aLead + u" (" + aReason + u"): the outcome of the " + aSubject + u" is unknown; its requestId is " +
         aRequestId;
}

DateTime RequestMoments::Next(const kPaymentReceipt& aReceipt, DateTime aNow) {
  constexpr double kMillisecondsPerDay = 86400000.0;
  const auto now = static_cast<int64_t>(std::llround(aNow * kMillisecondsPerDay));
  const Text prefix = aReceipt.fStoreCode + u"-" + aReceipt.fTillCode + u"-";
  std::lock_guard lock(fLock);
  auto [last, inserted] = fLastMillisecond.try_emplace(prefix, now);
  if (!inserted) last->second = std::max(now, last->second + 1);
  return static_cast<double>(last->second) / kMillisecondsPerDay;
}

RequestMoments& RequestMoments::Process() {
  static RequestMoments moments;
  return moments;
}

Text PayBody(const kPaymentReceipt& aReceipt, DateTime aMoment) {
  return JsonObject()
      .Raw(u"totalAmount", Amount(aReceipt))
      .Member(u"preApprovalCode", aReceipt.fAttributes)
      .Member(u"requestId", RequestId(aReceipt, aMoment))
      .Member(u"merchantOperatorId", aReceipt.fOperatorId)
      .Member(u"merchantReference", aReceipt.fReference)
      .Close();
}

Text RefundBody(const kPaymentReceipt& aReceipt, DateTime aMoment) {
  return JsonObject()
      .Member(u"token", aReceipt.fRefundReference.PaymentNumber)
      .Member(u"requestId", RequestId(aReceipt, aMoment))
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

}  // namespace

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
  if (!ParseProxy(fProxy)) {
    fIOHandler->Debug(tZV_MessageType::let_error, kProxyRefused);
    throw kException(kProxyRefused);
  }
}

const Text& kPayment_LORVANI::BaseURL() const { return fIOHandlerHTTP->URL(); }

bool kPayment_LORVANI::Pay(const kPaymentReceipt& aReceipt, int_PAY_result& aResult) {
  bool outcome = false;
  switch (aReceipt.fAction) {
    case zvPaymentAction::Pay:
      BuildPayRequest(aReceipt);
      fIOHandler->WriteLog(tZV_MessageType::let_info, u"kLORVANI.Pay", fJSONRequest);
      outcome = PostRequest(u"orders", u"payment", u"order") && ReadPayResponse(aReceipt, aResult);
      break;
    case zvPaymentAction::Refund:
    case zvPaymentAction::Void:
      BuildRefundRequest(aReceipt);
      fIOHandler->WriteLog(tZV_MessageType::let_info, u"kLORVANI.Refund", fJSONRequest);
      outcome = PostRequest(u"orders/" + lorvani::EncodePathSegment(aReceipt.fRefundReference.PaymentNumber) +
                                u"/refund",
                            u"refund", u"refund") &&
                ReadRefundResponse(aReceipt, aResult);
      break;
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

void kPayment_LORVANI::BuildPayRequest(const kPaymentReceipt& aReceipt) {
  const DateTime moment = lorvani::RequestMoments::Process().Next(aReceipt, Now());
  fJSONRequest = lorvani::PayBody(aReceipt, moment);
  fRequestId = lorvani::RequestId(aReceipt, moment);
}

void kPayment_LORVANI::BuildRefundRequest(const kPaymentReceipt& aReceipt) {
  const DateTime moment = lorvani::RequestMoments::Process().Next(aReceipt, Now());
  fJSONRequest = lorvani::RefundBody(aReceipt, moment);
  fRequestId = lorvani::RequestId(aReceipt, moment);
}

bool kPayment_LORVANI::PostRequest(const Text& aPath, const Text& aSubject, const Text& aConfirmed) {
  fJSONResponse.clear();
  fIOHandlerHTTP->ResetCustomError();

  ZV_HttpClient client;
  client.SetOnWriteLog(fIOHandler->LogEvent());
  const Text url = fIOHandlerHTTP->URL() + aPath;
  lorvani::ConfigureClient(client, fBearer, fTlsCaFile, fTlsVerify, fProxy);
  if (!fTlsVerify) fIOHandler->Debug(tZV_MessageType::let_error, kInsecureTransportLine);

  bool posted = false;
  try {
    posted = client.Post(url, fJSONRequest);
  } catch (...) {
    const Text failure = FailureMessage(std::current_exception());
    fIOHandler->WriteLog(tZV_MessageType::let_error, u"kLORVANI.Post", failure);
    fIOHandlerHTTP->SetCustomError(0, failure);
    return false;
  }

  // A payment or refund is confirmed only by a 2xx answer: a redirect means the
  // provider did not take the order at this address.
  const int32_t status = client.LastStatusCode();
  if (posted && status >= 200 && status <= 299) {
    fJSONResponse = client.Response();
    return true;
  }
  if (status >= 300 && status <= 399) {
    // The client takes most redirects for a success and logs the body as read: say why
    // this one is not.
    fIOHandler->WriteLog(tZV_MessageType::let_error, u"kLORVANI.Post",
                         u"Answer " + IntToText(status) +
                             (client.LastStatusText().empty() ? Text() : u" " + client.LastStatusText()) +
                             u" is a redirect, which is not followed: the provider has not confirmed the " +
                             aConfirmed);
  }
  fIOHandlerHTTP->SetCustomError(status, FailureText(client, aSubject));
  return false;
}

Text kPayment_LORVANI::FailureText(const ZV_HttpClient& aClient, const Text& aSubject) const {
  const int32_t status = aClient.LastStatusCode();
  if (aClient.Response().empty()) {
    const Text& reason = aClient.LastFailureText();
    // No whole answer. Once the request has left, the provider may have acted on it:
    // say so, with the id it knows the request by, so that nobody simply tries again.
    if (!reason.empty() && !aClient.LastRequestSent()) return lorvani::NotSentText(aSubject, reason);
    if (!reason.empty() && !aClient.LastAnswered())
      return lorvani::UnknownOutcomeText(u"No answer from the provider", reason, aSubject, fRequestId);
    if (status >= 200 && status <= 299 && !reason.empty())
      return lorvani::UnknownOutcomeText(u"Incomplete answer from the provider", reason, aSubject, fRequestId);
    if (!reason.empty()) return reason;
    return StatusText(aClient);
  }
  const std::unique_ptr<kJSONDocument> answer = kJSONUtils::Parse(aClient.Response());
  if (answer && !answer->IsObject()) throw kException(u"Invalid class typecast");
  const Text message = kJSONUtils::GetString(answer.get(), u"message");
  return message.empty() ? StatusText(aClient) : message;
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

bool kPayment_LORVANI::ReadPayResponse(const kPaymentReceipt& aReceipt, int_PAY_result& aResult) {
  const std::unique_ptr<kJSONDocument> answer = kJSONUtils::Parse(fJSONResponse);
  const Text token = kJSONUtils::GetString(answer.get(), u"token");
  // The customer has paid: still a success, but a refund needs the order's token.
  if (token.empty())
    fIOHandler->WriteLog(tZV_MessageType::let_error, u"kLORVANI.Pay",
                         u"The payment is confirmed but the answer carries no \"token\": the order cannot be "
                         u"refunded through the driver without it");
  FillConfirmedResult(aReceipt, token, token, aResult);
  aResult.PaymentDateTime = Now();
  return true;
}

bool kPayment_LORVANI::ReadRefundResponse(const kPaymentReceipt& aReceipt, int_PAY_result& aResult) {
  const std::unique_ptr<kJSONDocument> answer = kJSONUtils::Parse(fJSONResponse);
  const Text token = kJSONUtils::GetString(answer.get(), u"token");
  const Text refundToken = kJSONUtils::GetString(answer.get(), u"refundToken");
  const Text refundedAtText = kJSONUtils::GetString(answer.get(), u"refundedAt");
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
