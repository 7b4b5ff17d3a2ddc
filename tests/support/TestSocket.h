#pragma once
// The few socket calls of the local test peers, the same on Linux and on Windows
// (Winsock, started on first use). A socket is an int on both: Windows socket handles
// fit in 32 bits. Every call here is on 127.0.0.1.

#include <cstddef>

namespace zvtest {

// A TCP socket (not inherited by child processes); -1 on failure.
int TcpSocket();
// A UDP socket, likewise; BindLocal with aBacklog -1 gives it its port.
int UdpSocket();
// Binds to 127.0.0.1 on aPort (0: a free one) and, with aBacklog >= 0, listens; the port.
// -1 on failure.
int BindLocal(int aSocket, int aPort = 0, int aBacklog = 16);
// Connects to 127.0.0.1:aPort; with aNonBlocking, does not wait for the answer.
bool ConnectLocal(int aSocket, int aPort, bool aNonBlocking = false);
int AcceptSocket(int aListen);
// Whether aSocket is readable (aWrite: writable) within aWaitMs; < 0 on error.
int WaitSocket(int aSocket, int aWaitMs, bool aWrite = false);
long SendSome(int aSocket, const char* aBytes, size_t aLength);  // never raises SIGPIPE
long ReceiveSome(int aSocket, char* aBuffer, size_t aLength);
// Waits at most aSeconds for each receive.
void SetReceiveTimeout(int aSocket, int aSeconds);
void ShutdownBoth(int aSocket);
void ShutdownWrite(int aSocket);
// Closing then sends a reset instead of an orderly end.
void SetAbortiveClose(int aSocket);
void CloseSocket(int aSocket);

// A name server on 127.0.0.1 that takes queries and never answers them.
class SilentNameServer {
 public:
  SilentNameServer() : fSocket(UdpSocket()), fPort(BindLocal(fSocket, 0, -1)) {}
  ~SilentNameServer() { CloseSocket(fSocket); }
  SilentNameServer(const SilentNameServer&) = delete;
  SilentNameServer& operator=(const SilentNameServer&) = delete;
  int Port() const { return fPort; }
  bool QueryArrived() const { return WaitSocket(fSocket, 0) > 0; }

 private:
  int fSocket;
  int fPort;
};

}  // namespace zvtest
