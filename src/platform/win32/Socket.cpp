#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <memory>

#include "Wide.h"
#include "platform/Deadline.h"

namespace zv::platform {

namespace {

using detail::Deadline;

// Winsock is started on first use, never from the loader's notifications.
bool WinsockReady() {
  static const bool ready = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

std::string SystemText(int aError) { return ToUtf8(SystemMessage(static_cast<DWORD>(aError))); }

TcpClient::Result Failure(int aError) { return {TcpClient::Status::Failed, SystemText(aError)}; }

SOCKET Native(intptr_t aSocket) { return static_cast<SOCKET>(aSocket); }

// Waits for aEvents until aDeadline; 0 on time-out, the revents otherwise, -1 on failure.
int WaitFor(SOCKET aSocket, short aEvents, const Deadline& aDeadline) {
  WSAPOLLFD p{aSocket, aEvents, 0};
  const int n = WSAPoll(&p, 1, aDeadline.RemainingMs());
  if (n > 0) return p.revents;
  return n == 0 ? 0 : -1;
}

struct AddrInfoFree {
  void operator()(ADDRINFOW* a) const { FreeAddrInfoW(a); }
};

// The addresses of a name, or why there are none.
struct Lookup {
  int Error = 0;  // GetAddrInfoW's result
  std::unique_ptr<ADDRINFOW, AddrInfoFree> Addresses;
};

// aFlags AI_NUMERICHOST: an address only, the resolver is not asked.
Lookup LookUp(const Text& aHost, const Text& aPort, int aFlags = 0) {
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | aFlags;
  ADDRINFOW* found = nullptr;
  Lookup lookup;
  if (GetAddrInfoW(Wide(aHost), Wide(aPort), &hints, &found) != 0) lookup.Error = WSAGetLastError();
  lookup.Addresses.reset(found);
  return lookup;
}

// A look-up left running still executes this module's code: once one is, the module
// stays loaded for the rest of the process, whatever the host unloads.
void KeepThisModuleLoaded() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&KeepThisModuleLoaded), &module);
}

}  // namespace

// Windows offers no per-thread resolver configuration to point at a test's name server.
bool UseNameServerForTests(const std::string&) { return false; }

TcpClient::~TcpClient() { Close(); }

void TcpClient::Close() {
  if (fSocket >= 0) closesocket(Native(fSocket));
  fSocket = -1;
}

TcpClient::Result TcpClient::Connect(const std::string& aHost, uint16_t aPort, int aTimeoutMs) {
  Close();
  if (!WinsockReady()) return Failure(WSASYSNOTREADY);
  const Deadline deadline(aTimeoutMs);
  const Text host = FromUtf8(aHost), port = FromAscii(std::to_string(aPort));
  // An address needs no look-up. A name's look-up counts against the connect time-out:
  // a silent name server must not hold the caller for the resolver's own retries.
  std::optional<Lookup> lookup = LookUp(host, port, AI_NUMERICHOST);
  if (lookup->Error != 0) {
    lookup = detail::CallWithin<Lookup>(deadline, [host, port] { return LookUp(host, port); }, KeepThisModuleLoaded);
  }
  if (!lookup) return TimedOut("The name look-up of " + aHost, aTimeoutMs);
  if (lookup->Error != 0) return Failure(lookup->Error);
  const std::unique_ptr<ADDRINFOW, AddrInfoFree> addresses = std::move(lookup->Addresses);

  Result last{Status::Failed, "No address for " + aHost};
  for (ADDRINFOW* a = addresses.get(); a != nullptr; a = a->ai_next) {
    SOCKET s = WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
      last = Failure(WSAGetLastError());
      continue;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    int error = 0;
    if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
      error = WSAGetLastError();
      if (error == WSAEWOULDBLOCK) {
        const int events = WaitFor(s, POLLOUT, deadline);
        if (events == 0) {
          closesocket(s);
          return TimedOut("Connect", aTimeoutMs);
        }
        int length = sizeof error;
        if (events < 0) error = WSAGetLastError();
        else if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
          error = WSAGetLastError();
        else if (error == 0 && (events & (POLLERR | POLLHUP)) != 0)
          error = WSAECONNREFUSED;
      }
    }
    if (error == 0) {
      // Reads and writes wait through WSAPoll; the socket itself blocks from here on.
      nonBlocking = 0;
      ioctlsocket(s, FIONBIO, &nonBlocking);
      fSocket = static_cast<intptr_t>(s);
      return {};
    }
    closesocket(s);
    last = Failure(error);
  }
  return last;
}

bool TcpClient::PeerGone() const {
  if (fSocket < 0) return true;
  WSAPOLLFD p{Native(fSocket), POLLRDNORM, 0};
  if (WSAPoll(&p, 1, 0) <= 0) return false;
  // A reset is seen without reading it: the next Receive still reports it.
  if ((p.revents & (POLLERR | POLLNVAL)) != 0) return true;
  if ((p.revents & (POLLHUP | POLLRDNORM)) == 0) return false;
  char byte = 0;
  return recv(Native(fSocket), &byte, 1, MSG_PEEK) == 0;
}

TcpClient::Result TcpClient::Send(std::string_view aBytes) {
  if (fSocket < 0) return {Status::Failed, "Not connected"};
  while (!aBytes.empty()) {
    const int chunk = aBytes.size() > 0x10000000 ? 0x10000000 : static_cast<int>(aBytes.size());
    const int n = send(Native(fSocket), aBytes.data(), chunk, 0);
    if (n == SOCKET_ERROR) return Failure(WSAGetLastError());
    aBytes.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

TcpClient::Result TcpClient::Receive(std::string& aBuffer, size_t aMaxBytes, int aTimeoutMs) {
  if (fSocket < 0) return {Status::Failed, "Not connected"};
  const int events = WaitFor(Native(fSocket), POLLRDNORM, Deadline(aTimeoutMs));
  if (events == 0) return TimedOut("Read", aTimeoutMs);
  if (events < 0) return Failure(WSAGetLastError());
  const size_t before = aBuffer.size();
  aBuffer.resize(before + aMaxBytes);
  const int n = recv(Native(fSocket), aBuffer.data() + before, static_cast<int>(aMaxBytes), 0);
  const int error = WSAGetLastError();
  aBuffer.resize(before + (n > 0 ? static_cast<size_t>(n) : 0));
  if (n > 0) return {};
  if (n == 0) return {Status::Closed, "Connection closed by peer"};
  if (error == WSAEWOULDBLOCK) return TimedOut("Read", aTimeoutMs);
  return Failure(error);
}

}  // namespace zv::platform
