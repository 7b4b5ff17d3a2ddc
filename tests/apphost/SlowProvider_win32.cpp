#include "SlowProvider_win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <stdexcept>

namespace zvtest {

namespace {

// Winsock for the life of the program.
void StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw std::runtime_error("WSAStartup failed");
}

}  // namespace

SlowProvider::SlowProvider(std::chrono::seconds aDelay) : fDelay(aDelay) {
  StartWinsock();
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof(address);
  if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener, 8) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("no loopback listener");
  fListener = listener;
  fBaseUrl = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
  fAcceptor = std::thread(&SlowProvider::Accept, this);
}

SlowProvider::~SlowProvider() {
  {
    std::lock_guard guard(fLock);
    fStop = true;
  }
  fStopped.notify_all();
  // Closing the listener ends the accepting thread's wait.
  closesocket(static_cast<SOCKET>(fListener));
  fAcceptor.join();
  for (std::thread& connection : fConnections) connection.join();
}

void SlowProvider::Accept() {
  for (;;) {
    const SOCKET connection = accept(static_cast<SOCKET>(fListener), nullptr, nullptr);
    std::lock_guard guard(fLock);
    if (connection == INVALID_SOCKET || fStop) {
      if (connection != INVALID_SOCKET) closesocket(connection);
      return;
    }
    fConnections.emplace_back(&SlowProvider::Serve, this, static_cast<uintptr_t>(connection));
  }
}

void SlowProvider::Serve(uintptr_t aSocket) {
  const SOCKET connection = static_cast<SOCKET>(aSocket);
  // A host that dies mid-request does not hold this thread for long.
  const DWORD timeout = 60000;
  setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
  std::string request;
  size_t wanted = std::string::npos;
  char buffer[4096];
  while (request.size() < wanted) {
    const int got = recv(connection, buffer, sizeof(buffer), 0);
    if (got <= 0) {
      closesocket(connection);
      return;
    }
    request.append(buffer, static_cast<size_t>(got));
    const size_t headerEnd = request.find("\r\n\r\n");
    if (wanted == std::string::npos && headerEnd != std::string::npos) {
      size_t body = 0;
      for (const char* name : {"\r\nContent-Length:", "\r\ncontent-length:"}) {
        const size_t at = request.find(name);
        if (at != std::string::npos && at < headerEnd) body = std::strtoul(request.c_str() + at + 17, nullptr, 10);
      }
      wanted = headerEnd + 4 + body;
    }
  }
  ++fRequests;
  std::unique_lock lock(fLock);
  if (!fStopped.wait_for(lock, fDelay, [this] { return fStop; })) {
    lock.unlock();
    const std::string body = "{\"token\":\"T-slow\"}";
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
                               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    send(connection, answer.data(), static_cast<int>(answer.size()), 0);
    shutdown(connection, SD_SEND);
  }
  closesocket(connection);
}

}  // namespace zvtest
