// The WinHTTP transfer against real servers on 127.0.0.1 that run-winhttp-tests starts
// on the Linux side: a plain HTTP server, lorvani-sim over HTTPS (with its CA, and a
// second one whose certificate names another host), TLS peers of another CA that count
// the request bytes they receive, openssl s_server offering only TLS 1.0 or 1.1,
// tinyproxy on 127.0.0.2 (open, with basic authentication, tunnelling to port 443
// only), a closed port and a port that never speaks. Built with ZV_WINHTTP_TEST_SEAM:
// some cases stand in for a system that refuses the status callback or never calls it.
// Arguments: name=value pairs (see run-winhttp-tests). Prints one line per case and
// exits non-zero when any fails.

// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/HttpTransfer.h"

namespace zv::platform {
extern decltype(&WinHttpSetStatusCallback) gSetStatusCallback;
}

using zv::ToUtf8;
using zv::platform::HttpTransfer;
namespace p = zv::platform;

namespace {

std::map<std::string, std::string> gArgs;
int gFailures = 0;

#define CHECK(condition)                                                        \
  do {                                                                          \
    if (!(condition)) {                                                         \
      std::printf("  failed: %s (line %d)\n", #condition, __LINE__);           \
      ok = false;                                                               \
    }                                                                           \
  } while (0)

void Case(const char* aName, const std::function<bool()>& aBody) {
  const bool ok = aBody();
  std::printf("%s %s\n", ok ? "ok" : "FAIL", aName);
  std::fflush(stdout);
  if (!ok) ++gFailures;
}

void Show(const HttpTransfer::Result& r) {
  std::printf("  status=%d line='%s' failure=%d '%s' timedout=%d body=%zu refused=%d\n", r.Status,
              r.StatusLine.c_str(), r.FailureCode, ToUtf8(r.FailureText).c_str(), r.ReadTimedOut ? 1 : 0,
              r.Body.Bytes().size(), r.Body.Refused() ? 1 : 0);
}

HttpTransfer::Result Run(HttpTransfer::Mode aMode, const HttpTransfer::Settings& aSettings, const std::string& aUrl,
                         const std::string* aBody, const std::string& aContentType = std::string()) {
  HttpTransfer transfer(aMode);
  transfer.Configure(aSettings);
  HttpTransfer::Request request;
  request.Url = aUrl;
  request.Body = aBody;
  request.ContentType = aContentType;
  request.Fields = {{"X-Test", "one"}};
  HttpTransfer::Result result = transfer.Perform(request);
  Show(result);
  return result;
}

long long MsSince(std::chrono::steady_clock::time_point aStart) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - aStart).count();
}

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// How many tunnels to aTarget ("127.0.0.1:P") the tinyproxy whose log is aLog was asked for.
int TunnelsTo(const std::string& aLog, const std::string& aTarget) {
  std::ifstream in(aLog, std::ios::binary);
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string request = "CONNECT " + aTarget + " HTTP/";
  int count = 0;
  for (size_t at = log.find(request); at != std::string::npos; at = log.find(request, at + 1)) ++count;
  return count;
}

// "127.0.0.1:P" of an https://127.0.0.1:P/... URL.
std::string HostAndPort(const std::string& aUrl) {
  const size_t start = aUrl.find("://") + 3;
  return aUrl.substr(start, aUrl.find('/', start) - start);
}

// The system's proxy as a user enters it (Settings, Internet Options): the connection
// settings blob that WinHttpGetIEProxyConfigForCurrentUser reads. Empty aProxy: none.
void SetUsersProxy(const std::string& aProxy, const std::string& aBypass) {
  std::vector<BYTE> blob;
  auto word = [&blob](DWORD aValue) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&aValue);
    blob.insert(blob.end(), bytes, bytes + sizeof aValue);
  };
  auto text = [&](const std::string& aText) {
    word(static_cast<DWORD>(aText.size()));
    blob.insert(blob.end(), aText.begin(), aText.end());
  };
  word(0x46);                              // the settings' version
  word(1);                                 // a change counter
  word(aProxy.empty() ? 0x1 : 0x1 | 0x2);  // direct, and the proxy when one is given
  text(aProxy);
  text(aBypass);
  text("");  // no automatic configuration script
  for (int i = 0; i < 8; ++i) word(0);
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER,
                      L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections", 0, nullptr, 0,
                      KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
  RegCloseKey(key);
}

// Stand-ins for a system whose status callback cannot be installed, or is installed
// and never called.
WINHTTP_STATUS_CALLBACK WINAPI RefuseCallback(HINTERNET, WINHTTP_STATUS_CALLBACK, DWORD, DWORD_PTR) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return WINHTTP_INVALID_STATUS_CALLBACK;
}
WINHTTP_STATUS_CALLBACK WINAPI ForgetCallback(HINTERNET, WINHTTP_STATUS_CALLBACK, DWORD, DWORD_PTR) { return nullptr; }

// The status callback's stand-in for the time of one case.
class CallbackStandIn {
 public:
  explicit CallbackStandIn(decltype(&WinHttpSetStatusCallback) aStandIn) {
    zv::platform::gSetStatusCallback = aStandIn;
  }
  ~CallbackStandIn() { zv::platform::gSetStatusCallback = &WinHttpSetStatusCallback; }
  CallbackStandIn(const CallbackStandIn&) = delete;
  CallbackStandIn& operator=(const CallbackStandIn&) = delete;
};

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t eq = arg.find('=');
    if (eq != std::string::npos) gArgs[arg.substr(0, eq)] = arg.substr(eq + 1);
  }
  const std::string plain = gArgs["plain"];      // http://127.0.0.1:P
  const std::string sim = gArgs["sim"];          // https://127.0.0.1:P/v1/instore/
  const std::string simCa = gArgs["sim-ca"];
  const std::string other = gArgs["mismatch"];   // lorvani-sim --hostname-mismatch
  const std::string otherCa = gArgs["mismatch-ca"];
  const std::string spy = gArgs["spy"];          // TLS peer of its own CA
  const std::string spyCa = gArgs["spy-ca"];
  const std::string closed = gArgs["closed"];    // a port where nothing listens
  const std::string silent = gArgs["silent"];    // a port that accepts and never speaks
  const std::string token = gArgs["token"];
  const std::string simLocal = gArgs["sim-localhost"];  // the simulator as https://localhost:P/v1/instore/
  const std::string localSpy = gArgs["local-spy"];      // a TLS peer of another CA, as https://localhost:P
  const std::string seamSpy = gArgs["seam-spy"];        // the same kind of peer, for the refused callback
  const std::string blindSpy = gArgs["blind-spy"];      // and for the callback never called
  const std::string tls10 = gArgs["tls10"];             // openssl s_server -tls1, a certificate of spy-ca
  const std::string tls11 = gArgs["tls11"];             // openssl s_server -tls1_1
  const std::string proxy = gArgs["proxy"];             // tinyproxy, 127.0.0.2:P
  const std::string proxyLog = gArgs["proxy-log"];
  const std::string authProxy = gArgs["auth-proxy"];  // tinyproxy with basic authentication
  const std::string proxyUser = gArgs["proxy-user"];
  const std::string proxyPassword = gArgs["proxy-password"];
  const std::string strictProxy = gArgs["strict-proxy"];  // tinyproxy tunnelling to port 443 only
  const std::string deadProxy = gArgs["dead-proxy"];      // a port of 127.0.0.2 where nothing listens

  HttpTransfer::Settings plainSettings;
  plainSettings.ConnectTimeoutMs = 3000;
  plainSettings.ReadTimeoutMs = 5000;
  const std::string body = "{\"x\":1}";

  Case("plain: success with body, content type and headers", [&] {
    bool ok = true;
    auto r = Run(HttpTransfer::Mode::PlainHttp, plainSettings, plain + "/echo", &body, "application/json");
    CHECK(r.Complete());
    CHECK(r.Status == 200);
    CHECK(r.StatusLine == "HTTP/1.1 200 OK");
    CHECK(r.ContentType == "text/plain");
    CHECK(r.Body.Bytes() == "POST|application/json|one|{\"x\":1}");
    return ok;
  });
  Case("plain: an error status is an answer with its status line", [&] {
    bool ok = true;
    auto r = Run(HttpTransfer::Mode::PlainHttp, plainSettings, plain + "/missing", &body);
    CHECK(r.Answered);
    CHECK(r.Status == 404);
    CHECK(r.StatusLine == "HTTP/1.1 404 Not Found");
    CHECK(r.Body.Bytes() == "no such thing");
    return ok;
  });
  Case("plain: connection refused", [&] {
    bool ok = true;
    auto r = Run(HttpTransfer::Mode::PlainHttp, plainSettings, closed + "/", &body);
    CHECK(!r.Answered);
    CHECK(r.FailureCode == p::kHttpCouldNotConnect);
    CHECK(!r.RequestSent);
    return ok;
  });
  Case("plain: read time-out on a server that never answers", [&] {
    bool ok = true;
    HttpTransfer::Settings s = plainSettings;
    s.ReadTimeoutMs = 700;
    const auto start = std::chrono::steady_clock::now();
    auto r = Run(HttpTransfer::Mode::PlainHttp, s, plain + "/silent", &body);
    const long long elapsed = MsSince(start);
    std::printf("  elapsed %lld ms\n", elapsed);
    CHECK(!r.Answered);
    CHECK(r.FailureCode == p::kHttpTimedOut);
    CHECK(r.ReadTimedOut);
    CHECK(r.RequestSent);
    CHECK(elapsed >= 600 && elapsed < 15000);
    return ok;
  });
  Case("plain: closed without answer", [&] {
    bool ok = true;
    auto r = Run(HttpTransfer::Mode::PlainHttp, plainSettings, plain + "/close", &body);
    CHECK(!r.Answered);
    CHECK(r.FailureCode == p::kHttpGotNothing);
    CHECK(ToUtf8(r.FailureText) == "Empty reply from server");
    CHECK(r.RequestSent);
    return ok;
  });
  Case("plain: a body over the cap is refused", [&] {
    bool ok = true;
    auto r = Run(HttpTransfer::Mode::PlainHttp, plainSettings, plain + "/big", &body);
    CHECK(r.Body.Refused());
    CHECK(r.FailureCode == p::kHttpWriteError);
    CHECK(ToUtf8(r.FailureText) == ToUtf8(r.Body.FailureText()));
    CHECK(ToUtf8(r.FailureText).rfind("Answer larger than 1048576 bytes: ", 0) == 0);
    return ok;
  });
  Case("plain: a body of exactly the cap is taken", [&] {
    bool ok = true;
    auto r = Run(HttpTransfer::Mode::PlainHttp, plainSettings, plain + "/full", &body);
    CHECK(r.Complete());
    CHECK(r.Body.Bytes().size() == 1024 * 1024);
    return ok;
  });
  Case("plain: https is refused", [&] {
    bool ok = true;
    auto r = Run(HttpTransfer::Mode::PlainHttp, plainSettings, sim, &body);
    CHECK(!r.Answered);
    CHECK(r.FailureCode == p::kHttpUnsupportedProtocol);
    return ok;
  });

  HttpTransfer::Settings tls;
  tls.ConnectTimeoutMs = 5000;
  tls.ReadTimeoutMs = 10000;
  tls.Authentication = HttpTransfer::Auth::Bearer;
  tls.Bearer = token;
  tls.UserAgent = "Zorvik PXR Driver";
  tls.TlsCaFile = simCa;

  Case("https: the simulator's CA file trusted, bearer accepted", [&] {
    bool ok = true;
    auto r = Run(HttpTransfer::Mode::Https, tls, sim + "orders", &body, "application/json");
    CHECK(r.Answered);
    CHECK(r.Status != 401);
    CHECK(r.Status >= 200 && r.Status < 500);
    return ok;
  });
  Case("https: a wrong bearer gets 401 with the provider's body", [&] {
    bool ok = true;
    HttpTransfer::Settings s = tls;
    s.Bearer = "not-the-token";
    auto r = Run(HttpTransfer::Mode::Https, s, sim + "orders", &body, "application/json");
    CHECK(r.Complete());
    CHECK(r.Status == 401);
    CHECK(r.Body.Bytes().find("\"message\"") != std::string::npos);
    return ok;
  });
  Case("https: the system's store alone does not trust the simulator", [&] {
    bool ok = true;
    HttpTransfer::Settings s = tls;
    s.TlsCaFile.clear();
    auto r = Run(HttpTransfer::Mode::Https, s, sim + "orders", &body, "application/json");
    CHECK(!r.Answered);
    CHECK(r.FailureCode == p::kHttpPeerFailedVerification);
    CHECK(!r.RequestSent);
    return ok;
  });
  Case("https: verification off accepts it", [&] {
    bool ok = true;
    HttpTransfer::Settings s = tls;
    s.TlsCaFile.clear();
    s.TlsVerify = false;
    auto r = Run(HttpTransfer::Mode::Https, s, other + "orders", &body, "application/json");
    CHECK(r.Answered);
    return ok;
  });
  Case("https: another host name, its CA trusted", [&] {
    bool ok = true;
    HttpTransfer::Settings s = tls;
    s.TlsCaFile = otherCa;
    auto r = Run(HttpTransfer::Mode::Https, s, other + "orders", &body, "application/json");
    CHECK(!r.Answered);
    CHECK(r.FailureCode == p::kHttpPeerFailedVerification);
    return ok;
  });
  Case("https: a server of another CA gets no request (first spy connection)", [&] {
    bool ok = true;
    auto r = Run(HttpTransfer::Mode::Https, tls, spy + "/orders", &body, "application/json");
    CHECK(!r.Answered);
    CHECK(r.FailureCode == p::kHttpPeerFailedVerification);
    CHECK(!r.RequestSent);
    return ok;
  });
  Case("https: the same server with its own CA trusted is answered (second spy connection)", [&] {
    bool ok = true;
    HttpTransfer::Settings s = tls;
    s.TlsCaFile = spyCa;
    auto r = Run(HttpTransfer::Mode::Https, s, spy + "/orders", &body, "application/json");
    CHECK(r.Complete());
    CHECK(r.Status == 200);
    return ok;
  });
  Case("https: an unreadable CA file fails the request", [&] {
    bool ok = true;
    HttpTransfer::Settings s = tls;
    s.TlsCaFile = simCa + ".missing";
    auto r = Run(HttpTransfer::Mode::Https, s, sim + "orders", &body, "application/json");
    CHECK(r.FailureCode == p::kHttpCaFileUnusable);
    CHECK(ToUtf8(r.FailureText).find(".missing") != std::string::npos);
    return ok;
  });
  // Under Wine the TLS handshake waits without WinHTTP's time-outs: run it only where
  // the runner passes a silent peer (on Windows).
  if (!silent.empty()) Case("https: a peer that never speaks is given up", [&] {
    bool ok = true;
    HttpTransfer::Settings s = tls;
    s.ConnectTimeoutMs = 1000;
    s.ReadTimeoutMs = 2000;
    const auto start = std::chrono::steady_clock::now();
    auto r = Run(HttpTransfer::Mode::Https, s, silent + "/", &body);
    const long long elapsed = MsSince(start);
    std::printf("  elapsed %lld ms\n", elapsed);
    CHECK(!r.Answered);
    CHECK(r.FailureCode != p::kHttpOk);
    CHECK(elapsed < 15000);
    return ok;
  });

  // Without a CA file, WinHTTP checks the server itself against the system's store:
  // ignoring nothing, it refuses a server the system does not trust (a host name, not
  // an address, so that no check of ours is needed either).
  Case("https: without a CA file WinHTTP's own check refuses the simulator", [&] {
    bool ok = true;
    HttpTransfer::Settings s = tls;
    s.TlsCaFile.clear();
    auto r = Run(HttpTransfer::Mode::Https, s, simLocal + "orders", &body, "application/json");
    CHECK(!r.Answered);
    CHECK(r.FailureCode == p::kHttpPeerFailedVerification);
    CHECK(!r.RequestSent);
    return ok;
  });
  Case("https: without a CA file a server of another CA gets no request (local spy)", [&] {
    bool ok = true;
    HttpTransfer::Settings s = tls;
    s.TlsCaFile.clear();
    auto r = Run(HttpTransfer::Mode::Https, s, localSpy + "/orders", &body, "application/json");
    CHECK(!r.Answered);
    CHECK(!r.RequestSent);
    return ok;
  });
  // Our own check fails closed.
  Case("https: the status callback refused: nothing is sent, to a bad server or a good one (seam spy)", [&] {
    bool ok = true;
    CallbackStandIn standIn(&RefuseCallback);
    for (const std::string& trusted : {simCa, spyCa}) {
      HttpTransfer::Settings s = tls;
      s.TlsCaFile = trusted;
      auto r = Run(HttpTransfer::Mode::Https, s, seamSpy + "/orders", &body, "application/json");
      CHECK(!r.Answered);
      CHECK(r.FailureCode == p::kHttpPeerFailedVerification);
      CHECK(!r.RequestSent);
      CHECK(ToUtf8(r.FailureText).find("cannot be checked") != std::string::npos);
    }
    return ok;
  });
  Case("https: the status callback never called: the answer is not taken (blind spy)", [&] {
    bool ok = true;
    CallbackStandIn standIn(&ForgetCallback);
    HttpTransfer::Settings s = tls;
    s.TlsCaFile = spyCa;
    auto r = Run(HttpTransfer::Mode::Https, s, blindSpy + "/orders", &body, "application/json");
    CHECK(!r.Complete());
    CHECK(!r.Answered);
    CHECK(r.FailureCode == p::kHttpPeerFailedVerification);
    CHECK(r.RequestSent);  // it left: whether the server acted on it is unknown
    return ok;
  });

  // TLS 1.2 or later, whatever the system allows, said plainly.
  HttpTransfer::Settings oldTls = tls;
  oldTls.TlsCaFile = spyCa;
  struct OldServer {
    const char* Name;
    std::string Url;
    bool Verify;
    HttpTransfer::Settings::ProxyRoute Route;
    const char* Version;
  };
  const OldServer oldServers[] = {
      {"https: a TLS 1.0 server gets nothing", tls10, true, HttpTransfer::Settings::ProxyRoute::Direct, "TLS 1.0"},
      {"https: a TLS 1.1 server gets nothing", tls11, true, HttpTransfer::Settings::ProxyRoute::Direct, "TLS 1.1"},
      {"https: a TLS 1.0 server gets nothing with verification off", tls10, false,
       HttpTransfer::Settings::ProxyRoute::Direct, "TLS 1.0"},
      {"https: a TLS 1.0 server behind the proxy gets nothing", tls10, true, HttpTransfer::Settings::ProxyRoute::Named,
       "TLS 1.0"},
  };
  for (const OldServer& old : oldServers) {
    Case(old.Name, [&] {
      bool ok = true;
      HttpTransfer::Settings s = oldTls;
      s.TlsVerify = old.Verify;
      s.Proxy = old.Route;
      s.ProxyHost = proxy;
      auto r = Run(HttpTransfer::Mode::Https, s, old.Url + "/v1/instore/orders", &body, "application/json");
      CHECK(!r.Answered);
      CHECK(!r.RequestSent);
      CHECK(r.TlsTooOld);
      CHECK(r.ServerTls == old.Version);
      return ok;
    });
  }

  // The shop's proxy: named by the settings, or the user's system setting.
  // Through the proxy (the server reached through a tunnel the proxy logs), around it,
  // or refused by it before anything reached the server.
  enum class Way { Through, Around, Refused };
  struct ProxyCase {
    const char* Name;
    HttpTransfer::Settings::ProxyRoute Route;
    std::string Named;        // the settings' proxy
    std::string UsersProxy;   // the system's setting, as the user entered it
    std::string UsersBypass;  // and its exceptions
    Way Expected;
    int32_t ProxyStatus;  // Refused: the proxy's answer; 0 when it cannot be reached
    std::string ProxyName;
  };
  using Route = HttpTransfer::Settings::ProxyRoute;
  const ProxyCase proxyCases[] = {
      {"proxy: the order goes through the named proxy", Route::Named, proxy, "", "", Way::Through, 0, ""},
      {"proxy: it asks for credentials, none given", Route::Named, authProxy, "", "", Way::Refused, 407, authProxy},
      {"proxy: down", Route::Named, deadProxy, "", "", Way::Refused, 0, deadProxy},
      {"proxy: it refuses the tunnel", Route::Named, strictProxy, "", "", Way::Refused, 403, strictProxy},
      {"proxy: the system's, as the user entered it", Route::System, "", proxy, "", Way::Through, 0, ""},
      {"proxy: the system's, with the server in its bypass list", Route::System, "", proxy, "127.0.0.1", Way::Around, 0,
       ""},
      {"proxy: the system's is down", Route::System, "", deadProxy, "", Way::Refused, 0, deadProxy},
      {"proxy: none, around the system's", Route::Direct, "", deadProxy, "", Way::Around, 0, ""},
  };
  const std::string simServer = HostAndPort(sim);
  for (const ProxyCase& c : proxyCases) {
    Case(c.Name, [&] {
      bool ok = true;
      SetUsersProxy(c.UsersProxy, c.UsersBypass);
      HttpTransfer::Settings s = tls;
      s.Proxy = c.Route;
      s.ProxyHost = c.Named;
      const int before = TunnelsTo(proxyLog, simServer);
      auto r = Run(HttpTransfer::Mode::Https, s, sim + "orders", &body, "application/json");
      if (c.Expected == Way::Refused) {
        CHECK(!r.Answered);
        CHECK(!r.RequestSent);
        CHECK(r.ProxyFailed);
        CHECK(r.ProxyStatus == c.ProxyStatus);
        CHECK(r.ProxyName == c.ProxyName);
        if (c.ProxyStatus == 0) CHECK(ToUtf8(r.FailureText).rfind("Failed to connect to 127.0.0.2 port ", 0) == 0);
      } else {
        CHECK(r.Answered);
        CHECK(r.Status >= 200 && r.Status < 500 && r.Status != 401);
        CHECK(TunnelsTo(proxyLog, simServer) == before + (c.Expected == Way::Through ? 1 : 0));
      }
      return ok;
    });
  }
  SetUsersProxy("", "");
  Case("proxy: credentials, the right ones and wrong ones", [&] {
    bool ok = true;
    for (const std::string& password : {proxyPassword, std::string("wrong")}) {
      HttpTransfer::Settings s = tls;
      s.Proxy = Route::Named;
      s.ProxyHost = authProxy;
      s.ProxyUser = proxyUser;
      s.ProxyPassword = password;
      auto r = Run(HttpTransfer::Mode::Https, s, sim + "orders", &body, "application/json");
      CHECK(ToUtf8(r.FailureText).find(proxyPassword) == std::string::npos);
      if (UnderWine()) {
        // Wine's WinHTTP answers no proxy challenge of a tunnel request: nothing leaves.
        std::printf("  under Wine: no tunnel through an authenticating proxy\n");
        CHECK(!r.RequestSent);
      } else if (password == proxyPassword) {
        CHECK(r.Answered);
        CHECK(r.Status != 407);
      } else {
        CHECK(!r.RequestSent);
        CHECK(r.ProxyFailed);
        CHECK(r.ProxyStatus == 407 || r.ProxyStatus == 401);  // tinyproxy refuses wrong ones with 401
      }
    }
    return ok;
  });

  std::printf("%d failed\n", gFailures);
  return gFailures == 0 ? 0 : 1;
}
