#include "platform/Socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

namespace zv::platform {

namespace {

using Clock = std::chrono::steady_clock;

std::string SystemText(int aError) {
  char buffer[256] = {};
  // The GNU variant may return a static text instead of filling the buffer.
  const char* text = strerror_r(aError, buffer, sizeof buffer);
  return text != nullptr ? text : "Unknown error " + std::to_string(aError);
}

TcpClient::Result Failure(int aError) { return {TcpClient::Status::Failed, SystemText(aError)}; }

// Milliseconds left until aDeadline for poll: -1 without a deadline, never below 0.
int Remaining(bool aLimited, Clock::time_point aDeadline) {
  if (!aLimited) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(aDeadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for aEvents on aSocket until aDeadline; 0 on time-out, the revents otherwise,
// -1 with errno on failure. Interrupted waits go on with the time left.
int WaitFor(int aSocket, short aEvents, bool aLimited, Clock::time_point aDeadline) {
  for (;;) {
    pollfd p{aSocket, aEvents, 0};
    const int n = ::poll(&p, 1, Remaining(aLimited, aDeadline));
    if (n > 0) return p.revents;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

struct AddrInfoFree {
  void operator()(addrinfo* a) const { ::freeaddrinfo(a); }
};

}  // namespace

TcpClient::~TcpClient() { Close(); }

void TcpClient::Close() {
  if (fSocket >= 0) ::close(fSocket);
  fSocket = -1;
}

TcpClient::Result TcpClient::Connect(const std::string& aHost, uint16_t aPort, int aTimeoutMs) {
  Close();
  const bool limited = aTimeoutMs > 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? aTimeoutMs : 0);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int resolved = ::getaddrinfo(aHost.c_str(), std::to_string(aPort).c_str(), &hints, &found);
  if (resolved != 0) {
    return {Status::Failed, resolved == EAI_SYSTEM ? SystemText(errno) : std::string(::gai_strerror(resolved))};
  }
  const std::unique_ptr<addrinfo, AddrInfoFree> addresses(found);

  Result last{Status::Failed, "No address for " + aHost};
  for (addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    const int s = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (s < 0) {
      last = Failure(errno);
      continue;
    }
    int error = 0;
    if (::connect(s, a->ai_addr, a->ai_addrlen) != 0) {
      error = errno;
      if (error == EINPROGRESS) {
        const int events = WaitFor(s, POLLOUT, limited, deadline);
        if (events == 0) {
          ::close(s);
          return {Status::TimedOut, "Connect timed out after " + std::to_string(aTimeoutMs) + " ms"};
        }
        socklen_t length = sizeof error;
        if (events < 0) error = errno;
        else if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
      }
    }
    if (error == 0) {
      // Reads and writes wait through poll; the socket itself blocks from here on.
      ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) & ~O_NONBLOCK);
      fSocket = s;
      return {};
    }
    ::close(s);
    last = Failure(error);
  }
  return last;
}

bool TcpClient::PeerGone() const {
  if (fSocket < 0) return true;
  pollfd p{static_cast<int>(fSocket), POLLIN | POLLRDHUP, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  // A reset is seen without reading it: the next Receive still reports it.
  if ((p.revents & (POLLERR | POLLNVAL)) != 0) return true;
  if ((p.revents & (POLLRDHUP | POLLHUP)) == 0) return false;
  char byte = 0;
  const ssize_t n = ::recv(fSocket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0;
}

TcpClient::Result TcpClient::Send(std::string_view aBytes) {
  if (fSocket < 0) return {Status::Failed, "Not connected"};
  while (!aBytes.empty()) {
    // MSG_NOSIGNAL: a peer that has gone must not end the host process by SIGPIPE.
    const ssize_t n = ::send(fSocket, aBytes.data(), aBytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failure(errno);
    }
    aBytes.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

TcpClient::Result TcpClient::Receive(std::string& aBuffer, size_t aMaxBytes, int aTimeoutMs) {
  if (fSocket < 0) return {Status::Failed, "Not connected"};
  const bool limited = aTimeoutMs > 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? aTimeoutMs : 0);
  const int events = WaitFor(fSocket, POLLIN, limited, deadline);
  if (events == 0) return {Status::TimedOut, "Read timed out after " + std::to_string(aTimeoutMs) + " ms"};
  if (events < 0) return Failure(errno);
  const size_t before = aBuffer.size();
  aBuffer.resize(before + aMaxBytes);
  ssize_t n;
  do {
    n = ::recv(fSocket, aBuffer.data() + before, aMaxBytes, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  const int error = errno;
  aBuffer.resize(before + (n > 0 ? static_cast<size_t>(n) : 0));
  if (n > 0) return {};
  if (n == 0) return {Status::Closed, "Connection closed by peer"};
  if (error == EAGAIN || error == EWOULDBLOCK)
    return {Status::TimedOut, "Read timed out after " + std::to_string(aTimeoutMs) + " ms"};
  return Failure(error);
}

}  // namespace zv::platform
