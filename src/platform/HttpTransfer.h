#pragma once
// One HTTP/1.1 exchange at a time over a connection kept between exchanges: a GET or
// a POST with headers, credentials and time-outs, answered with the status line, the
// content type and a body of bounded size. Two modes: Https (http and https, a URL
// without scheme taken as https, TLS 1.2 or later, certificates verified against the
// system's store plus an optional PEM file, through the proxy the settings choose) and
// PlainHttp (http only: an https URL fails like an unreachable host, no proxy).
// Redirects are never followed, no compressed answer is asked for and no
// "Expect: 100-continue" round is made. Nothing here raises.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/CappedBody.h"
#include "base/Text.h"

namespace zv::platform {

// Why an exchange produced no complete answer. The numbers are those libcurl gives, on
// every system, so that status codes and logs read the same wherever the driver runs.
inline constexpr int32_t kHttpOk = 0;
inline constexpr int32_t kHttpUnsupportedProtocol = 1;
inline constexpr int32_t kHttpCouldNotResolveProxy = 5;
inline constexpr int32_t kHttpCouldNotResolveHost = 6;
inline constexpr int32_t kHttpCouldNotConnect = 7;
inline constexpr int32_t kHttpWriteError = 23;   // the body was refused (over the size limit)
inline constexpr int32_t kHttpOutOfMemory = 27;
inline constexpr int32_t kHttpTimedOut = 28;
inline constexpr int32_t kHttpTlsConnectError = 35;  // no TLS session (the handshake failed)
inline constexpr int32_t kHttpAborted = 42;
inline constexpr int32_t kHttpGotNothing = 52;   // the connection closed before any answer
inline constexpr int32_t kHttpSendError = 55;
inline constexpr int32_t kHttpRecvError = 56;
inline constexpr int32_t kHttpPeerFailedVerification = 60;
inline constexpr int32_t kHttpCaFileUnusable = 77;

// Keeps the TLS library's state until the process ends (no exit-time clean-up), so that
// a request still running while a host exits can finish with it. True when done or not
// needed.
bool KeepTlsStateUntilProcessEnd();

class HttpTransfer {
 public:
  enum class Mode { Https, PlainHttp };
  enum class Auth { None, Basic, Digest, Bearer };

  // What stays the same for every exchange of an Https transfer (fixed by the first
  // exchange after Configure); a PlainHttp transfer applies it afresh to each exchange.
  struct Settings {
    int32_t ConnectTimeoutMs = 0;  // TCP and TLS; 0 or less: the system's default
    // Once the request is about to leave, the longest time without a byte moving either
    // way; 0 or less: no limit.
    int32_t ReadTimeoutMs = 0;
    Auth Authentication = Auth::None;
    std::string User;
    std::string Password;
    std::string Bearer;
    std::string UserAgent;   // empty: no User-Agent header
    bool TlsVerify = true;   // chain and host name
    std::string TlsCaFile;   // PEM certificates trusted beside the system's store
    size_t MaxBodyBytes = 1024 * 1024;
    // How an Https transfer reaches the server: through the proxy the system names
    // (Linux: libcurl's https_proxy, HTTPS_PROXY, all_proxy, ALL_PROXY and no_proxy;
    // Windows: the user's proxy setting, else WinHTTP's), directly, or through the
    // HTTP proxy ProxyHost.
    enum class ProxyRoute { System, Direct, Named };
    ProxyRoute Proxy = ProxyRoute::System;
    std::string ProxyHost;  // Named: "host:port" (an IPv6 address in brackets)
    std::string ProxyUser;  // Named: credentials for a proxy that asks for them
    std::string ProxyPassword;
  };

  // Header values must be free of CR, LF and NUL; an empty value sends "Name:" with
  // nothing after it.
  using Headers = std::vector<std::pair<std::string, std::string>>;

  struct Request {
    std::string Url;
    const std::string* Body = nullptr;  // null: GET; otherwise POST of these bytes
    std::string ContentType;            // empty: no Content-Type header
    Headers Fields;
  };

  struct Result {
    explicit Result(size_t aLimit) : Body(aLimit) {}
    // A status line arrived (the last one, after interim answers and challenges).
    bool Answered = false;
    int32_t Status = 0;
    std::string StatusLine;   // "HTTP/1.1 201 Created", without the line end
    std::string Reason;       // "Created"
    std::string ContentType;  // of an answer whose body was read completely
    CappedBody Body;          // what arrived of the body; Refused() when over the limit
    // kHttpOk when the answer was read completely, else why not, with the transport's
    // text (a refused body: the body's own failure text).
    int32_t FailureCode = kHttpOk;
    Text FailureText;
    // The failure is the read time-out of the settings (the caller words it).
    bool ReadTimedOut = false;
    // The connection was made and the request handed to it: a failure from here on
    // leaves open whether the server acted on the request. False: nothing was sent
    // (no address, no connection, no TLS session).
    bool RequestSent = false;
    // A failure of the proxy, before anything reached the server: it could not be
    // reached (ProxyStatus 0), or it answered the tunnel request with ProxyStatus
    // (407: it wants credentials) and ProxyReason. ProxyName is "host:port", never
    // with credentials; empty when the system chose a proxy that cannot be named.
    bool ProxyFailed = false;
    std::string ProxyName;
    int32_t ProxyStatus = 0;
    std::string ProxyReason;
    // The server offers only TLS older than 1.2: the version it offers ("TLS 1.0",
    // "TLS 1.1"), or empty when that could not be found out.
    bool TlsTooOld = false;
    std::string ServerTls;
    bool Complete() const { return Answered && FailureCode == kHttpOk; }
  };

  explicit HttpTransfer(Mode aMode);
  ~HttpTransfer();
  HttpTransfer(const HttpTransfer&) = delete;
  HttpTransfer& operator=(const HttpTransfer&) = delete;

  // False when the system cannot provide a transport at all.
  bool Usable() const;
  void Configure(const Settings& aSettings);
  Result Perform(const Request& aRequest);
  // Whether the connection of the last exchange is still open.
  bool Connected();
  // Closes the connection; the next exchange opens a new one.
  void Close();

 private:
  struct Impl;
  std::unique_ptr<Impl> fImpl;
};

}  // namespace zv::platform
