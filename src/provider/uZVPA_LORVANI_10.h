#pragma once
// The payment device of the Lorvani in-store REST interface: a payment becomes a JSON
// order, a refund or void a JSON refund of an earlier order, each posted over HTTPS
// with the merchant's bearer token through a fresh HTTP client.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

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

  // Why OPEN refuses a RepeatUnknownOutcome it cannot read.
  static constexpr char16_t kRepeatFormat[] =
      u"RepeatUnknownOutcome must be COUNT or COUNT,SECONDS: up to COUNT (0 to 10) repeats of a request whose "
      u"outcome is unknown, the last starting at most SECONDS (1 to 3600, default 300) after the first attempt; "
      u"for example 3,300";
  // Why OPEN refuses a parameter Proxy it cannot read (the value is not repeated: it
  // may hold the proxy's password).
  static constexpr char16_t kProxyRefused[] =
      u"The parameter Proxy must be an HTTP proxy's URL, http://host:port (with user:password@ before the host when "
      u"the proxy asks for credentials), or none for no proxy";

  // Fails with "Invalid class typecast" when the request's connection is not HTTP,
  // with kPlainHttpRefused for an http:// URL unless TlsVerify is false, with
  // kRepeatFormat for a RepeatUnknownOutcome it cannot read, and with kProxyRefused
  // for a parameter Proxy that is no proxy.
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
  struct RequestKind;
  struct Verdict;
  static const RequestKind kPaymentKind;
  static const RequestKind kRefundKind;

  // fRequestId: the receipt's RequestId when the host repeats an earlier request (after
  // checking that this driver could have written it for the store and till), else a new
  // one. False, with the error recorded, when the given one is refused.
  bool TakeRequestId(const kPaymentReceipt& aReceipt, const RequestKind& aKind);
  // Posts fJSONRequest, and again with the same body while its outcome is unknown and
  // RepeatUnknownOutcome allows; records the error of an unconfirmed end.
  Verdict Send(const Text& aPath, const RequestKind& aKind);
  Verdict PostRequest(const Text& aPath, const RequestKind& aKind);
  // The one place where an exchange becomes confirmed, not sent, refused or unknown.
  // Fails with "Invalid class typecast" for an error answer (but a 5xx) that is JSON
  // but not an object.
  Verdict Judge(const ZV_HttpClient& aClient, const RequestKind& aKind) const;
  // The error recorded, and logged, for a request refused before anything was sent.
  void Refuse(const Text& aTitle, const Text& aText);
  static Text StatusText(const ZV_HttpClient& aClient);
  // The results of a confirmed payment or refund, from its answer.
  bool ReadPayResponse(const kPaymentReceipt& aReceipt, const Verdict& aConfirmed, int_PAY_result& aResult);
  bool ReadRefundResponse(const kPaymentReceipt& aReceipt, const Verdict& aConfirmed, int_PAY_result& aResult);

  Text fBearer;
  bool fStaging = false;
  Text fJSONRequest;
  Text fRequestId;  // of fJSONRequest
  kIOHandler_HTTP* fIOHandlerHTTP = nullptr;  // the inherited handler, not owned twice
  Text fTlsCaFile;
  bool fTlsVerify = true;
  int32_t fRepeatCount = 0;    // RepeatUnknownOutcome's COUNT: 0, no repeat
  int32_t fRepeatSeconds = 0;  // and its SECONDS
  Text fProxy;                 // empty: the system's proxy setting
};

// The texts of the provider's requests.
namespace lorvani {

// Compact JSON string: quotation mark, backslash and "/" escaped, \b \t \n \f \r,
// every other code unit below U+0020 or above U+007F as \u with upper-case hex.
Text JsonString(TextView aText);
// "yyyymmddhhnnsszzz" of the moment the body is built.
Text RequestId(const kPaymentReceipt& aReceipt, DateTime aMoment);
// The "store-till-" part every request id of the receipt's store and till begins with.
Text RequestIdPrefix(const kPaymentReceipt& aReceipt);
// The moment of a request id this driver could have written with aPrefix: the prefix
// and 17 digits of a moment of the calendar; nothing for any other text.
std::optional<DateTime> RequestIdMoment(TextView aPrefix, TextView aRequestId);
// The error texts of a request that got no whole answer or no confirmation. aSubject
// is "payment" or "refund"; aReason the transport's text.
Text NotSentText(const Text& aSubject, const Text& aReason);
// ": the outcome of the payment is unknown; its requestId is ...".
Text UnknownOutcomeClause(const Text& aSubject, const Text& aRequestId);
Text UnknownOutcomeText(const Text& aLead, const Text& aReason, const Text& aSubject, const Text& aRequestId);
// The moments request ids are made of, one sequence per "store-till-" prefix for the
// whole machine. The provider takes a request id as the request's identity (a repeat
// is answered with the first request's outcome), so an id is never handed out twice,
// by this process or another, before or after a restart: when the clock gives the same
// or an earlier millisecond than the last id of that prefix, as in a burst of calls,
// after the clock was set back or in the repeated hour of a change to winter time, the
// last one plus a millisecond is taken instead. Each sequence is a small file of the
// folder, holding its last id, read and replaced under the file's lock.
class RequestMoments {
 public:
  explicit RequestMoments(Text aFolder);

  struct Moment {
    DateTime Value = 0;
    // Why the machine's sequence could not be used: the moment is then unique in this
    // process only. Empty when all went well.
    Text Warning;
  };
  Moment Next(const Text& aPrefix, DateTime aNow);
  // Makes the sequence of aPrefix go on after aMoment, the moment of an id the host
  // gave (a repeat of an earlier request).
  Moment Observe(const Text& aPrefix, DateTime aMoment);
  // The sequences every device of the process draws from, in the machine's state folder.
  static RequestMoments& Machine();

 private:
  Moment Advance(const Text& aPrefix, int64_t aMillisecond, bool aAfterLast);
  Text FileOf(const Text& aPrefix) const;

  std::mutex fLock;
  std::map<Text, int64_t> fLastMillisecond;  // by prefix: this process's own floor
  Text fFolder;
};
Text PayBody(const kPaymentReceipt& aReceipt, const Text& aRequestId);
Text RefundBody(const kPaymentReceipt& aReceipt, const Text& aRequestId);
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
