#pragma once
// A small blocking driver for one COM port: exclusive open, line settings applied on
// top of the port's own configuration, reads with a total time-out, writes, the input
// count, purging and the DTR and RTS lines. Every failure is a TComPortException.

#include <cstdint>
#include <memory>
#include <string>

#include "base/Exception.h"

namespace zv {

namespace platform {
class SerialPort;
}

enum class TStopBits : uint8_t { sbOne = 0, sbOneHalf = 1, sbTwo = 2 };
enum class TParity : uint8_t { ptNone = 0, ptOdd = 1, ptEven = 2, ptMark = 3, ptSpace = 4 };

class TComPortException : public kException {
 public:
  using kException::kException;
};

class TComPort {
 public:
  // The read time-out that no Read has written since the port was opened; as a time-out,
  // the longest one (49.7 days).
  static constexpr uint32_t kNoTimeout = 0xFFFFFFFFu;

  // Closed ports; nothing touches the device before Open.
  explicit TComPort(uint32_t ncom);
  TComPort(uint32_t ncom, uint32_t baud);
  TComPort(uint32_t ncom, uint32_t baud, uint8_t data, TStopBits stop, TParity parity);
  // Closes the port when it is open.
  ~TComPort();
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  // Opens COMn exclusively and applies the line settings; raises on failure, and the
  // port then stays closed and released.
  void Open();
  // Drops unread input and releases the port when it is open; what was written has gone
  // out already.
  void Close();
  // Bytes read (0 when the time-out passed without data), or -1 with the port's error
  // flags in ErrorCode. A timeout greater than 0 that differs from the one in force is
  // written to the port first (kNoTimeout, the longest one, always is); 0 keeps the
  // port's time-outs.
  int32_t Read(void* buffer, uint32_t nbytes, uint32_t timeout, uint32_t& ErrorCode);
  // True when every byte of S was written; it returns once they have left the port.
  bool WriteText(const std::string& S);
  // Changes speed, data bits, stop bits and parity on top of the port's other
  // settings; the fields change only when the port took them.
  void SetLineParameters(uint32_t baud, uint8_t data, TStopBits stop, TParity pty);
  // Bytes waiting in the input queue; 0 when that cannot be asked (a closed port).
  int32_t GetBytesPending();
  // Empties both directions of an open port; nothing on a closed one.
  void ClearBuffers();
  void SetDTR(bool assert);
  void SetRTS(bool assert);

  uint32_t ComNumber() const { return fComNumber; }
  uint32_t BaudRate() const { return fBaudRate; }
  uint8_t DataBits() const { return fDataBits; }
  TStopBits StopBits() const { return fStopBits; }
  TParity Parity() const { return fParity; }
  bool ComIsOpen() const { return fIsOpen; }
  uint32_t CurrentComTimeout() const { return fCurrentComTimeout; }
  Text DriverVersion() const { return u"1.0"; }
  // The device below, for what only it can tell (the line settings it was given).
  const platform::SerialPort& Port() const { return *fComHandle; }

 private:
  uint32_t WriteBuffer(const std::string& S, int32_t count);
  void SetReadTimeout(uint32_t timeout);
  [[noreturn]] void RaiseOpenError(uint32_t aCode);

  uint32_t fComNumber = 0;
  uint32_t fBaudRate = 9600;
  uint8_t fDataBits = 8;
  TStopBits fStopBits = TStopBits::sbOne;
  TParity fParity = TParity::ptNone;
  std::unique_ptr<platform::SerialPort> fComHandle;
  bool fIsOpen = false;
  uint32_t fCurrentComTimeout = kNoTimeout;
};

}  // namespace zv
