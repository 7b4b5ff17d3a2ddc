#pragma once
// Starts the local provider simulator lorvani-sim on a free port of 127.0.0.1 for one
// test, reads its base URL, gives the path of its CA certificate, lists the requests
// it received, sets faults, and stops it again (SIGTERM), expecting a clean exit.
//
// The program is found through the environment variable ZV_LORVANI_SIM, or else at
// the path the build compiled in. A Windows build under Wine runs the Linux program
// (ZV_LORVANI_SIM names its Linux path), beside a watcher that ends it once the test
// process has gone; the CA file's path is then a Windows one (on drive Z:).

#include <string>
#include <utility>
#include <vector>

#include <csignal>

#include <sys/types.h>

namespace zvtest {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One request as the simulator received it.
struct SimRequest {
  std::string Method;
  std::string Path;  // the request target as sent
  HeaderList Headers;
  std::string Body;  // the exact bytes
  int Status = 0;    // the answer's status; 0 when none was sent
  std::string State;  // pending, answered, closed (no answer sent) or client-left

  // The value of the first header of that name (any case); empty when there is none.
  std::string Header(const std::string& aName) const;
  bool HasHeader(const std::string& aName) const;
};

// The outcome of a request sent with LorvaniSim::Send.
struct SimReply {
  bool Answered = false;  // false: no answer (connection closed, TLS refused, ...)
  int Status = 0;
  HeaderList Headers;
  std::string Body;

  std::string Header(const std::string& aName) const;
};

class LorvaniSim {
 public:
  // aArguments are added to "--port 0 --ca-out <file> --quiet".
  explicit LorvaniSim(std::vector<std::string> aArguments = {});
  // Stops the simulator when still running; a non-zero exit fails the test.
  ~LorvaniSim();
  LorvaniSim(const LorvaniSim&) = delete;
  LorvaniSim& operator=(const LorvaniSim&) = delete;

  // "https://127.0.0.1:<port>/v1/instore/" (the --listen address in place of 127.0.0.1)
  const std::string& BaseUrl() const { return fBaseUrl; }
  // "https://127.0.0.1:<port>"
  std::string Origin() const;
  // The address it listens on, without brackets ("127.0.0.1", "::1").
  const std::string& Host() const { return fHost; }
  int Port() const { return fPort; }
  // The simulator's CA certificate (PEM).
  const std::string& CaFile() const { return fCaFile; }

  std::vector<SimRequest> Requests() const;
  void ClearRequests() const;
  // The next order or refund request gets this fault ("FAULT-500", ...).
  void SetFault(const std::string& aFault) const;
  // GET /_sim/orders: the orders as JSON.
  std::string OrdersJson() const;

  // One HTTPS request to the simulator (verifying its certificate unless it runs
  // with --hostname-mismatch). A body is sent with Content-Length; aHeaders go as given.
  // The client gives up (and closes) after aReadTimeoutSeconds without an answer.
  SimReply Send(const std::string& aMethod, const std::string& aPath, const std::string& aBody = {},
                const HeaderList& aHeaders = {}, int aReadTimeoutSeconds = 60) const;

  // aSignal (SIGTERM or SIGINT), then the exit status (-1 when it had to be killed or
  // did not exit normally).
  int Stop(int aSignal = SIGTERM);

  // Runs lorvani-sim with aArguments to its end (for options that do not serve, such
  // as --help); its exit status, with its standard output in aOutput.
  static int RunToEnd(const std::vector<std::string>& aArguments, std::string& aOutput);

 private:
  static std::string ProgramPath();
  // Takes the base URL and its port from the simulator's first line (stops it and
  // throws when the line is not one).
  void TakeBaseUrl(const std::string& aLine);

  pid_t fPid = -1;
  std::string fDirectory;
  std::string fCaFile;
  std::string fBaseUrl;
  std::string fOrigin;
  std::string fHost;
  int fPort = 0;
  bool fVerify = true;
};

}  // namespace zvtest
