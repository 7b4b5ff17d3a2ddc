#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for tests that need exact control over the
// answer: a normal reply, a connection closed without an answer, a silent peer, a body
// cut short, a chunked body (at a pace), or headers followed by silence. It records
// every request it received.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zvtest {

struct HttpRequest {
  std::string Method;
  std::string Target;
  std::string Version;
  std::vector<std::pair<std::string, std::string>> Headers;  // in arrival order
  std::string Body;

  // Value of the first header of that name (any case); empty when there is none.
  std::string Header(const std::string& aName) const;
  int HeaderCount(const std::string& aName) const;
};

struct HttpReply {
  enum class Kind {
    Answer,     // status line, headers, Content-Length and body
    Close,      // close the connection without a byte
    Silent,     // keep the connection open and never answer
    Truncated,  // announce more body than is sent, then close
    Chunked,    // the body in chunks of ChunkBytes, without Content-Length
    Stalled,    // status line and headers announcing the body, then silence
  };
  Kind Action = Kind::Answer;
  int Status = 200;
  std::string Reason = "OK";
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;
  size_t ChunkBytes = 16384;                 // for Chunked
  std::chrono::milliseconds ChunkPause{0};  // for Chunked: the wait before each chunk but the first
};

class HttpTestServer {
 public:
  using Handler = std::function<HttpReply(const HttpRequest&)>;

  // Listens on a free port of 127.0.0.1 and serves every connection on its own thread.
  explicit HttpTestServer(Handler aHandler);
  // Closes every connection and waits for the threads.
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  int Port() const { return fPort; }
  // "http://127.0.0.1:<port>" + aPath.
  std::string Url(const std::string& aPath = "/") const;
  std::vector<HttpRequest> Requests() const;
  int ConnectionCount() const { return fConnections.load(); }

 private:
  void AcceptLoop();
  void Serve(int aSocket);

  Handler fHandler;
  int fListen = -1;
  int fPort = 0;
  std::atomic<bool> fStop{false};
  std::atomic<int> fConnections{0};
  mutable std::mutex fLock;
  std::vector<HttpRequest> fRequests;
  std::vector<int> fSockets;
  std::vector<std::thread> fThreads;
  std::thread fAcceptor;
};

// A port on 127.0.0.1 whose listen queue is full, so that a further connect gets no
// answer and runs into its time-out.
class UnansweredPort {
 public:
  UnansweredPort();
  ~UnansweredPort();
  UnansweredPort(const UnansweredPort&) = delete;
  UnansweredPort& operator=(const UnansweredPort&) = delete;
  int Port() const { return fPort; }

 private:
  int fListen = -1;
  int fPort = 0;
  std::vector<int> fFillers;
};

// A port on 127.0.0.1 where nothing listens (connections are refused).
int ClosedPort();

// Lower-case hexadecimal MD5 of a text.
std::string Md5Hex(const std::string& aText);
// Checks an "Authorization: Digest ..." header (qop auth or none, MD5) for a request.
bool DigestAuthorizationValid(const HttpRequest& aRequest, const std::string& aUser, const std::string& aPassword,
                              const std::string& aRealm, const std::string& aNonce);

}  // namespace zvtest
