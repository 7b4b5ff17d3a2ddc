#include "HttpTestServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, aBacklog) != 0) {
    close(fd);
    throw std::runtime_error("bind or listen failed");
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  aPort = ntohs(address.sin_port);
  return fd;
}

bool SendAll(int aSocket, const std::string& aBytes) {
  size_t sent = 0;
  while (sent < aBytes.size()) {
    const ssize_t n = send(aSocket, aBytes.data() + sent, aBytes.size() - sent, MSG_NOSIGNAL);
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
    for (int s : fSockets) shutdown(s, SHUT_RDWR);
  }
  for (std::thread& t : fThreads) t.join();
  for (int s : fSockets) close(s);
  close(fListen);
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
    pollfd p{fListen, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    const int s = accept4(fListen, nullptr, nullptr, SOCK_CLOEXEC);
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
      pollfd p{aSocket, POLLIN, 0};
      const int ready = poll(&p, 1, 20);
      if (ready == 0) continue;
      if (ready < 0) return false;
      char chunk[4096];
      const ssize_t n = recv(aSocket, chunk, sizeof chunk, 0);
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
        shutdown(aSocket, SHUT_RDWR);
        return;
      case HttpReply::Kind::Silent:
        while (readMore()) {
        }
        return;
      case HttpReply::Kind::Chunked: {
        std::string out = "HTTP/1.1 " + std::to_string(reply.Status) + " " + reply.Reason + "\r\n";
        for (const auto& [n, v] : reply.Headers) out += n + ": " + v + "\r\n";
        if (!SendAll(aSocket, out + "Transfer-Encoding: chunked\r\n\r\n")) return;
        for (size_t at = 0; at < reply.Body.size(); at += reply.ChunkBytes) {
          if (at > 0) std::this_thread::sleep_for(reply.ChunkPause);
          const std::string chunk = reply.Body.substr(at, reply.ChunkBytes);
          char size[32];
          std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
          if (!SendAll(aSocket, size + chunk + "\r\n")) return;  // the client may stop reading
        }
        if (!SendAll(aSocket, "0\r\n\r\n")) return;
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
        if (!SendAll(aSocket, out)) return;
        if (reply.Action == HttpReply::Kind::Stalled) {
          while (readMore()) {
          }
          return;
        }
        if (reply.Action == HttpReply::Kind::Truncated) {
          shutdown(aSocket, SHUT_RDWR);
          return;
        }
        open = Lower(request.Header("Connection")) != "close";
        break;
      }
    }
  }
  shutdown(aSocket, SHUT_RDWR);
}

UnansweredPort::UnansweredPort() {
  fListen = ListenLocal(0, fPort);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(fPort));
  // Fill the listen queue: once a connect stays pending, further ones get no answer.
  for (int i = 0; i < 8; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    fFillers.push_back(fd);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) continue;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 200) == 0) break;  // pending: the queue is full
  }
}

UnansweredPort::~UnansweredPort() {
  for (int fd : fFillers) close(fd);
  close(fListen);
}

int ClosedPort() {
  int port = 0;
  const int fd = ListenLocal(1, port);
  close(fd);
  return port;
}

std::string Md5Hex(const std::string& aText) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(aText.data(), aText.size(), digest, &length, EVP_md5(), nullptr);
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
