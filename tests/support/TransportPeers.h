#pragma once
// Peers of the HTTPS transport that the Linux machine provides as programs: tinyproxy
// (with or without basic authentication, or allowing tunnels to port 443 only) and
// openssl s_server speaking one old TLS version under a lax OpenSSL configuration.
// Each runs as a child of the test on 127.0.0.1, ends with it, and writes what it saw
// into a file that the test reads.

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace zvtest {

// A program started with its output (standard output and error) in a file, stopped
// when the object goes.
class ChildProgram {
 public:
  // aEnvironment: "NAME=value" entries added to the test's environment.
  ChildProgram(const std::vector<std::string>& aArguments, const std::vector<std::string>& aEnvironment,
               const std::string& aOutputFile);
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  // What the program has written so far.
  std::string Output() const;
  bool Running();

 private:
  pid_t fPid = -1;
  std::string fOutputFile;
};

// A folder of its own under the temporary folder, removed with the object.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& aPrefix);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  std::string File(const std::string& aName) const { return fPath + "/" + aName; }

 private:
  std::string fPath;
};

class TinyProxy {
 public:
  struct Options {
    std::string User;  // basic authentication when not empty
    std::string Password;
    bool TunnelsTo443Only = false;  // any other CONNECT is refused with 403
  };
  explicit TinyProxy(const Options& aOptions);
  TinyProxy() : TinyProxy(Options()) {}

  int Port() const { return fPort; }
  // "127.0.0.1:<port>"
  std::string HostAndPort() const;
  // The targets of the tunnels it was asked for ("127.0.0.1:8443"), from its log.
  std::vector<std::string> Tunnels() const;

 private:
  ScratchFolder fFolder{"tinyproxy"};
  int fPort = 0;
  std::unique_ptr<ChildProgram> fProgram;
};

// openssl s_server offering only TLS 1.0 ("tls1") or TLS 1.1 ("tls1_1"), with a
// self-signed certificate for 127.0.0.1, answering every request with its status page.
class OldTlsServer {
 public:
  explicit OldTlsServer(const std::string& aVersion);

  int Port() const { return fPort; }
  // "https://127.0.0.1:<port>/v1/instore/"
  std::string BaseUrl() const;
  // Its certificate, which is its own CA.
  std::string CaFile() const { return fFolder.File("server.pem"); }
  // Whether application data (a request) ever arrived over a completed handshake.
  bool ApplicationDataReceived() const;
  // An OpenSSL configuration that allows TLS 1.0 and every key and digest (security
  // level 0), as some machines have it: what the server runs under, and what the
  // lax-openssl: run of the transport tests gives the driver.
  static std::string LaxOpenSslConfig() { return ZV_LAX_OPENSSL_CONF; }

 private:
  ScratchFolder fFolder{"old-tls"};
  int fPort = 0;
  std::unique_ptr<ChildProgram> fProgram;
};

}  // namespace zvtest
