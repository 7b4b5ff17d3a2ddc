#pragma once
// Local peers for the HTTP client tests: a plain HTTP server on 127.0.0.1 that records
// what it receives, a port that accepts connections but never speaks, a port where
// nothing listens, a one-shot peer that answers with raw bytes, and a log capture.

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestSocket.h"
#include "base/Text.h"
#include "base/uZV_Base_Defs.h"

namespace zvtest {

struct Received {
  std::string Method;
  std::string Path;
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;

  bool Has(const std::string& aName) const {
    for (const auto& [name, value] : Headers) {
      if (zv::SameText(zv::FromUtf8(name), zv::FromUtf8(aName))) return true;
    }
    return false;
  }
  std::string Header(const std::string& aName) const {
    for (const auto& [name, value] : Headers) {
      if (zv::SameText(zv::FromUtf8(name), zv::FromUtf8(aName))) return value;
    }
    return {};
  }
};

// cpp-httplib on a free port of 127.0.0.1; every GET and POST is recorded and then
// answered by the responder.
class LocalServer {
 public:
  using Responder = std::function<void(const httplib::Request&, httplib::Response&)>;

  explicit LocalServer(Responder aResponder) : fResponder(std::move(aResponder)) {
    auto handler = [this](const httplib::Request& aRequest, httplib::Response& aResponse) {
      {
        std::lock_guard lock(fLock);
        Received received{aRequest.method, aRequest.target, {}, aRequest.body};
        for (const auto& [name, value] : aRequest.headers) {
          if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" && name != "LOCAL_ADDR" && name != "LOCAL_PORT") {
            received.Headers.emplace_back(name, value);
          }
        }
        fRequests.push_back(std::move(received));
      }
      fResponder(aRequest, aResponse);
    };
    fServer.Get(".*", handler);
    fServer.Post(".*", handler);
    fPort = fServer.bind_to_any_port("127.0.0.1");
    fThread = std::thread([this] { fServer.listen_after_bind(); });
    // stop() only reaches a server that runs.
    while (!fServer.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~LocalServer() {
    fServer.stop();
    fThread.join();
  }
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  zv::Text Url(const std::string& aPath) const {
    return zv::FromUtf8("http://127.0.0.1:" + std::to_string(fPort) + aPath);
  }
  std::vector<Received> Requests() const {
    std::lock_guard lock(fLock);
    return fRequests;
  }

 private:
  Responder fResponder;
  httplib::Server fServer;
  int fPort = 0;
  std::thread fThread;
  mutable std::mutex fLock;
  std::vector<Received> fRequests;
};

// A listening socket that never accepts: the kernel completes TCP connections, but no
// byte ever comes back, so a TLS handshake waits until the connect time-out.
class SilentPort {
 public:
  SilentPort() {
    fSocket = TcpSocket();
    fPort = BindLocal(fSocket, 0, 16);
  }
  ~SilentPort() { CloseSocket(fSocket); }
  SilentPort(const SilentPort&) = delete;
  SilentPort& operator=(const SilentPort&) = delete;
  int Port() const { return fPort; }

 private:
  int fSocket = -1;
  int fPort = 0;
};

// A port of 127.0.0.1 where nothing listens: connections are refused.
inline int ClosedPort() {
  const int s = TcpSocket();
  const int port = BindLocal(s, 0, -1);
  CloseSocket(s);
  return port;
}

// Accepts one connection, reads the request head and whatever body came with it, sends
// aReply byte for byte and closes.
class RawOnceServer {
 public:
  explicit RawOnceServer(std::string aReply) : fReply(std::move(aReply)) {
    fSocket = TcpSocket();
    fPort = BindLocal(fSocket, 0, 1);
    fThread = std::thread([this] {
      // Waits in slices, so that the destructor can end a wait for a client that never came.
      while (!fStop && WaitSocket(fSocket, 20) == 0) {
      }
      if (fStop) return;
      const int peer = AcceptSocket(fSocket);
      if (peer < 0) return;
      std::string request;
      char buffer[4096];
      SetReceiveTimeout(peer, 2);
      while (request.find("\r\n\r\n") == std::string::npos) {
        const long got = ReceiveSome(peer, buffer, sizeof buffer);
        if (got <= 0) break;
        request.append(buffer, static_cast<size_t>(got));
      }
      SendSome(peer, fReply.data(), fReply.size());
      ShutdownBoth(peer);
      CloseSocket(peer);
    });
  }
  ~RawOnceServer() {
    fStop = true;
    fThread.join();
    CloseSocket(fSocket);
  }
  RawOnceServer(const RawOnceServer&) = delete;
  RawOnceServer& operator=(const RawOnceServer&) = delete;
  zv::Text Url(const std::string& aPath) const {
    return zv::FromUtf8("http://127.0.0.1:" + std::to_string(fPort) + aPath);
  }

 private:
  std::string fReply;
  int fSocket = -1;
  int fPort = 0;
  std::atomic<bool> fStop{false};
  std::thread fThread;
};

struct LogLine {
  zv::tZV_MessageType Type;
  std::string Title;
  std::string Message;
};

class LogCapture {
 public:
  zv::zvWriteLogEvent Event() {
    return [this](zv::tZV_MessageType aType, const zv::Text& aTitle, const zv::Text& aMessage) {
      fLines.push_back({aType, zv::ToUtf8(aTitle), zv::ToUtf8(aMessage)});
    };
  }
  const std::vector<LogLine>& Lines() const { return fLines; }
  std::vector<std::string> Titles() const {
    std::vector<std::string> titles;
    for (const auto& line : fLines) titles.push_back(line.Title);
    return titles;
  }
  bool HasTitle(const std::string& aTitle) const {
    for (const auto& line : fLines) {
      if (line.Title == aTitle) return true;
    }
    return false;
  }
  void Clear() { fLines.clear(); }

 private:
  std::vector<LogLine> fLines;
};

}  // namespace zvtest
