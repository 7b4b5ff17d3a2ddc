#pragma once
// The simulator's HTTPS front: the provider's routes, the /_sim/ control routes, the
// list of received requests, delays and closed connections.

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "SimCertificates.h"
#include "SimStore.h"

namespace httplib {
class SSLServer;
struct Request;
struct Response;
}  // namespace httplib

namespace lorvanisim {

struct SimOptions {
  int Port = 8443;
  std::string Listen = "127.0.0.1";  // the address (or host name) to listen on
  std::string BearerToken = "demo-token";
  std::string CaOut;
  bool HostnameMismatch = false;
  bool Quiet = false;
  std::string Journal;  // a file to append each request and its answer to, as JSON lines
};

class SimServer {
 public:
  static constexpr size_t kMaxRecorded = 1000;  // the oldest requests are forgotten first
  // How long a connection may stay silent: idle between requests, or in the middle of
  // one (a slow client, a client under a debugger or valgrind).
  static constexpr int kIdleSeconds = 60;
  // Connections served at once; more wait for a free one.
  static constexpr int kConnections = 64;

  // Throws when TLS cannot be set up or the journal file cannot be opened.
  SimServer(const SimOptions& aOptions, SimIdentity aIdentity);
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // Binds the address and the port of the options (0: a free one); the port bound.
  // Connections wait in the queue until Run. Throws when the port cannot be had.
  int Bind();
  // Serves until Stop.
  void Run();
  // From any thread: ends waiting delays and stops serving.
  void Stop();
  // Whether Run is serving (stopping before that has no effect on the listener).
  bool IsRunning() const;

 private:
  struct Recorded {
    uint64_t Sequence = 0;
    std::string ReceivedAt;
    std::string Method;
    std::string Path;  // the request target as received, query included
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string Body;
    int Status = 0;  // 0: no answer was sent
    std::string Answer;
    // Pending while the operation or its delay runs; ClientLeft: the answer was made
    // but the client had closed its connection (its read time-out) and never got it.
    enum class Fate { Pending, Answered, Closed, ClientLeft } Outcome = Fate::Pending;
    bool Replay = false;  // answered with the first answer to its request id
  };
  struct FileCloser {
    void operator()(std::FILE* aFile) const { std::fclose(aFile); }
  };

  void Routes();
  void Serve(const httplib::Request& aRequest, httplib::Response& aResponse, const std::function<SimAnswer()>& aOperation);
  uint64_t Record(const httplib::Request& aRequest);
  void SetRecordedAnswer(uint64_t aSequence, int aStatus, const std::string& aAnswer, Recorded::Fate aFate,
                         bool aReplay = false);
  std::string RecordedJson() const;
  std::string PageHtml() const;
  void WriteJournal(const httplib::Request& aRequest, const std::string& aReceivedAt, int aStatus,
                    const std::string& aAnswer, bool aClientLeft, bool aReplay);
  // False when the wait ended because the simulator stops.
  bool Wait(int aSeconds);
  void Log(const std::string& aLine) const;

  SimOptions fOptions;
  SimIdentity fIdentity;
  SimStore fStore;
  std::unique_ptr<httplib::SSLServer> fServer;

  mutable std::mutex fLock;
  std::condition_variable fStopped;
  bool fStopping = false;
  std::deque<Recorded> fRecorded;
  uint64_t fNextSequence = 1;
  std::mutex fJournalLock;
  std::unique_ptr<std::FILE, FileCloser> fJournal;
};

}  // namespace lorvanisim
