// HTTP transfers over WinHTTP (synchronous), TLS 1.2 or later. Failures carry the codes
// and, where callers and logs rely on them, the words of the Linux build. Without a CA
// file WinHTTP verifies the server against the system's store itself. With one (or for
// an IP address) the server's chain is checked here, against the system's store plus
// the file's certificates and with the host name, when WinHTTP is about to send the
// request: a rejected server gets no byte of it (the request is cancelled and its
// connection shut). That check fails closed: without its status callback nothing is
// sent, and an answer whose server it never saw is not taken.

#include "platform/HttpTransfer.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace zv::platform {

bool KeepTlsStateUntilProcessEnd() { return true; }  // the system's TLS needs nothing

namespace {

std::wstring Wide(const std::string& aUtf8) {
  if (aUtf8.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, aUtf8.data(), static_cast<int>(aUtf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, aUtf8.data(), static_cast<int>(aUtf8.size()), out.data(), n);
  return out;
}

std::string Narrow(const std::wstring& aWide) {
  if (aWide.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, aWide.data(), static_cast<int>(aWide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, aWide.data(), static_cast<int>(aWide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

struct InternetHandle {
  HINTERNET Handle = nullptr;
  InternetHandle() = default;
  explicit InternetHandle(HINTERNET a) : Handle(a) {}
  ~InternetHandle() { Reset(); }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  InternetHandle(InternetHandle&& a) noexcept : Handle(a.Release()) {}
  InternetHandle& operator=(InternetHandle&& a) noexcept {
    Reset(a.Release());
    return *this;
  }
  void Reset(HINTERNET a = nullptr) {
    if (Handle != nullptr) WinHttpCloseHandle(Handle);
    Handle = a;
  }
  HINTERNET Release() { return std::exchange(Handle, nullptr); }
};

struct StoreDeleter {
  void operator()(void* a) const { CertCloseStore(static_cast<HCERTSTORE>(a), 0); }
};
using Store = std::unique_ptr<void, StoreDeleter>;
struct CertDeleter {
  void operator()(const CERT_CONTEXT* a) const { CertFreeCertificateContext(a); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertDeleter>;
struct ChainDeleter {
  void operator()(const CERT_CHAIN_CONTEXT* a) const { CertFreeCertificateChain(a); }
};

// The certificates of a PEM file in a memory store; an unreadable file or one without
// certificate is an error (trusting less or more silently would be worse).
Store LoadPemFile(const std::string& aPath, std::string& aError) {
  std::string text;
  if (FILE* file = _wfopen(Wide(aPath).c_str(), L"rb")) {
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fclose(file);
  } else {
    aError = "Cannot read the CA file " + aPath;
    return nullptr;
  }
  Store store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
  if (!store) {
    aError = "Cannot create a certificate store";
    return nullptr;
  }
  static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  int added = 0;
  for (size_t at = text.find(kBegin); at != std::string::npos; at = text.find(kBegin, at)) {
    const size_t end = text.find(kEnd, at);
    if (end == std::string::npos) break;
    const std::string block = text.substr(at, end + kEnd.size() - at);
    at = end + kEnd.size();
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                              &size, nullptr, nullptr))
      continue;
    std::string der(size, '\0');
    if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                              reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr))
      continue;
    if (!CertAddEncodedCertificateToStore(static_cast<HCERTSTORE>(store.get()), X509_ASN_ENCODING,
                                          reinterpret_cast<const BYTE*>(der.data()), size, CERT_STORE_ADD_ALWAYS,
                                          nullptr)) {
      aError = "Cannot add a certificate of the CA file " + aPath;
      return nullptr;
    }
    ++added;
  }
  if (added == 0) {
    aError = "No PEM certificate in the CA file " + aPath;
    return nullptr;
  }
  return store;
}

bool StoreHolds(HCERTSTORE aStore, const CERT_CONTEXT* aCertificate) {
  const CERT_CONTEXT* found =
      CertFindCertificateInStore(aStore, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, aCertificate, nullptr);
  if (found == nullptr) return false;
  CertFreeCertificateContext(found);
  return true;
}

// The address of an IP literal host name ("127.0.0.1", "[::1]"), empty for a DNS name.
std::string IpAddressOf(const std::wstring& aHost) {
  std::wstring host = aHost;
  if (host.size() > 2 && host.front() == L'[' && host.back() == L']') host = host.substr(1, host.size() - 2);
  in_addr v4{};
  if (InetPtonW(AF_INET, host.c_str(), &v4) == 1) return std::string(reinterpret_cast<const char*>(&v4), sizeof v4);
  in6_addr v6{};
  if (InetPtonW(AF_INET6, host.c_str(), &v6) == 1) return std::string(reinterpret_cast<const char*>(&v6), sizeof v6);
  return std::string();
}

// Whether the certificate's subject alternative names hold the IP address aAddress.
bool NamesAddress(const CERT_CONTEXT* aCertificate, const std::string& aAddress) {
  const CERT_INFO* info = aCertificate->pCertInfo;
  const CERT_EXTENSION* extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
    return false;
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
            std::string(reinterpret_cast<const char*>(entry.IPAddress.pbData), entry.IPAddress.cbData) == aAddress;
  }
  LocalFree(names);
  return found;
}

// Whether aServer chains to the system's roots or to a certificate of aTrusted, and
// names aHost. Empty when it does, else why not (in the Linux build's words). An IP
// literal is matched against the certificate's IP addresses here (the system's SSL
// policy compares names only on some systems).
std::string CheckServer(const CERT_CONTEXT* aServer, HCERTSTORE aTrusted, const std::wstring& aHost) {
  // The chain may use the server's intermediates and the file's certificates.
  Store pool(CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
  if (!pool) return "Cannot create a certificate store";
  if (aServer->hCertStore) CertAddStoreToCollection(static_cast<HCERTSTORE>(pool.get()), aServer->hCertStore, 0, 0);
  CertAddStoreToCollection(static_cast<HCERTSTORE>(pool.get()), aTrusted, 0, 0);

  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  const CERT_CHAIN_CONTEXT* raw = nullptr;
  if (!CertGetCertificateChain(nullptr, aServer, nullptr, static_cast<HCERTSTORE>(pool.get()), &para, 0, nullptr, &raw))
    return "SSL certificate problem: unable to get local issuer certificate";
  std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainDeleter> chain(raw);
  if (chain->cChain == 0 || chain->rgpChain[0]->cElement == 0)
    return "SSL certificate problem: unable to get local issuer certificate";

  // A root the system does not trust is accepted when the file holds it.
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  const CERT_CONTEXT* root = simple->rgpElement[simple->cElement - 1]->pCertContext;
  const DWORD status = chain->TrustStatus.dwErrorStatus;
  const bool rootFromFile = (status & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0 && StoreHolds(aTrusted, root);
  if ((status & CERT_TRUST_IS_PARTIAL_CHAIN) != 0 ||
      ((status & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0 && !rootFromFile))
    return "SSL certificate problem: unable to get local issuer certificate";

  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  const std::string address = IpAddressOf(aHost);
  if (!address.empty() && !NamesAddress(aServer, address))
    return "SSL: no alternative certificate subject name matches target host name '" + Narrow(aHost) + "'";
  ssl.fdwChecks = (rootFromFile ? SECURITY_FLAG_IGNORE_UNKNOWN_CA : 0) |
                  (address.empty() ? 0 : SECURITY_FLAG_IGNORE_CERT_CN_INVALID);
  ssl.pwszServerName = address.empty() ? const_cast<wchar_t*>(aHost.c_str()) : nullptr;
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS verdict{};
  verdict.cbSize = sizeof verdict;
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &verdict))
    return "SSL certificate problem: the chain could not be checked";
  switch (static_cast<DWORD>(verdict.dwError)) {
    case 0:
      return std::string();
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return "SSL: no alternative certificate subject name matches target host name '" + Narrow(aHost) + "'";
    case static_cast<DWORD>(CERT_E_EXPIRED):
      return "SSL certificate problem: certificate has expired";
    default:
      return "SSL certificate problem: unable to get local issuer certificate";
  }
}

// Shuts the socket of aRequest's connection (found by its two addresses), so that
// nothing more can leave on it whatever WinHTTP does after a cancelled request.
void ShutConnection(HINTERNET aRequest) {
  WINHTTP_CONNECTION_INFO info{};
  info.cbSize = sizeof info;
  DWORD size = sizeof info;
  if (!WinHttpQueryOption(aRequest, WINHTTP_OPTION_CONNECTION_INFO, &info, &size)) return;
  auto same = [](const sockaddr_storage& a, const sockaddr_storage& b, int aLength) {
    return std::memcmp(&a, &b, static_cast<size_t>(aLength)) == 0;
  };
  for (uintptr_t value = 4; value < 0x10000; value += 4) {
    const SOCKET s = static_cast<SOCKET>(value);
    sockaddr_storage local{}, remote{};
    int localLength = sizeof local, remoteLength = sizeof remote;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) continue;
    if (getpeername(s, reinterpret_cast<sockaddr*>(&remote), &remoteLength) != 0) continue;
    if (same(local, info.LocalAddress, localLength) && same(remote, info.RemoteAddress, remoteLength)) {
      shutdown(s, SD_BOTH);
      return;
    }
  }
}

int64_t ParseLength(const std::wstring& aText) {
  if (aText.empty()) return -1;
  int64_t value = 0;
  for (wchar_t c : aText) {
    if (c < L'0' || c > L'9') return -1;
    value = value * 10 + (c - L'0');
  }
  return value;
}

bool HasServerCertificate(HINTERNET aRequest) {
  const CERT_CONTEXT* raw = nullptr;
  DWORD size = sizeof raw;
  if (!WinHttpQueryOption(aRequest, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size) || raw == nullptr) return false;
  CertFreeCertificateContext(raw);
  return true;
}

// The strongest scheme of those a challenge offers.
DWORD StrongestScheme(DWORD aSupported) {
  for (DWORD scheme :
       {WINHTTP_AUTH_SCHEME_NEGOTIATE, WINHTTP_AUTH_SCHEME_NTLM, WINHTTP_AUTH_SCHEME_DIGEST, WINHTTP_AUTH_SCHEME_BASIC})
    if ((aSupported & scheme) != 0) return scheme;
  return 0;
}

// The proxy for https in a WinHTTP proxy list ("host:port", "https=host:port;http=...").
std::string HttpsProxyOf(const std::wstring& aList) {
  std::string list = Narrow(aList);
  for (size_t start = 0; start < list.size();) {
    const size_t end = std::min(list.find_first_of("; ", start), list.size());
    const std::string entry = list.substr(start, end - start);
    const size_t equals = entry.find('=');
    if (equals == std::string::npos || entry.compare(0, equals, "https") == 0) {
      std::string proxy = equals == std::string::npos ? entry : entry.substr(equals + 1);
      if (const size_t scheme = proxy.find("://"); scheme != std::string::npos) proxy.erase(0, scheme + 3);
      return proxy;
    }
    start = end + 1;
  }
  return std::string();
}

struct SocketCloser {
  SOCKET Socket = INVALID_SOCKET;
  ~SocketCloser() {
    if (Socket != INVALID_SOCKET) closesocket(Socket);
  }
};

// Winsock for the time of one use (the system counts the users).
struct WinsockUse {
  bool Started = false;
  WinsockUse() {
    WSADATA data;
    Started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockUse() {
    if (Started) WSACleanup();
  }
  WinsockUse(const WinsockUse&) = delete;
  WinsockUse& operator=(const WinsockUse&) = delete;
};

// What a proxy says to a tunnel request, asked over a connection of its own: whether
// it could be reached, and its status line. The tunnel is closed unused. No
// credentials go with the question: a proxy that takes only NTLM or Negotiate must
// not see the password in clear text.
struct ProxyAnswer {
  bool Reached = false;
  int32_t Status = 0;
  std::string Reason;
  std::string Failure;  // why it could not be reached, in the Linux build's words
};

ProxyAnswer AskProxyForTunnel(const std::string& aProxy, const std::string& aTarget, int aTimeoutMs) {
  ProxyAnswer answer;
  const WinsockUse winsock;
  const auto start = std::chrono::steady_clock::now();
  const size_t colon = aProxy.rfind(':');
  std::string host = aProxy.substr(0, colon);
  const std::string port = colon == std::string::npos ? std::string("80") : aProxy.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
    answer.Failure = "Could not resolve proxy: " + host;
    return answer;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, &freeaddrinfo);
  SocketCloser connection;
  for (const addrinfo* address = found; address != nullptr && connection.Socket == INVALID_SOCKET;
       address = address->ai_next) {
    SocketCloser attempt{socket(address->ai_family, address->ai_socktype, address->ai_protocol)};
    if (attempt.Socket == INVALID_SOCKET) continue;
    u_long nonBlocking = 1;
    ioctlsocket(attempt.Socket, FIONBIO, &nonBlocking);
    if (connect(attempt.Socket, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK)
      continue;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(attempt.Socket, &writable);
    FD_SET(attempt.Socket, &failed);
    timeval wait{aTimeoutMs / 1000, (aTimeoutMs % 1000) * 1000};
    if (select(0, nullptr, &writable, &failed, &wait) != 1 || !FD_ISSET(attempt.Socket, &writable)) continue;
    nonBlocking = 0;
    ioctlsocket(attempt.Socket, FIONBIO, &nonBlocking);
    std::swap(connection.Socket, attempt.Socket);
  }
  if (connection.Socket == INVALID_SOCKET) {
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    answer.Failure = "Failed to connect to " + host + " port " + port + " after " + std::to_string(spent.count()) +
                     " ms: Couldn't connect to server";
    return answer;
  }
  answer.Reached = true;
  const DWORD timeout = static_cast<DWORD>(aTimeoutMs);
  setsockopt(connection.Socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  const std::string ask = "CONNECT " + aTarget + " HTTP/1.1\r\nHost: " + aTarget + "\r\n\r\n";
  if (send(connection.Socket, ask.data(), static_cast<int>(ask.size()), 0) != static_cast<int>(ask.size()))
    return answer;
  std::string line;
  char c = 0;
  while (line.size() < 1024 && recv(connection.Socket, &c, 1, 0) == 1 && c != '\n') line += c;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  // "HTTP/1.1 407 Proxy Authentication Required"
  const size_t code = line.find(' ');
  if (!line.starts_with("HTTP/") || code == std::string::npos) return answer;
  answer.Status = std::atoi(line.c_str() + code + 1);
  const size_t reason = line.find(' ', code + 1);
  if (reason != std::string::npos) answer.Reason = line.substr(reason + 1);
  return answer;
}

}  // namespace

#ifdef ZV_WINHTTP_TEST_SEAM
// The WinHTTP transfer test puts a stand-in here for a system that refuses the status
// callback, or takes it and never calls it.
decltype(&WinHttpSetStatusCallback) gSetStatusCallback = &WinHttpSetStatusCallback;
#endif

namespace {

bool InstallStatusCallback(HINTERNET aRequest, WINHTTP_STATUS_CALLBACK aCallback, DWORD aNotifications) {
#ifdef ZV_WINHTTP_TEST_SEAM
  return gSetStatusCallback(aRequest, aCallback, aNotifications, 0) != WINHTTP_INVALID_STATUS_CALLBACK;
#else
  return WinHttpSetStatusCallback(aRequest, aCallback, aNotifications, 0) != WINHTTP_INVALID_STATUS_CALLBACK;
#endif
}

// How a session reaches servers: WinHttpOpen's access type and proxy list, and the
// proxy as failure texts name it.
struct Route {
  DWORD Access = WINHTTP_ACCESS_TYPE_NO_PROXY;
  std::wstring Proxy;
  std::wstring Bypass;
  std::string Name;     // "host:port" of the proxy for https; empty: none, or one that cannot be named
  bool Always = false;  // every exchange goes through that proxy (no bypass list)
};

// The system's choice, as Windows programs make it: the user's own proxy (Settings,
// Internet Options) when one is entered there without automatic configuration; else
// WinHTTP's automatic proxy (Windows 8.1 and later), which also follows automatic
// configuration; else WinHTTP's own setting (netsh winhttp).
Route SystemRoute() {
  Route route;
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
  if (WinHttpGetIEProxyConfigForCurrentUser(&user)) {
    const bool automatic = user.fAutoDetect || user.lpszAutoConfigUrl != nullptr;
    if (!automatic && user.lpszProxy != nullptr && *user.lpszProxy != L'\0') {
      route.Access = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
      route.Proxy = user.lpszProxy;
      if (user.lpszProxyBypass != nullptr) route.Bypass = user.lpszProxyBypass;
      route.Name = HttpsProxyOf(route.Proxy);
      route.Always = route.Bypass.empty();
    }
    for (wchar_t* text : {user.lpszAutoConfigUrl, user.lpszProxy, user.lpszProxyBypass})
      if (text != nullptr) GlobalFree(text);
    if (route.Access == WINHTTP_ACCESS_TYPE_NAMED_PROXY) return route;
  }
  route.Access = WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY;
  return route;
}

// The proxy of WinHTTP's own setting, for failure texts.
std::string DefaultProxyName(bool& aAlways) {
  WINHTTP_PROXY_INFO info{};
  aAlways = false;
  if (!WinHttpGetDefaultProxyConfiguration(&info)) return std::string();
  std::string name;
  if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy != nullptr) {
    name = HttpsProxyOf(info.lpszProxy);
    aAlways = info.lpszProxyBypass == nullptr || *info.lpszProxyBypass == L'\0';
  }
  if (info.lpszProxy != nullptr) GlobalFree(info.lpszProxy);
  if (info.lpszProxyBypass != nullptr) GlobalFree(info.lpszProxyBypass);
  return name;
}

// TLS 1.2 and 1.3, or 1.2 alone where the system knows no 1.3: the protocols set, or 0
// when neither can be required.
DWORD RequireModernTls(HINTERNET aSession) {
  for (DWORD protocols : {static_cast<DWORD>(WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3),
                          static_cast<DWORD>(WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2)})
    if (WinHttpSetOption(aSession, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) return protocols;
  return 0;
}

// Whether a failure before the request left may be the TLS handshake's (and not a
// certificate's, whose findings the callback reported).
bool HandshakeFailure(DWORD aError, DWORD aSecureFailure) {
  constexpr DWORD kCertificateFindings = ~static_cast<DWORD>(WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR);
  switch (aError) {
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case WSAECONNRESET:
    case WSAECONNABORTED: return true;
    case ERROR_WINHTTP_SECURE_FAILURE: return (aSecureFailure & kCertificateFindings) == 0;
    default: return false;
  }
}

}  // namespace

struct HttpTransfer::Impl {
  explicit Impl(Mode aMode) : fMode(aMode) {}

  // What the status callback of one exchange sees and decides.
  struct Exchange {
    std::wstring Host;
    HCERTSTORE Trusted = nullptr;  // for our own check of the server; null: WinHTTP's check alone
    bool Sending = false;          // the request is about to leave or has left
    bool Checked = false;          // our own check ran and the server passed it
    bool Rejected = false;         // the server failed our check: the request was cancelled
    bool RequestClosed = false;    // the request handle was closed by the callback
    bool Probe = false;            // a handshake alone: cancelled before anything is sent
    Certificate ProbedServer;      // the certificate a probe's handshake showed
    std::string RejectText;
    DWORD SecureFailure = 0;       // WinHTTP's own certificate findings
  };

  // Closes the request from its callback, before anything is sent: nothing more can
  // leave on its connection whatever WinHTTP does next.
  static void Cancel(HINTERNET aRequest, Exchange& aExchange) {
    ShutConnection(aRequest);
    WinHttpSetStatusCallback(aRequest, nullptr, 0, 0);
    WinHttpCloseHandle(aRequest);
    aExchange.RequestClosed = true;
  }

  static void CALLBACK OnStatus(HINTERNET aRequest, DWORD_PTR aContext, DWORD aStatus, void* aInfo, DWORD aLength) {
    auto* exchange = reinterpret_cast<Exchange*>(aContext);
    if (exchange == nullptr) return;
    if (aStatus == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && aInfo != nullptr && aLength >= sizeof(DWORD)) {
      exchange->SecureFailure = *static_cast<DWORD*>(aInfo);
      return;
    }
    if (aStatus != WINHTTP_CALLBACK_STATUS_SENDING_REQUEST || exchange->RequestClosed) return;
    exchange->Sending = true;
    if (exchange->Probe) {
      const CERT_CONTEXT* server = nullptr;
      DWORD size = sizeof server;
      if (WinHttpQueryOption(aRequest, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &server, &size))
        exchange->ProbedServer.reset(server);
      return Cancel(aRequest, *exchange);
    }
    if (exchange->Trusted == nullptr || exchange->Rejected) return;
    const CERT_CONTEXT* raw = nullptr;
    DWORD size = sizeof raw;
    std::string why;
    if (!WinHttpQueryOption(aRequest, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size) || raw == nullptr) {
      why = "SSL certificate problem: the server's certificate cannot be read";
    } else {
      Certificate server(raw);
      why = CheckServer(server.get(), exchange->Trusted, exchange->Host);
    }
    if (why.empty()) {
      exchange->Checked = true;
      return;
    }
    exchange->Rejected = true;
    exchange->RejectText = why;
    Cancel(aRequest, *exchange);
  }

  // The URL of one exchange, taken apart.
  struct Target {
    bool Secure = false;
    std::wstring Host;
    INTERNET_PORT Port = 0;
    std::wstring Path;
  };

  // A session of aRoute, with aProtocols for TLS (0: the system's), or none.
  InternetHandle OpenSession(const Route& aRoute, DWORD aProtocols) const {
    const std::wstring agent = Wide(fSettings.UserAgent);
    const wchar_t* agentText = agent.empty() ? nullptr : agent.c_str();
    InternetHandle session(WinHttpOpen(agentText, aRoute.Access,
                                       aRoute.Proxy.empty() ? WINHTTP_NO_PROXY_NAME : aRoute.Proxy.c_str(),
                                       aRoute.Bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : aRoute.Bypass.c_str(), 0));
    if (session.Handle != nullptr && aProtocols != 0 &&
        !WinHttpSetOption(session.Handle, WINHTTP_OPTION_SECURE_PROTOCOLS, &aProtocols, sizeof aProtocols))
      session.Reset();
    return session;
  }

  // Whether the settings give credentials for the proxy the exchanges go through.
  bool HasProxyCredentials() const {
    return fMode == Mode::Https && fSettings.Proxy == Settings::ProxyRoute::Named && !fSettings.ProxyUser.empty();
  }

  // The way of this transfer's exchanges: none for the plain mode, else the settings'.
  Route ChooseRoute() const {
    Route route;
    if (fMode == Mode::PlainHttp) return route;
    switch (fSettings.Proxy) {
      case Settings::ProxyRoute::Direct: break;
      case Settings::ProxyRoute::Named:
        route.Access = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        route.Proxy = Wide(fSettings.ProxyHost);
        route.Name = fSettings.ProxyHost;
        route.Always = true;
        break;
      case Settings::ProxyRoute::System: route = SystemRoute(); break;
    }
    return route;
  }

  // Opens the session of the exchanges when there is none; false when WinHTTP gives
  // none.
  bool EnsureSession() {
    if (fSession.Handle != nullptr) return true;
    fRoute = ChooseRoute();
    fSession = OpenSession(fRoute, 0);
    if (fSession.Handle == nullptr && fRoute.Access == WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY) {
      // Before Windows 8.1: WinHTTP's own setting, whose proxy can be named.
      fRoute.Access = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
      fRoute.Name = DefaultProxyName(fRoute.Always);
      fSession = OpenSession(fRoute, 0);
    }
    if (fSession.Handle == nullptr) return false;
    // Whatever the system allows: older versions are broken.
    fModernTls = fMode == Mode::Https ? RequireModernTls(fSession.Handle) : 0;
    return true;
  }

  HttpTransfer::Result Perform(const Request& aRequest) {
    Result result(fSettings.MaxBodyBytes);
    auto fail = [&result](int32_t aCode, const std::string& aText) -> Result& {
      result.FailureCode = aCode;
      result.FailureText = FromUtf8(aText);
      return result;
    };
    fOpen = false;
    fStart = std::chrono::steady_clock::now();

    Target target;
    if (const std::string refused = Parse(aRequest.Url, target); !refused.empty())
      return fail(refused.starts_with("Protocol") ? kHttpUnsupportedProtocol : 3, refused);

    // Our own check of the server, when WinHTTP's cannot do it: against the CA file's
    // certificates too, or for an IP address (which the system's SSL policy compares
    // with the certificate's names only on some systems). Every request is checked
    // before it leaves, also on a connection WinHTTP reuses from an exchange that
    // trusted more.
    const bool ownCheck =
        target.Secure && fSettings.TlsVerify && (!fSettings.TlsCaFile.empty() || !IpAddressOf(target.Host).empty());
    Store trusted;
    if (ownCheck) {
      std::string error;
      if (fSettings.TlsCaFile.empty())
        trusted.reset(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
      else
        trusted = LoadPemFile(fSettings.TlsCaFile, error);
      if (!trusted) return fail(kHttpCaFileUnusable, error.empty() ? "Cannot create a certificate store" : error);
    }

    if (!EnsureSession()) return fail(kHttpOutOfMemory, "Out of memory");
    if (target.Secure && !fModernTls)
      return fail(kHttpTlsConnectError, "TLS 1.2 or later cannot be required on this system");
    // No limit is a very long one; the read time-out bounds every wait for a byte.
    constexpr int kForever = 0x7FFFFFFF;
    const int connect = fSettings.ConnectTimeoutMs > 0 ? fSettings.ConnectTimeoutMs : 300000;
    const int read = fSettings.ReadTimeoutMs > 0 ? fSettings.ReadTimeoutMs : kForever;
    WinHttpSetTimeouts(fSession.Handle, 0, connect, read, read);

    InternetHandle connection(WinHttpConnect(fSession.Handle, target.Host.c_str(), target.Port, 0));
    if (connection.Handle == nullptr) return fail(kHttpCouldNotConnect, "Cannot open a connection");
    InternetHandle request(WinHttpOpenRequest(connection.Handle, aRequest.Body ? L"POST" : L"GET", target.Path.c_str(),
                                              nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              target.Secure ? WINHTTP_FLAG_SECURE : 0));
    if (request.Handle == nullptr) return fail(kHttpOutOfMemory, "Out of memory");

    // The wait for the answer's headers is bounded by the read time-out as well.
    DWORD responseTimeout = static_cast<DWORD>(read);
    WinHttpSetOption(request.Handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout, sizeof responseTimeout);
    DWORD option = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(request.Handle, WINHTTP_OPTION_REDIRECT_POLICY, &option, sizeof option);
    // An Https transfer's connection serves one request only, as on Linux: a POST is
    // never resent by the transport on a connection the server may have closed.
    option = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS | (fMode == Mode::Https ? WINHTTP_DISABLE_KEEP_ALIVE : 0);
    WinHttpSetOption(request.Handle, WINHTTP_OPTION_DISABLE_FEATURE, &option, sizeof option);
    if (target.Secure) {
      DWORD flags = 0;
      if (!fSettings.TlsVerify)
        flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
      if (ownCheck && !fSettings.TlsCaFile.empty())
        flags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;  // our own check accepts the file's roots
      if (ownCheck && !IpAddressOf(target.Host).empty())
        flags |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;  // our own check compares the address
      if (flags != 0) WinHttpSetOption(request.Handle, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
    }

    Exchange exchange;
    exchange.Host = target.Host;
    exchange.Trusted = static_cast<HCERTSTORE>(trusted.get());
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&exchange);
    WinHttpSetOption(request.Handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
    // Without the callback our own check cannot run: nothing is sent then. WinHTTP's
    // check needs none; the callback only words its findings.
    if (!InstallStatusCallback(request.Handle, &OnStatus,
                               WINHTTP_CALLBACK_FLAG_SEND_REQUEST | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE) &&
        ownCheck)
      return fail(kHttpPeerFailedVerification,
                  "SSL certificate problem: the server's certificate cannot be checked (no status callback)");

    std::wstring headers;
    auto header = [&headers](const std::string& aName, const std::string& aValue) {
      headers += Wide(aName) + L": " + Wide(aValue) + L"\r\n";
    };
    if (!aRequest.ContentType.empty()) header("Content-Type", aRequest.ContentType);
    if (fSettings.Authentication == Auth::Bearer) header("Authorization", "Bearer " + fSettings.Bearer);
    for (const auto& [name, value] : aRequest.Fields) header(name, value);

    const std::wstring user = Wide(fSettings.User), password = Wide(fSettings.Password);
    if (fSettings.Authentication == Auth::Basic)
      WinHttpSetCredentials(request.Handle, WINHTTP_AUTH_TARGET_SERVER, WINHTTP_AUTH_SCHEME_BASIC, user.c_str(),
                            password.c_str(), nullptr);
    const bool proxyCredentials = HasProxyCredentials();

    const DWORD bodySize = aRequest.Body ? static_cast<DWORD>(aRequest.Body->size()) : 0;
    void* body = aRequest.Body && bodySize > 0 ? const_cast<char*>(aRequest.Body->data()) : WINHTTP_NO_REQUEST_DATA;
    bool received = false;
    // A challenge is answered once, by the same request with the credentials: the
    // proxy's (407) with the parameter's, the server's digest (401) with the settings'.
    bool proxyAnswered = false, serverAnswered = false;
    for (;;) {
      received = WinHttpSendRequest(request.Handle, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                                    static_cast<DWORD>(headers.size()), body, bodySize, bodySize, 0) &&
                 WinHttpReceiveResponse(request.Handle, nullptr);
      if (!received) break;
      const int32_t status = QueryStatus(request.Handle);
      DWORD supported = 0, first = 0, challenger = 0;
      if ((status != 401 && status != 407) || !WinHttpQueryAuthSchemes(request.Handle, &supported, &first, &challenger))
        break;
      if (challenger == WINHTTP_AUTH_TARGET_PROXY && proxyCredentials && !proxyAnswered) {
        proxyAnswered = true;
        WinHttpSetCredentials(request.Handle, WINHTTP_AUTH_TARGET_PROXY, StrongestScheme(supported),
                              Wide(fSettings.ProxyUser).c_str(), Wide(fSettings.ProxyPassword).c_str(), nullptr);
      } else if (challenger == WINHTTP_AUTH_TARGET_SERVER && fSettings.Authentication == Auth::Digest &&
                 !serverAnswered && (supported & WINHTTP_AUTH_SCHEME_DIGEST) != 0) {
        serverAnswered = true;
        WinHttpSetCredentials(request.Handle, challenger, WINHTTP_AUTH_SCHEME_DIGEST, user.c_str(), password.c_str(),
                              nullptr);
      } else {
        break;
      }
    }
    if (exchange.RequestClosed) (void)request.Release();  // already closed by the callback
    if (exchange.Rejected) return fail(kHttpPeerFailedVerification, exchange.RejectText);
    if (!received) {
      const DWORD error = GetLastError();
      if (!exchange.Sending && ExplainRefusal(error, exchange, trusted, target, result)) return result;
      return Failure(result, error, exchange, target.Host, target.Port);
    }
    // Over https, an answer without the server's certificate came before any TLS with
    // the server: the proxy's answer to the tunnel request.
    if (target.Secure && !HasServerCertificate(request.Handle)) {
      result.FailureCode = kHttpRecvError;
      result.FailureText = FromUtf8("CONNECT tunnel failed, response " + std::to_string(QueryStatus(request.Handle)));
      result.ProxyFailed = true;
      result.ProxyName = fRoute.Name;
      result.ProxyStatus = QueryStatus(request.Handle);
      result.ProxyReason = Narrow(QueryText(request.Handle, WINHTTP_QUERY_STATUS_TEXT));
      return result;
    }
    // The request left, but our check of its server never ran: its answer is not
    // taken, and whether the server acted on it is unknown.
    if (ownCheck && !exchange.Checked) {
      result.RequestSent = true;
      return fail(kHttpPeerFailedVerification, "SSL certificate problem: the server's certificate was not checked");
    }

    result.Answered = true;
    result.RequestSent = true;
    result.Status = QueryStatus(request.Handle);
    result.Reason = Narrow(QueryText(request.Handle, WINHTTP_QUERY_STATUS_TEXT));
    std::string version = Narrow(QueryText(request.Handle, WINHTTP_QUERY_VERSION));
    if (version.empty()) version = "HTTP/1.1";
    result.StatusLine = version + " " + std::to_string(result.Status) + (result.Reason.empty() ? "" : " " + result.Reason);
    const int64_t announced = ParseLength(QueryText(request.Handle, WINHTTP_QUERY_CONTENT_LENGTH));

    int64_t got = 0;
    char buffer[16384];
    for (;;) {
      DWORD n = 0;
      if (!WinHttpReadData(request.Handle, buffer, sizeof buffer, &n)) {
        const DWORD error = GetLastError();
        if (error == ERROR_WINHTTP_TIMEOUT || error == WSAETIMEDOUT) {
          result.FailureCode = kHttpTimedOut;
          result.ReadTimedOut = true;
          return result;
        }
        return fail(kHttpRecvError, "Recv failure: Connection reset by peer");
      }
      if (n == 0) break;
      got += n;
      if (!result.Body.Append(std::string_view(buffer, n), announced)) {
        result.FailureCode = kHttpWriteError;
        result.FailureText = result.Body.FailureText();
        return result;
      }
    }
    if (announced >= 0 && got < announced)
      return fail(18, "transfer closed with " + std::to_string(announced - got) + " bytes remaining to read");
    result.ContentType = Narrow(QueryText(request.Handle, WINHTTP_QUERY_CONTENT_TYPE));
    fOpen = fMode == Mode::PlainHttp && !EqualsIgnoringCase(QueryText(request.Handle, WINHTTP_QUERY_CONNECTION), L"close");
    return result;
  }

  // The URL: a missing scheme is the mode's own; only http and https are spoken, and
  // the plain mode speaks http alone. Empty when it can be used, else why not.
  std::string Parse(const std::string& aUrl, Target& aTarget) const {
    std::string url = aUrl;
    const size_t schemeEnd = url.find("://");
    std::string scheme = schemeEnd == std::string::npos ? std::string() : url.substr(0, schemeEnd);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    if (schemeEnd == std::string::npos) {
      scheme = fMode == Mode::Https ? "https" : "http";
      url = scheme + "://" + url;
    }
    if (scheme != "http" && !(scheme == "https" && fMode == Mode::Https))
      return "Protocol \"" + scheme + "\" not supported or disabled in libcurl";
    aTarget.Secure = scheme == "https";

    const std::wstring wideUrl = Wide(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wideUrl.c_str(), static_cast<DWORD>(wideUrl.size()), 0, &parts) || parts.dwHostNameLength == 0)
      return "URL rejected: Malformed input to a URL function";
    aTarget.Host.assign(parts.lpszHostName, parts.dwHostNameLength);
    aTarget.Port = parts.nPort;
    aTarget.Path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo != nullptr) aTarget.Path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (aTarget.Path.empty()) aTarget.Path = L"/";
    return std::string();
  }

  // A failure before the request left that the proxy, the server's certificate or
  // its TLS version caused, where WinHTTP tells only "cannot connect" or "secure
  // channel error" (Wine says the latter of a certificate it refuses): the proxy is
  // asked itself what it says to the tunnel, and the server whether it completes a
  // handshake with the versions required (then its certificate was refused) or with an
  // older one. True when the result says so.
  bool ExplainRefusal(DWORD aError, const Exchange& aExchange, const Store& aTrusted, const Target& aTarget,
                      Result& aResult) {
    const std::string server = Narrow(aTarget.Host) + ":" + std::to_string(aTarget.Port);
    if (fRoute.Always && !fRoute.Name.empty() && aTarget.Secure && aError != ERROR_WINHTTP_TIMEOUT) {
      const int waitMs = fSettings.ConnectTimeoutMs > 0 ? fSettings.ConnectTimeoutMs : 30000;
      const ProxyAnswer proxy = AskProxyForTunnel(fRoute.Name, server, waitMs);
      // Asked without credentials, a proxy that wants them says nothing about ours.
      const bool ownCredentialsUnasked = (proxy.Status == 407 || proxy.Status == 401) && HasProxyCredentials();
      if ((!proxy.Reached || proxy.Status < 200 || proxy.Status > 299) && !ownCredentialsUnasked) {
        aResult.ProxyFailed = proxy.Status != 0 || !proxy.Reached;
        if (aResult.ProxyFailed) {
          aResult.FailureCode = proxy.Reached ? kHttpRecvError : kHttpCouldNotConnect;
          aResult.FailureText = FromUtf8(
              proxy.Reached ? "CONNECT tunnel failed, response " + std::to_string(proxy.Status) : proxy.Failure);
          aResult.ProxyName = fRoute.Name;
          aResult.ProxyStatus = proxy.Status;
          aResult.ProxyReason = proxy.Reason;
          return true;
        }
      }
    }
    if (!aTarget.Secure || !HandshakeFailure(aError, aExchange.SecureFailure)) return false;
    Certificate certificate;
    if (fSettings.TlsVerify && CompletesHandshake(aTarget, fModernTls, &certificate)) {
      Store none(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
      const std::string why =
          certificate ? CheckServer(certificate.get(), static_cast<HCERTSTORE>(aTrusted ? aTrusted.get() : none.get()),
                                    aTarget.Host)
                      : std::string();
      aResult.FailureCode = kHttpPeerFailedVerification;
      aResult.FailureText =
          FromUtf8(why.empty() ? "SSL certificate problem: the system does not trust the server" : why);
      return true;
    }
    for (const auto& [protocol, name] : {std::pair{WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1, "TLS 1.1"},
                                         std::pair{WINHTTP_FLAG_SECURE_PROTOCOL_TLS1, "TLS 1.0"}}) {
      if (!CompletesHandshake(aTarget, static_cast<DWORD>(protocol))) continue;
      aResult.FailureCode = kHttpTlsConnectError;
      aResult.FailureText = u"TLS connect error";
      aResult.TlsTooOld = true;
      aResult.ServerTls = name;
      return true;
    }
    return false;
  }

  // Whether the server completes a handshake with aProtocols alone, through this
  // transfer's route. The probe is cancelled when its request is about to leave:
  // nothing is sent over it, so the certificate does not matter.
  bool CompletesHandshake(const Target& aTarget, DWORD aProtocols, Certificate* aServer = nullptr) const {
    InternetHandle session = OpenSession(fRoute, aProtocols);
    if (session.Handle == nullptr) return false;
    const int connect = fSettings.ConnectTimeoutMs > 0 ? fSettings.ConnectTimeoutMs : 30000;
    WinHttpSetTimeouts(session.Handle, 0, connect, connect, connect);
    InternetHandle connection(WinHttpConnect(session.Handle, aTarget.Host.c_str(), aTarget.Port, 0));
    if (connection.Handle == nullptr) return false;
    InternetHandle request(WinHttpOpenRequest(connection.Handle, L"GET", L"/", nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (request.Handle == nullptr) return false;
    DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                  SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
    WinHttpSetOption(request.Handle, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
    if (HasProxyCredentials()) {
      // WinHTTP answers the proxy's challenge with the scheme it offers.
      const std::wstring user = Wide(fSettings.ProxyUser), password = Wide(fSettings.ProxyPassword);
      WinHttpSetOption(request.Handle, WINHTTP_OPTION_PROXY_USERNAME, const_cast<wchar_t*>(user.c_str()),
                       static_cast<DWORD>(user.size()));
      WinHttpSetOption(request.Handle, WINHTTP_OPTION_PROXY_PASSWORD, const_cast<wchar_t*>(password.c_str()),
                       static_cast<DWORD>(password.size()));
    }
    Exchange exchange;
    exchange.Probe = true;
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&exchange);
    WinHttpSetOption(request.Handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
    if (!InstallStatusCallback(request.Handle, &OnStatus, WINHTTP_CALLBACK_FLAG_SEND_REQUEST)) return false;
    WinHttpSendRequest(request.Handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    if (exchange.RequestClosed) (void)request.Release();
    if (aServer != nullptr) *aServer = std::move(exchange.ProbedServer);
    return exchange.Sending;
  }

  static bool EqualsIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
             return std::towlower(x) == std::towlower(y);
           });
  }

  static int32_t QueryStatus(HINTERNET aRequest) {
    DWORD status = 0, size = sizeof status;
    if (!WinHttpQueryHeaders(aRequest, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
      return 0;
    return static_cast<int32_t>(status);
  }

  static std::wstring QueryText(HINTERNET aRequest, DWORD aWhat) {
    DWORD size = 0;
    WinHttpQueryHeaders(aRequest, aWhat, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return std::wstring();
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(aRequest, aWhat, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size, WINHTTP_NO_HEADER_INDEX))
      return std::wstring();
    text.resize(size / sizeof(wchar_t));
    return text;
  }

  // A request that got no answer, in the codes and words of the Linux build.
  Result& Failure(Result& aResult, DWORD aError, const Exchange& aExchange, const std::wstring& aHost, int aPort) {
    aResult.RequestSent = aExchange.Sending;
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - fStart);
    const std::string where = Narrow(aHost) + " port " + std::to_string(aPort) + " after " +
                              std::to_string(spent.count()) + " ms";
    auto set = [&aResult](int32_t aCode, const std::string& aText) -> Result& {
      aResult.FailureCode = aCode;
      aResult.FailureText = FromUtf8(aText);
      return aResult;
    };
    switch (aError) {
      case WSAETIMEDOUT:  // Wine's word for a receive time-out
      case ERROR_WINHTTP_TIMEOUT:
        if (aExchange.Sending) {
          aResult.FailureCode = kHttpTimedOut;
          aResult.ReadTimedOut = true;
          return aResult;
        }
        return set(kHttpTimedOut, "Connection timed out after " + std::to_string(fSettings.ConnectTimeoutMs) +
                                      " milliseconds");
      case ERROR_WINHTTP_CANNOT_CONNECT:
        return set(kHttpCouldNotConnect, "Failed to connect to " + where + ": Couldn't connect to server");
      case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        return set(kHttpCouldNotResolveHost, "Could not resolve host: " + Narrow(aHost));
      case ERROR_WINHTTP_SECURE_FAILURE:
        if (aExchange.SecureFailure & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID)
          return set(kHttpPeerFailedVerification,
                     "SSL: no alternative certificate subject name matches target host name '" + Narrow(aHost) + "'");
        if (aExchange.SecureFailure & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID)
          return set(kHttpPeerFailedVerification, "SSL certificate problem: certificate has expired");
        if (aExchange.SecureFailure != 0)
          return set(kHttpPeerFailedVerification, "SSL certificate problem: unable to get local issuer certificate");
        return set(kHttpTlsConnectError, "TLS connect error");
      case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        if (!aExchange.Sending) return set(kHttpTlsConnectError, "TLS connect error");
        return set(kHttpRecvError, "Recv failure: Connection reset by peer");
      case ERROR_WINHTTP_CONNECTION_ERROR:
      case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        if (!aExchange.Sending) return set(kHttpTlsConnectError, "TLS connect error");
        return set(kHttpGotNothing, "Empty reply from server");
      case WSAECONNRESET:
      case WSAECONNABORTED:
        if (!aExchange.Sending) return set(kHttpTlsConnectError, "TLS connect error");
        return set(kHttpRecvError, "Recv failure: Connection reset by peer");
      case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
        return set(kHttpUnsupportedProtocol, "Unsupported protocol");
      default:
        return set(aExchange.Sending ? kHttpRecvError : kHttpCouldNotConnect,
                   "WinHTTP error " + std::to_string(aError));
    }
  }

  Mode fMode;
  Settings fSettings;
  InternetHandle fSession;  // keeps the connections of earlier exchanges
  Route fRoute;             // of fSession
  DWORD fModernTls = 0;     // the TLS versions fSession requires (1.2 or later); 0: none could be
  bool fOpen = false;
  std::chrono::steady_clock::time_point fStart;  // of the exchange under way
};

HttpTransfer::HttpTransfer(Mode aMode) : fImpl(std::make_unique<Impl>(aMode)) {}
HttpTransfer::~HttpTransfer() = default;
bool HttpTransfer::Usable() const { return true; }
void HttpTransfer::Configure(const Settings& aSettings) {
  // A new user agent or proxy needs a new session.
  const Settings& before = fImpl->fSettings;
  if (aSettings.UserAgent != before.UserAgent || aSettings.Proxy != before.Proxy ||
      aSettings.ProxyHost != before.ProxyHost)
    fImpl->fSession.Reset();
  fImpl->fSettings = aSettings;
}
HttpTransfer::Result HttpTransfer::Perform(const Request& aRequest) { return fImpl->Perform(aRequest); }
bool HttpTransfer::Connected() { return fImpl->fSession.Handle != nullptr && fImpl->fOpen; }
void HttpTransfer::Close() {
  fImpl->fSession.Reset();
  fImpl->fOpen = false;
}

}  // namespace zv::platform
