#include "provider/uZVPA_LORVANI_10.h"

#include <cstdio>

#include "base/Exception.h"
#include "device/uZVIOHandler_HTTP.h"
#include "driver/uZVDriverLibrary.h"
#include "http/uZV_HTTPClient.h"
#include "platform/Clock.h"
#include "provider/uZVPA_LORVANI_10_JSONUtils.h"
#include "receipt/uZvReceipt.h"

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

std::optional<DateTime> IsoInstantToLocal(TextView aText) {
  // Sub-millisecond digits carry nothing a date-time can hold: keep three.
  Text text(aText);
  const size_t t = text.find(u'T');
  const size_t point = t == Text::npos ? Text::npos : text.find(u'.', t);
  if (point != Text::npos) {
    size_t end = point + 1;
    while (end < text.size() && text[end] >= u'0' && text[end] <= u'9') ++end;
    if (end - point - 1 > 3) text.erase(point + 4, end - point - 4);
  }
  try {
    return UtcToLocal(krptUtil::ISO8601ToDateTime(text));
  } catch (const kException&) {
    return std::nullopt;
  }
}

}  // namespace lorvani

// ---- the device ----

kPayment_LORVANI::kPayment_LORVANI(const kPaymentHandler& aHandler) : kPaymentDevice(aHandler) {
  fBearer = aHandler.GetParameter(u"Bearer");
  fStaging = LowerCase(aHandler.GetParameter(u"Staging")) == u"true";
  fTlsCaFile = aHandler.GetParameter(u"TlsCaFile");
  fTlsVerify = LowerCase(aHandler.GetParameter(u"TlsVerify")) != u"false";
  fIOHandlerHTTP = dynamic_cast<kIOHandler_HTTP*>(fIOHandler.get());
  if (fIOHandlerHTTP == nullptr) throw kException(u"Invalid class typecast");
  if (fIOHandlerHTTP->URL().empty()) fIOHandlerHTTP->SetURL(fStaging ? kStagingBaseURL : kProductionBaseURL);
  if (!EndsWith(fIOHandlerHTTP->URL(), u"/")) fIOHandlerHTTP->SetURL(fIOHandlerHTTP->URL() + u"/");
}

const Text& kPayment_LORVANI::BaseURL() const { return fIOHandlerHTTP->URL(); }

bool kPayment_LORVANI::Pay(const kPaymentReceipt& aReceipt, int_PAY_result& aResult) {
  bool outcome = false;
  switch (aReceipt.fAction) {
    case zvPaymentAction::Pay:
      BuildPayRequest(aReceipt);
      fIOHandler->WriteLog(tZV_MessageType::let_info, u"kLORVANI.Pay", fJSONRequest);
      outcome = PostRequest(u"orders") && ReadPayResponse(aReceipt, aResult);
      break;
    case zvPaymentAction::Refund:
    case zvPaymentAction::Void:
      BuildRefundRequest(aReceipt);
      fIOHandler->WriteLog(tZV_MessageType::let_info, u"kLORVANI.Refund", fJSONRequest);
      outcome = PostRequest(u"orders/" + lorvani::EncodePathSegment(aReceipt.fRefundReference.PaymentNumber) +
                            u"/refund") &&
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
  fJSONRequest = lorvani::PayBody(aReceipt, Now());
}

void kPayment_LORVANI::BuildRefundRequest(const kPaymentReceipt& aReceipt) {
  fJSONRequest = lorvani::RefundBody(aReceipt, Now());
}

bool kPayment_LORVANI::PostRequest(const Text& aPath) {
  fJSONResponse.clear();
  fIOHandlerHTTP->ResetCustomError();

  ZV_HttpClient client;
  client.SetOnWriteLog(fIOHandler->LogEvent());
  const Text url = fIOHandlerHTTP->URL() + aPath;
  client.SetConnectTimeout(10);
  client.SetReadTimeout(120);
  client.SetUserAgent(kUserAgent);
  client.SetAuthType(zvHTTPAuthType::at_Bearer);
  client.SetBearer(fBearer);
  client.SetContentType(u"application/json");
  client.SetTlsCaFile(fTlsCaFile);
  client.SetTlsVerify(fTlsVerify);
  if (!fTlsVerify)
    fIOHandler->Debug(tZV_MessageType::let_error,
                      u"TLS certificate verification is off (TlsVerify=false): the provider's identity is not checked");

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
  fIOHandlerHTTP->SetCustomError(status, FailureText(client));
  return false;
}

Text kPayment_LORVANI::FailureText(const ZV_HttpClient& aClient) {
  const int32_t status = aClient.LastStatusCode();
  if (aClient.Response().empty()) {
    // No answer body. When a 2xx status line came but its body did not, the provider
    // may have taken the request: say so, so that nobody simply tries again.
    if (status >= 200 && status <= 299 && !aClient.LastFailureText().empty())
      return u"Incomplete answer from the provider (" + aClient.LastFailureText() +
             u"): the outcome of the request is unknown";
    if (!aClient.LastFailureText().empty()) return aClient.LastFailureText();
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
