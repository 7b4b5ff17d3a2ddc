#pragma once
// The payment device of the Lorvani in-store REST interface: a payment becomes a JSON
// order, a refund or void a JSON refund of an earlier order, each posted over HTTPS
// with the merchant's bearer token through a fresh HTTP client.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "base/Text.h"
#include "payment/uZvPayment.h"

namespace zv {

class kDriverRegistry;
class kIOHandler;
class kIOHandler_HTTP;
class ZV_HttpClient;

// Registers the driver names of this library's providers ("ZVPA_LORVANI_10").
void RegisterProviderModules(kDriverRegistry& aRegistry);

class kPayment_LORVANI : public kPaymentDevice {
 public:
  // The provider's services; the base URL always ends in "/".
  static constexpr char16_t kProductionBaseURL[] = u"https://api.lorvani.com/v1/instore/";
  static constexpr char16_t kStagingBaseURL[] = u"https://api.staging.lorvani.com/v1/instore/";
  static constexpr char16_t kUserAgent[] = u"Zorvik PXR Driver";
  // Logged as an error before every request while TlsVerify is false.
  static constexpr char16_t kInsecureTransportLine[] =
      u"TLS certificate verification is off and plain HTTP is allowed (TlsVerify=false): the provider's identity "
      u"is not checked, and an http:// URL sends the bearer token unencrypted";
  // Why OPEN refuses an http:// URL while TlsVerify is true.
  static constexpr char16_t kPlainHttpRefused[] =
      u"Plain HTTP is refused for the provider: an http:// URL would send the bearer token unencrypted. Use an "
      u"https:// URL, or set the parameter TlsVerify to false to allow plain HTTP (for a test set-up only)";

  // Why OPEN refuses a parameter Proxy it cannot read (the value is not repeated: it
  // may hold the proxy's password).
  static constexpr char16_t kProxyRefused[] =
      u"The parameter Proxy must be an HTTP proxy's URL, http://host:port (with user:password@ before the host when "
      u"the proxy asks for credentials), or none for no proxy";

  // Fails with "Invalid class typecast" when the request's connection is not HTTP,
  // with kPlainHttpRefused for an http:// URL unless TlsVerify is false, and with
  // kProxyRefused for a parameter Proxy that is no proxy.
  explicit kPayment_LORVANI(const kPaymentHandler& aHandler);

  const Text& BaseURL() const;
  // The body of the last request built.
  const Text& JSONRequest() const { return fJSONRequest; }

 protected:
  // As above, over aIOHandler instead of the handler the request's connection creates
  // (when given): the way to reach the device with a handler this build cannot create.
  kPayment_LORVANI(const kPaymentHandler& aHandler, std::unique_ptr<kIOHandler> aIOHandler);

  bool Pay(const kPaymentReceipt& aReceipt, int_PAY_result& aResult) override;
  bool Refund(const kPaymentReceipt& aReceipt, int_PAY_result& aResult) override;
  bool Void(const kPaymentReceipt& aReceipt, int_PAY_result& aResult) override;
  // The provider offers no reprint, day close or totals: these do nothing.
  bool Reprint(const Text& aReceiptId, ZvPrintLocation aPrintLocation, int_REPRINT_result& aResult) override;
  bool DayClose(const kPaymentDayClose& aDayClose, int_DAYCLOSE_result& aResult) override;
  bool GetTotals(const kPaymentTotals& aTotals, int_GETTOTALS_result& aResult) override;

 private:
  void BuildPayRequest(const kPaymentReceipt& aReceipt);
  void BuildRefundRequest(const kPaymentReceipt& aReceipt);
  // aSubject ("payment", "refund") names what the request asks the provider to do,
  // aConfirmed ("order", "refund") what the provider's answer confirms.
  bool PostRequest(const Text& aPath, const Text& aSubject, const Text& aConfirmed);
  // The error text of a request the provider did not confirm: its "message", the
  // status text, or the transport's reason, said as "not sent" or "outcome unknown"
  // (with the request id) when no whole answer came. Fails with "Invalid class
  // typecast" for an answer that is JSON but not an object.
  Text FailureText(const ZV_HttpClient& aClient, const Text& aSubject) const;
  static Text StatusText(const ZV_HttpClient& aClient);
  bool ReadPayResponse(const kPaymentReceipt& aReceipt, int_PAY_result& aResult);
  bool ReadRefundResponse(const kPaymentReceipt& aReceipt, int_PAY_result& aResult);

  Text fBearer;
  bool fStaging = false;
  Text fJSONRequest;
  Text fRequestId;  // of fJSONRequest
  Text fJSONResponse;
  kIOHandler_HTTP* fIOHandlerHTTP = nullptr;  // the inherited handler, not owned twice
  Text fTlsCaFile;
  bool fTlsVerify = true;
  Text fProxy;  // empty: the system's proxy setting
};

// The texts of the provider's requests.
namespace lorvani {

// Compact JSON string: quotation mark, backslash and "/" escaped, \b \t \n \f \r,
// every other code unit below U+0020 or above U+007F as \u with upper-case hex.
Text JsonString(TextView aText);
// "yyyymmddhhnnsszzz" of the moment the body is built.
Text RequestId(const kPaymentReceipt& aReceipt, DateTime aMoment);
// The error texts of a request that got no whole answer. aSubject is "payment" or
// "refund"; aReason the transport's text.
Text NotSentText(const Text& aSubject, const Text& aReason);
Text UnknownOutcomeText(const Text& aLead, const Text& aReason, const Text& aSubject, const Text& aRequestId);
// The moments request ids are made of, one sequence per store and till. The provider
// takes a request id as the request's identity (a repeated one is refused, or answered
// with the first request's order), so an id is never handed out twice: when the clock
// gives the same or an earlier millisecond than the last id of that store and till, as
// in a burst of calls or after the clock was set back, the last one plus a millisecond
// is taken instead.
class RequestMoments {
 public:
  DateTime Next(const kPaymentReceipt& aReceipt, DateTime aNow);
  // The sequence every device of the process draws from.
  static RequestMoments& Process();

 private:
  std::mutex fLock;
  std::map<Text, int64_t> fLastMillisecond;  // by the id's "store-till-" prefix
};
Text PayBody(const kPaymentReceipt& aReceipt, DateTime aMoment);
Text RefundBody(const kPaymentReceipt& aReceipt, DateTime aMoment);
// A path segment with every character outside the unreserved set percent-encoded
// (as UTF-8), so that a token cannot change the request's path or query.
Text EncodePathSegment(TextView aSegment);
// The whole text "yyyy-mm-dd", optionally followed by "T" and "hh:nn:ss" with an
// optional fraction of a second (any length, milliseconds kept) and an optional "Z"
// or "+hh:mm"/"-hh:mm"; a time without designator is UTC. The instant in local time;
// nothing for any other text, trailing characters included.
std::optional<DateTime> IsoInstantToLocal(TextView aText);
// Every setting the device gives the client of one request (time-outs, user agent,
// bearer authentication, JSON, TLS trust, proxy); the log callback aside.
void ConfigureClient(ZV_HttpClient& aClient, const Text& aBearer, const Text& aTlsCaFile, bool aTlsVerify,
                     const Text& aProxy);

}  // namespace lorvani

}  // namespace zv
