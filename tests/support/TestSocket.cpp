#include "TestSocket.h"

#ifdef _WIN32
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdint>

namespace zvtest {

namespace {

#ifdef _WIN32
using Native = SOCKET;
Native N(int aSocket) { return static_cast<Native>(aSocket); }
// Winsock is started once and kept until the process ends.
void StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}
#else
int N(int aSocket) { return aSocket; }
void StartSockets() {}
#endif

sockaddr_in Local(int aPort) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(aPort));
  return address;
}

}  // namespace

namespace {

int NewSocket(int aType) {
  StartSockets();
#ifdef _WIN32
  const SOCKET s = ::socket(AF_INET, aType, 0);
  if (s == INVALID_SOCKET) return -1;
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<int>(s);
#else
  return ::socket(AF_INET, aType | SOCK_CLOEXEC, 0);
#endif
}

}  // namespace

int TcpSocket() { return NewSocket(SOCK_STREAM); }
int UdpSocket() { return NewSocket(SOCK_DGRAM); }

int BindLocal(int aSocket, int aPort, int aBacklog) {
  sockaddr_in address = Local(aPort);
  if (::bind(N(aSocket), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  if (aBacklog >= 0 && ::listen(N(aSocket), aBacklog) != 0) return -1;
  socklen_t length = sizeof address;
  if (::getsockname(N(aSocket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  return ntohs(address.sin_port);
}

bool ConnectLocal(int aSocket, int aPort, bool aNonBlocking) {
  if (aNonBlocking) {
#ifdef _WIN32
    u_long on = 1;
    ::ioctlsocket(N(aSocket), FIONBIO, &on);
#else
    ::fcntl(aSocket, F_SETFL, ::fcntl(aSocket, F_GETFL) | O_NONBLOCK);
#endif
  }
  sockaddr_in address = Local(aPort);
  return ::connect(N(aSocket), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

int AcceptSocket(int aListen) {
#ifdef _WIN32
  const SOCKET s = ::accept(N(aListen), nullptr, nullptr);
  if (s == INVALID_SOCKET) return -1;
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<int>(s);
#else
  return ::accept4(aListen, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}

int WaitSocket(int aSocket, int aWaitMs, bool aWrite) {
#ifdef _WIN32
  WSAPOLLFD entry{N(aSocket), static_cast<SHORT>(aWrite ? POLLOUT : POLLIN), 0};
  return ::WSAPoll(&entry, 1, aWaitMs);
#else
  pollfd entry{aSocket, static_cast<short>(aWrite ? POLLOUT : POLLIN), 0};
  return ::poll(&entry, 1, aWaitMs);
#endif
}

long SendSome(int aSocket, const char* aBytes, size_t aLength) {
#ifdef _WIN32
  return ::send(N(aSocket), aBytes, static_cast<int>(aLength), 0);
#else
  return ::send(aSocket, aBytes, aLength, MSG_NOSIGNAL);
#endif
}

long ReceiveSome(int aSocket, char* aBuffer, size_t aLength) {
#ifdef _WIN32
  return ::recv(N(aSocket), aBuffer, static_cast<int>(aLength), 0);
#else
  return ::recv(aSocket, aBuffer, aLength, 0);
#endif
}

void SetReceiveTimeout(int aSocket, int aSeconds) {
#ifdef _WIN32
  const DWORD wait = static_cast<DWORD>(aSeconds) * 1000;
  ::setsockopt(N(aSocket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait), sizeof wait);
#else
  const timeval wait{aSeconds, 0};
  ::setsockopt(aSocket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
#endif
}

void ShutdownBoth(int aSocket) {
#ifdef _WIN32
  ::shutdown(N(aSocket), SD_BOTH);
#else
  ::shutdown(aSocket, SHUT_RDWR);
#endif
}

void ShutdownWrite(int aSocket) {
#ifdef _WIN32
  ::shutdown(N(aSocket), SD_SEND);
#else
  ::shutdown(aSocket, SHUT_WR);
#endif
}

void SetAbortiveClose(int aSocket) {
  const linger abort{1, 0};
  ::setsockopt(N(aSocket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
}

void CloseSocket(int aSocket) {
  if (aSocket < 0) return;
#ifdef _WIN32
  ::closesocket(N(aSocket));
#else
  ::close(aSocket);
#endif
}

}  // namespace zvtest
