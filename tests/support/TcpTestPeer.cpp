#include "TcpTestPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace zvtest {

namespace {

constexpr int kSliceMs = 20;  // how often waiting threads look at the stop flag

}  // namespace

TcpTestPeer::TcpTestPeer(Script aScript) : fScript(std::move(aScript)) {
  fListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fListen < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fListen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fListen, 16) != 0 ||
      ::getsockname(fListen, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fListen);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  fPort = ntohs(address.sin_port);
  fAcceptor = std::thread([this] { AcceptLoop(); });
}

TcpTestPeer::~TcpTestPeer() {
  fStop = true;
  fAcceptor.join();
  for (std::thread& t : fThreads) t.join();
  for (int s : fSockets)
    if (s >= 0) ::close(s);
  ::close(fListen);
}

std::string TcpTestPeer::Received() const {
  std::lock_guard lock(fLock);
  return fReceived;
}

bool TcpTestPeer::WaitForReceived(size_t aBytes, std::chrono::milliseconds aLimit) const {
  const auto end = std::chrono::steady_clock::now() + aLimit;
  while (Received().size() < aBytes) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
  }
  return true;
}

bool TcpTestPeer::WaitForConnections(int aCount, std::chrono::milliseconds aLimit) const {
  const auto end = std::chrono::steady_clock::now() + aLimit;
  while (fConnections.load() < aCount) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
  }
  return true;
}

bool TcpTestPeer::WaitForFinish(std::chrono::milliseconds aLimit) const {
  const auto end = std::chrono::steady_clock::now() + aLimit;
  while (fFinished.load() < fConnections.load() || fConnections.load() == 0) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
  }
  return true;
}

void TcpTestPeer::AcceptLoop() {
  while (!fStop) {
    pollfd p{fListen, POLLIN, 0};
    if (::poll(&p, 1, kSliceMs) <= 0) continue;
    const int s = ::accept4(fListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0) continue;
    ++fConnections;
    std::lock_guard lock(fLock);
    fSockets.push_back(s);
    fThreads.emplace_back([this, s] { Serve(s); });
  }
}

bool TcpTestPeer::ReadSome(int aSocket, int aWaitMs) {
  pollfd p{aSocket, POLLIN, 0};
  if (::poll(&p, 1, aWaitMs) <= 0) return true;
  char buffer[4096];
  const ssize_t n = ::recv(aSocket, buffer, sizeof buffer, 0);
  if (n <= 0) return false;
  std::lock_guard lock(fLock);
  fReceived.append(buffer, static_cast<size_t>(n));
  return true;
}

void TcpTestPeer::Serve(int aSocket) {
  bool open = true;
  // The request: every byte up to the awaited text.
  const size_t before = Received().size();
  while (open && !fStop && !fScript.AwaitRequest.empty() &&
         Received().find(fScript.AwaitRequest, before) == std::string::npos)
    open = ReadSome(aSocket, kSliceMs);

  for (const Step& step : fScript.Steps) {
    const auto sendAt = std::chrono::steady_clock::now() + step.Pause;
    while (!fStop && std::chrono::steady_clock::now() < sendAt)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (fStop) break;
    ::send(aSocket, step.Bytes.data(), step.Bytes.size(), MSG_NOSIGNAL);
  }

  switch (fScript.Finish) {
    case End::Reset: {
      const linger abort{1, 0};
      ::setsockopt(aSocket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      {
        std::lock_guard lock(fLock);
        for (int& s : fSockets)
          if (s == aSocket) s = -1;
      }
      ::close(aSocket);
      ++fFinished;
      return;
    }
    case End::Close:
      ::shutdown(aSocket, SHUT_WR);
      break;
    case End::StayOpen:
      break;
  }
  ++fFinished;
  while (open && !fStop) open = ReadSome(aSocket, kSliceMs);
}

}  // namespace zvtest
