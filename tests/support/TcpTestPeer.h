#pragma once
// A scripted TCP peer on 127.0.0.1 for the tests of byte-oriented channels: for every
// connection it waits for a request (optionally), sends its steps at their pace, then
// closes in an orderly way, resets (SO_LINGER 0) or stays open. It records every byte
// it received.

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zvtest {

class TcpTestPeer {
 public:
  struct Step {
    std::chrono::milliseconds Pause{0};  // the wait before the bytes are sent
    std::string Bytes;
  };
  enum class End {
    StayOpen,  // keeps reading until the client closes
    Close,     // ends its side (FIN), then reads until the client closes
    Reset,     // aborts the connection (RST)
  };
  struct Script {
    std::string AwaitRequest;  // when not empty: sends nothing before this text has arrived
    std::vector<Step> Steps;
    End Finish = End::StayOpen;
  };

  // Listens on a free port of 127.0.0.1 and serves every connection on its own thread.
  explicit TcpTestPeer(Script aScript);
  // Closes every connection and waits for the threads.
  ~TcpTestPeer();
  TcpTestPeer(const TcpTestPeer&) = delete;
  TcpTestPeer& operator=(const TcpTestPeer&) = delete;

  int Port() const { return fPort; }
  int ConnectionCount() const { return fConnections.load(); }
  std::string Received() const;
  // Waits up to aLimit until at least aBytes bytes have arrived; true when they have.
  bool WaitForReceived(size_t aBytes, std::chrono::milliseconds aLimit = std::chrono::seconds(10)) const;
  // Waits up to aLimit until at least aCount connections have been accepted.
  bool WaitForConnections(int aCount, std::chrono::milliseconds aLimit = std::chrono::seconds(10)) const;
  // Waits up to aLimit until every connection's script has run to its end.
  bool WaitForFinish(std::chrono::milliseconds aLimit = std::chrono::seconds(10)) const;

 private:
  void AcceptLoop();
  void Serve(int aSocket);
  // Reads what is there within aWaitMs into the record; false once the client closed.
  bool ReadSome(int aSocket, int aWaitMs);

  Script fScript;
  int fListen = -1;
  int fPort = 0;
  std::atomic<bool> fStop{false};
  std::atomic<int> fConnections{0};
  std::atomic<int> fFinished{0};
  mutable std::mutex fLock;
  std::string fReceived;
  std::vector<int> fSockets;
  std::vector<std::thread> fThreads;
  std::thread fAcceptor;
};

}  // namespace zvtest
