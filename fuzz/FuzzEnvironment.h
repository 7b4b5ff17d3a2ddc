#pragma once
// What every harness shares: a private log root, no real COM port, calls through the
// exported functions as a host makes them, and the local ends the network calls reach.

#include <cstddef>
#include <cstdint>
#include <string>

#include "ZVPA_LORVANI_10.h"

namespace zvfuzz {

// The folder that ZV_LOG_DIR names for the whole run (set before the library loads:
// a temporary folder unless the caller gave one).
std::string LogRoot();

// A port on 127.0.0.1 where nothing listens: connections to it are refused at once.
int ClosedPort();

// Sends every HTTP(S) request of the process through a proxy on a closed local port,
// so that no request text, whatever URL it names, reaches the network.
void RefuseEveryConnection();
// No proxy for any host: requests go where their URL says (the local answer server).
void ConnectDirectly();

// Calls an exported command as a host does and frees what it answered. Fails the run
// (abort) when the answer breaks the boundary's contract.
struct Answer {
  std::u16string Response;
  std::u16string Error;
  int Result = 0;
};
Answer Call(int (*aCommand)(BSTR, BSTR*, BSTR*), const std::u16string& aRequest);

// The bytes of a fuzz input as request text: each byte one code unit (Latin-1), or
// pairs of bytes as little-endian UTF-16 code units (lone surrogates and all).
std::u16string Widen(const uint8_t* aData, size_t aSize);
std::u16string Utf16(const uint8_t* aData, size_t aSize);

// Closes every device the library has open and starts the handles from 0 again, so
// that each input starts from the library's state after loading.
void ForgetDevices();

// An HTTP server on 127.0.0.1 that answers every request with the bytes last given to
// SetAnswer and closes the connection. It serves on a thread of its own for the rest of
// the process.
class AnswerServer {
 public:
  static AnswerServer& Instance();
  int Port() const { return fPort; }
  void SetAnswer(std::string aBytes);

 private:
  AnswerServer();
  void Serve();
  int fListen = -1;
  int fPort = 0;
};

}  // namespace zvfuzz
