#pragma once
// A TCP client connection to one host and port: connect with a time-out, send, and
// receive with a time-out. Failures come back as results with the system's text;
// nothing here raises.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zv::platform {

class TcpClient {
 public:
  enum class Status {
    Ok,
    TimedOut,  // nothing happened within the time-out
    Closed,    // the peer ended the connection in an orderly way
    Failed,    // any other failure; Error holds the system's text
  };
  struct Result {
    Status State = Status::Ok;
    std::string Error;
    bool Ok() const { return State == Status::Ok; }
  };
  // "<aWhat> timed out after <aTimeoutMs> ms".
  static Result TimedOut(const std::string& aWhat, int aTimeoutMs) {
    return {Status::TimedOut, aWhat + " timed out after " + std::to_string(aTimeoutMs) + " ms"};
  }

  TcpClient() = default;
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // Closes an earlier connection, then connects to aHost (a name or an IPv4/IPv6
  // address) and aPort, trying each address of the name in turn within aTimeoutMs in
  // all, the name look-up included (0 or less: no limit of our own). A look-up still
  // running at the deadline is left to end on its own.
  Result Connect(const std::string& aHost, uint16_t aPort, int aTimeoutMs);
  void Close();
  // True from a successful Connect until Close, whatever the peer did.
  bool IsOpen() const { return fSocket >= 0; }
  // True when the peer has ended or reset the connection and no byte is left to
  // read; the connection is not waited for.
  bool PeerGone() const;

  // Sends all of aBytes, waiting as long as the system needs.
  Result Send(std::string_view aBytes);
  // Waits at most aTimeoutMs (0 or less: no limit) for bytes and appends what has
  // arrived, at most aMaxBytes, to aBuffer.
  Result Receive(std::string& aBuffer, size_t aMaxBytes, int aTimeoutMs);

 private:
  intptr_t fSocket = -1;  // the system's socket; -1 when closed
};

// For tests: later look-ups ask the name server at aServer ("IPv4 address:port")
// instead of the system's; empty restores the system's. False where the system has no
// such seam.
bool UseNameServerForTests(const std::string& aServer);

}  // namespace zv::platform
