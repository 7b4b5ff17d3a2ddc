#pragma once
// A small HTTPS client: the settings of one kind of request (time-outs, user agent,
// content type, authentication, TLS trust), a POST or a GET, and the status, status
// text, body and content type of the answer. Every step is reported through
// OnWriteLog, so that the traffic lands in the log of the device using the client.
//
// The settings reach the transport once, before the first request of a client object;
// a property changed afterwards has no effect on the requests. Configure, then use.
// Redirects are never followed, no compressed answer is asked for, and server
// certificates are verified (chain and host name) unless TlsVerify is false.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/Text.h"
#include "base/uZV_Base_Defs.h"
#include "device/uZVIOHandler.h"
#include "platform/HttpTransfer.h"

namespace zv {

// Initialises the TLS library without its exit-time clean-up, so that its state lives
// until the process ends: a request still running when the host exits (which unloading
// waits for only a bounded time) keeps using it. Call before the library's own state
// is built. Where the host initialised the TLS library first, nothing changes.
bool KeepTlsStateUntilProcessEnd();

// The way a client's requests take, read from the text of the parameter Proxy: empty
// for the system's proxy setting, "none" (any letter case) for no proxy, otherwise an
// HTTP proxy as http://host:port (the scheme may be left out), with user:password@
// before the host when the proxy asks for credentials (percent-encoded, as in any
// URL). Nothing for any other text.
struct ProxyChoice {
  platform::HttpTransfer::Settings::ProxyRoute Route = platform::HttpTransfer::Settings::ProxyRoute::System;
  std::string Host;  // "host:port"
  std::string User;
  std::string Password;
};
std::optional<ProxyChoice> ParseProxy(const Text& aText);

class ZV_HttpClient {
 public:
  static constexpr int32_t kDefaultConnectTimeout = 5;  // seconds
  static constexpr int32_t kDefaultReadTimeout = 10;    // seconds
  // The largest answer body taken, far above any answer of the provider: a larger one
  // (announced or received) is refused as soon as it shows, and the request fails
  // with LastFailureText saying so.
  static constexpr size_t kMaxAnswerBytes = 1024 * 1024;

  ZV_HttpClient();
  ~ZV_HttpClient();
  ZV_HttpClient(const ZV_HttpClient&) = delete;
  ZV_HttpClient& operator=(const ZV_HttpClient&) = delete;

  // POSTs aMessage (sent as UTF-8) to aURL. True when the answer's body was read and
  // its status is 200 to 299 or 301 to 308. A request that got no answer leaves the
  // transport's failure code and text in LastStatusCode and LastStatusText and keeps
  // the previous Response.
  bool Post(const Text& aURL, const Text& aMessage);
  // GETs aURL. True when the body was read and the status is 200 to 299.
  bool Get(const Text& aURL);
  // A header sent with every later request; a later call with the same name (any
  // letter case) replaces the value.
  void SetRequestHeader(const Text& aKey, const Text& aValue);

  zvHTTPAuthType AuthType() const { return fAuthType; }
  void SetAuthType(zvHTTPAuthType a) { fAuthType = a; }
  const Text& User() const { return fUser; }
  void SetUser(const Text& a) { fUser = a; }
  const Text& Password() const { return fPassword; }
  void SetPassword(const Text& a) { fPassword = a; }
  // Seconds without a byte received after which a request is given up; 0 or less:
  // no limit.
  int32_t ReadTimeout() const { return fReadTimeout; }
  void SetReadTimeout(int32_t a) { fReadTimeout = a; }
  // Seconds to establish the connection (TLS included); 0 or less: the transport's
  // default.
  int32_t ConnectTimeout() const { return fConnectTimeout; }
  void SetConnectTimeout(int32_t a) { fConnectTimeout = a; }
  // Token of at_Bearer: "Authorization: Bearer <token>".
  const Text& Bearer() const { return fBearer; }
  void SetBearer(const Text& a) { fBearer = a; }
  const Text& UserAgent() const { return fUserAgent; }
  void SetUserAgent(const Text& a) { fUserAgent = a; }
  // Content-Type of POST bodies; "application/xml", "application/json" or any other
  // value. Empty: the form type application/x-www-form-urlencoded.
  const Text& ContentType() const { return fContentType; }
  void SetContentType(const Text& a) { fContentType = a; }
  // Kept for callers; bodies are always sent as UTF-8.
  const Text& ContentCharset() const { return fContentCharset; }
  void SetContentCharset(const Text& a) { fContentCharset = a; }
  // A PEM file of certificates trusted in addition to the system's store; empty: the
  // system's store only.
  const Text& TlsCaFile() const { return fTlsCaFile; }
  void SetTlsCaFile(const Text& a) { fTlsCaFile = a; }
  // False turns certificate verification off (chain and host name).
  bool TlsVerify() const { return fTlsVerify; }
  void SetTlsVerify(bool a) { fTlsVerify = a; }
  // The proxy, as ParseProxy reads it; a text it refuses fails every request before
  // anything is sent.
  const Text& Proxy() const { return fProxy; }
  void SetProxy(const Text& a) { fProxy = a; }

  // The status code of the last answer, or the transport's failure code (one of
  // platform's kHttp... codes) when a request got no answer.
  int32_t LastStatusCode() const { return fLastStatusCode; }
  void SetLastStatusCode(int32_t a) { fLastStatusCode = a; }
  const Text& LastStatusText() const { return fLastStatusText; }
  void SetLastStatusText(const Text& a) { fLastStatusText = a; }
  // Why the last request produced no complete answer (the transport's text: refused,
  // timed out, closed before the body ended, body too large); empty when its body was
  // read.
  const Text& LastFailureText() const { return fLastFailureText; }
  // Whether the last request left (the connection stood and the request was handed
  // to it): when it got no complete answer, the server may still have acted on it.
  bool LastRequestSent() const { return fLastRequestSent; }
  // Whether a status line came for the last request.
  bool LastAnswered() const { return fLastAnswered; }
  const Text& Response() const { return fResponse; }
  const Text& ResponseContentType() const { return fResponseContentType; }

  const zvWriteLogEvent& OnWriteLog() const { return fOnWriteLog; }
  void SetOnWriteLog(zvWriteLogEvent a) { fOnWriteLog = std::move(a); }

 private:
  // What one exchange produced: whether a status line arrived, whether the body was
  // read completely, and the failure when not.
  struct Exchange {
    bool Answered = false;
    bool BodyRead = false;
    int32_t Status = 0;
    std::string Reason;
    std::string Body;
    std::string ContentType;
    int32_t FailureCode = 0;
    Text FailureText;
    bool RequestSent = false;
  };

  void ApplySettings();
  Exchange Perform(const std::string& aURL, const std::string* aBody);
  // Keeps the body and content type of an answer whose body was read, and logs it.
  void TakeBody(const Exchange& aExchange);
  void DoWriteLog(tZV_MessageType aEntryType, const Text& aTitle, const Text& aMessage);
  static Text CodeAndText(int32_t aCode, const Text& aText);
  // Why an exchange failed, in words: the transport's, or what the proxy or the
  // server's TLS refused.
  Text FailureWords(const platform::HttpTransfer::Result& aAnswer) const;

  std::unique_ptr<platform::HttpTransfer> fHttp;
  bool fHTTPAlreadySet = false;
  zvHTTPAuthType fAuthType = zvHTTPAuthType::at_None;
  Text fUser;
  Text fPassword;
  int32_t fReadTimeout = kDefaultReadTimeout;
  int32_t fConnectTimeout = kDefaultConnectTimeout;
  Text fBearer;
  Text fUserAgent;
  Text fContentType;
  Text fContentCharset = u"utf-8";
  Text fTlsCaFile;
  bool fTlsVerify = true;
  Text fProxy;
  bool fProxyUsable = true;  // fProxy was read when the settings were applied
  bool fProxyHasCredentials = false;
  int32_t fLastStatusCode = 0;
  Text fLastStatusText;
  Text fLastFailureText;
  bool fLastRequestSent = false;
  bool fLastAnswered = false;
  Text fResponse;
  Text fResponseContentType;
  zvWriteLogEvent fOnWriteLog;
  // Headers of SetRequestHeader, in the order first set.
  std::vector<std::pair<std::string, std::string>> fRequestHeaders;
  // The Content-Type fixed when the settings were applied.
  std::string fAppliedContentType;
};

}  // namespace zv
