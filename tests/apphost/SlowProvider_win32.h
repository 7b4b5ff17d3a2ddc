#pragma once
// A provider in miniature for the hosts under Windows: a plain-HTTP listener on the
// loopback that takes each request whole and answers it, with an approved order, only
// after a delay of its own. Destroying it drops what is still unanswered.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zvtest {

class SlowProvider {
 public:
  explicit SlowProvider(std::chrono::seconds aDelay);
  ~SlowProvider();
  SlowProvider(const SlowProvider&) = delete;
  SlowProvider& operator=(const SlowProvider&) = delete;

  // http://127.0.0.1:PORT/
  const std::string& BaseUrl() const { return fBaseUrl; }
  // The requests received whole so far.
  size_t Requests() const { return fRequests; }

 private:
  void Accept();
  void Serve(uintptr_t aSocket);

  std::chrono::seconds fDelay;
  uintptr_t fListener;
  std::string fBaseUrl;
  std::atomic<size_t> fRequests{0};
  std::mutex fLock;
  std::condition_variable fStopped;
  bool fStop = false;
  std::vector<std::thread> fConnections;
  std::thread fAcceptor;
};

}  // namespace zvtest
