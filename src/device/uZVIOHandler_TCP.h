#pragma once
// The I/O handler of connection type TCP: a plain TCP connection to Address:Port.
// Text goes out one byte per character (8-bit, or a code page when CodePage is set)
// and comes back one character per byte. Read failures are logged and answered with
// what arrived; Write lets its failures propagate.

#include <cstdint>
#include <memory>
#include <string>

#include "device/uZVIOHandler_Base.h"

namespace zv {

namespace platform {
class TcpClient;
}

class kIOHandler_TCP : public kIOHandler {
 public:
  // The failure of every read and write before the first Connect and after Disconnect.
  static constexpr char16_t kNotConnected[] = u"Not connected";

  // Host := aConnection's Address, Port := the low 16 bits of its Port. Connects nothing.
  kIOHandler_TCP(const kConnection* aConnection, const Text& aDirectory, const Text& aFileName);
  // Closes the connection, then writes the STOP banner.
  ~kIOHandler_TCP() override;

  Text ClassName() const override { return u"kIOHandler_TCP"; }

  // True while the connection is up; false once the peer has ended it and every byte
  // it sent has been read.
  bool Connected() override;
  // Connect banner, Host= and Port= lines, then connects within ConnectTimeout unless
  // already connected. A failure is logged as "Connect Error" with its reason, a
  // time-out as "Connect Timeout"; both answer false.
  bool Connect() override;
  bool Disconnect() override;
  // Drops the bytes received but not yet read; the socket is not drained.
  void ClearBuffers() override;
  // Logs and sends aMessage; true. Failures (not connected, connection lost, a code
  // page without a table) raise.
  bool Write(const Text& aMessage) override;
  // Each wait for a byte lasts at most ReadTimeout; its expiry is an error. Results
  // hold one character per byte.
  Text ReadUpTo(const std::vector<uint8_t>& aChars) override;
  Text ReadChars(int32_t aCharsNum) override;
  // Reads until the peer closes (the normal end) or ReadTimeout has passed.
  Text ReadAll() override;
  Text DecodeError(int32_t) override { return {}; }
  // Bytes received but not yet read are waiting; the socket is not polled.
  bool InputBufferContainsData() override { return !fInput.empty(); }
  void SetParameter(const Text&, const Text&) override {}

  const Text& Host() const { return fHost; }
  uint16_t Port() const { return fPort; }

  // aText as bytes of code page aCodePage (0: the 8-bit encoding, characters above 255
  // become "?"). Characters the code page lacks become "?"; a code page without a
  // table raises.
  static std::string Encode(const Text& aText, int32_t aCodePage);

 private:
  // The next byte received; raises on the read time-out, on a closed connection (a
  // kClosedByPeer) and on any other failure.
  uint8_t ReadByte();
  // Waits at most ReadTimeout for more bytes into the input buffer; raises as ReadByte.
  void Receive();

  std::unique_ptr<platform::TcpClient> fClient;
  Text fHost;
  uint16_t fPort = 0;
  std::string fInput;  // received, not yet read
};

}  // namespace zv
