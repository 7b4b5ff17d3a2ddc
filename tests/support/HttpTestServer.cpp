#include "HttpTestServer.h"

#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on
#else
#include <openssl/evp.h>
#endif

#include "TestSocket.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <stdexcept>

namespace zvtest {

namespace {

std::string Lower(std::string aText) {
  std::transform(aText.begin(), aText.end(), aText.begin(), [](unsigned char c) { return std::tolower(c); });
  return aText;
}

std::string Trim(const std::string& aText) {
  size_t b = 0, e = aText.size();
  while (b < e && (aText[b] == ' ' || aText[b] == '\t')) ++b;
  while (e > b && (aText[e - 1] == ' ' || aText[e - 1] == '\t' || aText[e - 1] == '\r')) --e;
  return aText.substr(b, e - b);
}

// Binds a TCP socket to 127.0.0.1 on a free port and listens with the given queue.
int ListenLocal(int aBacklog, int& aPort) {
  const int fd = TcpSocket();
  if (fd < 0) throw std::runtime_error("socket failed");
  aPort = BindLocal(fd, 0, aBacklog);
  if (aPort < 0) {
    CloseSocket(fd);
    throw std::runtime_error("bind or listen failed");
  }
  return fd;
}

// Sends everything, in pieces small enough that a writable socket takes each without
// waiting; false when the peer is gone or the server stops. A peer that stops reading
// thus never holds a server thread in a send (Wine wakes no blocked send when another
// thread shuts the socket down).
bool SendAll(int aSocket, const std::string& aBytes, const std::atomic<bool>& aStop) {
  constexpr size_t kPiece = 4096;
  size_t sent = 0;
  while (sent < aBytes.size()) {
    if (aStop) return false;
    const int ready = WaitSocket(aSocket, 20, true);
    if (ready == 0) continue;
    if (ready < 0) return false;
    const long n = SendSome(aSocket, aBytes.data() + sent, std::min(kPiece, aBytes.size() - sent));
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string HttpRequest::Header(const std::string& aName) const {
  const std::string name = Lower(aName);
  for (const auto& [n, v] : Headers)
    if (Lower(n) == name) return v;
  return {};
}

int HttpRequest::HeaderCount(const std::string& aName) const {
  const std::string name = Lower(aName);
  return static_cast<int>(std::count_if(Headers.begin(), Headers.end(), [&](const auto& h) { return Lower(h.first) == name; }));
}

HttpTestServer::HttpTestServer(Handler aHandler) : fHandler(std::move(aHandler)) {
  fListen = ListenLocal(16, fPort);
  fAcceptor = std::thread(&HttpTestServer::AcceptLoop, this);
}

HttpTestServer::~HttpTestServer() {
  fStop = true;
  fAcceptor.join();
  {
    std::lock_guard guard(fLock);
    for (int s : fSockets) ShutdownBoth(s);
  }
  for (std::thread& t : fThreads) t.join();
  for (int s : fSockets) CloseSocket(s);
  CloseSocket(fListen);
}

std::string HttpTestServer::Url(const std::string& aPath) const {
  return "http://127.0.0.1:" + std::to_string(fPort) + aPath;
}

std::vector<HttpRequest> HttpTestServer::Requests() const {
  std::lock_guard guard(fLock);
  return fRequests;
}

void HttpTestServer::AcceptLoop() {
  while (!fStop) {
    if (WaitSocket(fListen, 20) <= 0) continue;
    const int s = AcceptSocket(fListen);
    if (s < 0) continue;
    ++fConnections;
    std::lock_guard guard(fLock);
    fSockets.push_back(s);
    fThreads.emplace_back(&HttpTestServer::Serve, this, s);
  }
}

void HttpTestServer::Serve(int aSocket) {
  std::string buffer;
  // Reads more bytes; false when the peer closed or the server stops.
  auto readMore = [&]() -> bool {
    for (;;) {
      if (fStop) return false;
      const int ready = WaitSocket(aSocket, 20);
      if (ready == 0) continue;
      if (ready < 0) return false;
      char chunk[4096];
      const long n = ReceiveSome(aSocket, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<size_t>(n));
      return true;
    }
  };
  bool open = true;
  while (open) {
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos)
      if (!readMore()) return;  // the socket is closed by the destructor
    HttpRequest request;
    const std::string head = buffer.substr(0, end);
    buffer.erase(0, end + 4);
    size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t s1 = requestLine.find(' '), s2 = requestLine.rfind(' ');
    request.Method = requestLine.substr(0, s1);
    request.Target = requestLine.substr(s1 + 1, s2 - s1 - 1);
    request.Version = requestLine.substr(s2 + 1);
    size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
      size_t next = head.find("\r\n", pos);
      if (next == std::string::npos) next = head.size();
      const std::string line = head.substr(pos, next - pos);
      const size_t colon = line.find(':');
      if (colon != std::string::npos) request.Headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
      pos = next + 2;
    }
    const std::string lengthText = request.Header("Content-Length");
    const size_t length = lengthText.empty() ? 0 : std::stoul(lengthText);
    while (buffer.size() < length)
      if (!readMore()) return;
    request.Body = buffer.substr(0, length);
    buffer.erase(0, length);
    {
      std::lock_guard guard(fLock);
      fRequests.push_back(request);
    }

    const HttpReply reply = fHandler(request);
    switch (reply.Action) {
      case HttpReply::Kind::Close:
        ShutdownBoth(aSocket);
        return;
      case HttpReply::Kind::Silent:
        while (readMore()) {
        }
        return;
      case HttpReply::Kind::Chunked: {
        std::string out = "HTTP/1.1 " + std::to_string(reply.Status) + " " + reply.Reason + "\r\n";
        for (const auto& [n, v] : reply.Headers) out += n + ": " + v + "\r\n";
        if (!SendAll(aSocket, out + "Transfer-Encoding: chunked\r\n\r\n", fStop)) return;
        for (size_t at = 0; at < reply.Body.size(); at += reply.ChunkBytes) {
          if (at > 0) std::this_thread::sleep_for(reply.ChunkPause);
          const std::string chunk = reply.Body.substr(at, reply.ChunkBytes);
          char size[32];
          std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
          if (!SendAll(aSocket, size + chunk + "\r\n", fStop)) return;  // the client may stop reading
        }
        if (!SendAll(aSocket, "0\r\n\r\n", fStop)) return;
        open = Lower(request.Header("Connection")) != "close";
        break;
      }
      case HttpReply::Kind::Answer:
      case HttpReply::Kind::Truncated:
      case HttpReply::Kind::Stalled: {
        std::string out = "HTTP/1.1 " + std::to_string(reply.Status) + " " + reply.Reason + "\r\n";
        for (const auto& [n, v] : reply.Headers) out += n + ": " + v + "\r\n";
        const size_t announced = reply.Body.size() + (reply.Action == HttpReply::Kind::Truncated ? 100 : 0);
        out += "Content-Length: " + std::to_string(announced) + "\r\n\r\n" + reply.Body;
        if (reply.Action == HttpReply::Kind::Stalled) out.resize(out.find("\r\n\r\n") + 4);
        if (!SendAll(aSocket, out, fStop)) return;
        if (reply.Action == HttpReply::Kind::Stalled) {
          while (readMore()) {
          }
          return;
        }
        if (reply.Action == HttpReply::Kind::Truncated) {
          ShutdownBoth(aSocket);
          return;
        }
        open = Lower(request.Header("Connection")) != "close";
        break;
      }
    }
  }
  ShutdownBoth(aSocket);
}

UnansweredPort::UnansweredPort() {
  fListen = ListenLocal(0, fPort);
  // Fill the listen queue: once a connect stays pending, further ones get no answer.
  for (int i = 0; i < 8; ++i) {
    const int fd = TcpSocket();
    fFillers.push_back(fd);
    if (ConnectLocal(fd, fPort, true)) continue;
    if (WaitSocket(fd, 200, true) == 0) break;  // pending: the queue is full
  }
}

UnansweredPort::~UnansweredPort() {
  for (int fd : fFillers) CloseSocket(fd);
  CloseSocket(fListen);
}

int ClosedPort() {
  int port = 0;
  const int fd = ListenLocal(1, port);
  CloseSocket(fd);
  return port;
}

std::string Md5Hex(const std::string& aText) {
  unsigned char digest[16] = {};
  unsigned int length = 0;
#ifdef _WIN32
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
    DWORD size = sizeof digest;
    if (CryptCreateHash(provider, CALG_MD5, 0, 0, &hash) &&
        CryptHashData(hash, reinterpret_cast<const BYTE*>(aText.data()), static_cast<DWORD>(aText.size()), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0))
      length = size;
    if (hash) CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
  }
#else
  EVP_Digest(aText.data(), aText.size(), digest, &length, EVP_md5(), nullptr);
#endif
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

bool DigestAuthorizationValid(const HttpRequest& aRequest, const std::string& aUser, const std::string& aPassword,
                              const std::string& aRealm, const std::string& aNonce) {
  const std::string header = aRequest.Header("Authorization");
  if (header.rfind("Digest ", 0) != 0) return false;
  // Parse name=value and name="value" pairs.
  std::map<std::string, std::string> fields;
  size_t pos = 7;
  while (pos < header.size()) {
    while (pos < header.size() && (header[pos] == ' ' || header[pos] == ',')) ++pos;
    const size_t eq = header.find('=', pos);
    if (eq == std::string::npos) break;
    const std::string name = Lower(Trim(header.substr(pos, eq - pos)));
    std::string value;
    pos = eq + 1;
    if (pos < header.size() && header[pos] == '"') {
      const size_t close = header.find('"', pos + 1);
      value = header.substr(pos + 1, close - pos - 1);
      pos = close == std::string::npos ? header.size() : close + 1;
    } else {
      const size_t comma = header.find(',', pos);
      value = Trim(header.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
      pos = comma == std::string::npos ? header.size() : comma;
    }
    fields[name] = value;
  }
  if (fields["username"] != aUser || fields["realm"] != aRealm || fields["nonce"] != aNonce) return false;
  if (fields["uri"] != aRequest.Target) return false;
  const std::string ha1 = Md5Hex(aUser + ":" + aRealm + ":" + aPassword);
  const std::string ha2 = Md5Hex(aRequest.Method + ":" + fields["uri"]);
  const std::string expected =
      fields["qop"].empty()
          ? Md5Hex(ha1 + ":" + aNonce + ":" + ha2)
          : Md5Hex(ha1 + ":" + aNonce + ":" + fields["nc"] + ":" + fields["cnonce"] + ":" + fields["qop"] + ":" + ha2);
  return fields["response"] == expected;
}

}  // namespace zvtest
