#include "platform/Socket.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <resolv.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/Deadline.h"

namespace zv::platform {

namespace {

using detail::Deadline;

std::string SystemText(int aError) {
  char buffer[256] = {};
  // The GNU variant may return a static text instead of filling the buffer.
  const char* text = strerror_r(aError, buffer, sizeof buffer);
  return text != nullptr ? text : "Unknown error " + std::to_string(aError);
}

TcpClient::Result Failure(int aError) { return {TcpClient::Status::Failed, SystemText(aError)}; }

// Waits for aEvents on aSocket until aDeadline; 0 on time-out, the revents otherwise,
// -1 with errno on failure. Interrupted waits go on with the time left.
int WaitFor(int aSocket, short aEvents, const Deadline& aDeadline) {
  for (;;) {
    pollfd p{aSocket, aEvents, 0};
    const int n = ::poll(&p, 1, aDeadline.RemainingMs());
    if (n > 0) return p.revents;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

struct AddrInfoFree {
  void operator()(addrinfo* a) const { ::freeaddrinfo(a); }
};

// The addresses of a name, or why there are none.
struct Lookup {
  int Code = 0;   // getaddrinfo's result
  int Error = 0;  // errno for EAI_SYSTEM
  std::unique_ptr<addrinfo, AddrInfoFree> Addresses;
};

std::mutex gNameServerLock;
std::string gNameServer;  // "address:port" of the tests' name server; empty: the system's

// Points this thread's resolver at aServer ("IPv4 address:port"); the look-ups of this
// thread only, since the resolver state is per thread.
void UseNameServerOnThisThread(const std::string& aServer) {
  const size_t colon = aServer.rfind(':');
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (colon == std::string::npos || ::inet_pton(AF_INET, aServer.substr(0, colon).c_str(), &address.sin_addr) != 1)
    return;
  address.sin_port = htons(static_cast<uint16_t>(std::strtoul(aServer.c_str() + colon + 1, nullptr, 10)));
  if (::res_init() != 0) return;
  _res.nscount = 1;
  _res.nsaddr_list[0] = address;
}

// aFlags AI_NUMERICHOST: an address only, the resolver is not asked.
Lookup LookUp(const std::string& aHost, uint16_t aPort, const std::string& aNameServer, int aFlags = 0) {
  if (!aNameServer.empty()) UseNameServerOnThisThread(aNameServer);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | aFlags;
  addrinfo* found = nullptr;
  Lookup lookup;
  lookup.Code = ::getaddrinfo(aHost.c_str(), std::to_string(aPort).c_str(), &hints, &found);
  lookup.Error = errno;
  lookup.Addresses.reset(found);
  return lookup;
}

// A look-up left running still executes this module's code: once one is, the module
// stays loaded for the rest of the process, whatever the host unloads.
void KeepThisModuleLoaded() {
  static std::once_flag once;
  std::call_once(once, [] {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&KeepThisModuleLoaded), &info) != 0 && info.dli_fname != nullptr)
      ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  });
}

}  // namespace

bool UseNameServerForTests(const std::string& aServer) {
  const std::lock_guard<std::mutex> hold(gNameServerLock);
  gNameServer = aServer;
  return true;
}

TcpClient::~TcpClient() { Close(); }

void TcpClient::Close() {
  if (fSocket >= 0) ::close(fSocket);
  fSocket = -1;
}

TcpClient::Result TcpClient::Connect(const std::string& aHost, uint16_t aPort, int aTimeoutMs) {
  Close();
  const Deadline deadline(aTimeoutMs);
  std::string nameServer;
  {
    const std::lock_guard<std::mutex> hold(gNameServerLock);
    nameServer = gNameServer;
  }
  // An address needs no look-up. A name's look-up counts against the connect time-out:
  // a silent name server must not hold the caller for the resolver's own retries.
  std::optional<Lookup> lookup = LookUp(aHost, aPort, {}, AI_NUMERICHOST);
  if (lookup->Code != 0) {
    lookup = detail::CallWithin<Lookup>(
        deadline, [aHost, aPort, nameServer] { return LookUp(aHost, aPort, nameServer); }, KeepThisModuleLoaded);
  }
  if (!lookup) return TimedOut("The name look-up of " + aHost, aTimeoutMs);
  if (lookup->Code != 0) {
    return {Status::Failed,
            lookup->Code == EAI_SYSTEM ? SystemText(lookup->Error) : std::string(::gai_strerror(lookup->Code))};
  }
  const std::unique_ptr<addrinfo, AddrInfoFree> addresses = std::move(lookup->Addresses);

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
        const int events = WaitFor(s, POLLOUT, deadline);
        if (events == 0) {
          ::close(s);
          return TimedOut("Connect", aTimeoutMs);
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
  const int events = WaitFor(fSocket, POLLIN, Deadline(aTimeoutMs));
  if (events == 0) return TimedOut("Read", aTimeoutMs);
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
  if (error == EAGAIN || error == EWOULDBLOCK) return TimedOut("Read", aTimeoutMs);
  return Failure(error);
}

}  // namespace zv::platform
