#pragma once
// The I/O handler of connection type Serial: text goes out as bytes of the system's ANSI
// code page, and comes in one byte at a time, each byte the character of its code, under
// the handler's read time-out.

#include <memory>

#include "device/uZVIOHandler_Base.h"

namespace zv {

class TComPort;

class kIOHandler_Serial : public kIOHandler {
 public:
  // Milliseconds of one single-byte read attempt.
  static constexpr uint32_t kAttemptTimeout = 100;

  // The port number is characters 4 to 6 of SerialPort; parity None, Even or Odd; stop
  // bits 1 or 2. Each bad setting raises, in that order. The port is not opened.
  kIOHandler_Serial(const kConnection* aConnection, const Text& aDirectory, const Text& aFileName);
  ~kIOHandler_Serial() override;

  Text ClassName() const override { return u"kIOHandler_Serial"; }

  bool Connected() override;
  // Connect banner and the line settings, then opens the port; its failures propagate.
  bool Connect() override;
  bool Disconnect() override;
  void ClearBuffers() override;
  // Logs and sends aMessage; characters outside the code page go as "?". Always true.
  bool Write(const Text& aMessage) override;
  // Everything up to and including the first terminator, or what arrived when the read
  // time-out passed (logged "Read Timeout"). A device that keeps sending without a
  // terminator ends the read one attempt after the time-out too.
  Text ReadUpTo(const std::vector<uint8_t>& aChars) override;
  // Exactly aCharsNum characters, or what arrived when the read time-out passed.
  Text ReadChars(int32_t aCharsNum) override;
  // Fails with "ReadAll Unsupported".
  Text ReadAll() override;
  bool InputBufferContainsData() override;
  Text DecodeError(int32_t) override { return {}; }
  void SetParameter(const Text&, const Text&) override {}

  const TComPort& Port() const { return *fComPort; }

 private:
  std::unique_ptr<TComPort> fComPort;
};

}  // namespace zv
