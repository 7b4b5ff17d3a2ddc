#pragma once
// One serial port used exclusively: a blocking, byte-oriented channel with the line
// settings, read time-outs, input count, purge and modem lines a serial driver needs.
// Failures are reported in the system error numbering the driver's messages show.

#include <cstddef>
#include <cstdint>
#include <string>

namespace zv::platform {

// Error codes of a failed open.
constexpr uint32_t kSerialNotFound = 2;     // no such port
constexpr uint32_t kSerialAccessDenied = 5; // held by someone else, or not permitted
constexpr uint32_t kSerialGeneralFailure = 31;
// Error flags of a failed read: the device reported an I/O error (or hung up).
constexpr uint32_t kSerialIOError = 0x0400;

// The line settings as applied: speed in bits per second, data bits (5 to 8), stop
// bits as 0 (one), 1 (one and a half) or 2 (two), parity as 0 none, 1 odd, 2 even,
// 3 mark, 4 space.
struct SerialLine {
  uint32_t Baud = 0;
  uint8_t DataBits = 0;
  uint8_t StopBits = 0;
  uint8_t Parity = 0;
};

enum class SerialLineResult { Ok, ReadFailed, WriteFailed };
enum class SerialModemLine { DTR, RTS };

class SerialPort {
 public:
  SerialPort() = default;
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // The device of COMn: $ZV_DEVICES/comN when ZV_DEVICES is set, else /dev/ttyS(N-1).
  static std::string DevicePath(uint32_t aNumber);

  // Opens COMn for this object alone (also against other openings by the same user or
  // root), as a Windows port is: a raw byte pipe without line discipline (Linux: no
  // input or output processing, echo, signal characters or software flow control;
  // hardware flow control as configured) whose input starts empty. 0 on success,
  // otherwise the system's error code (Windows) or one of the codes above (Linux); the
  // port then stays closed.
  uint32_t Open(uint32_t aNumber);
  bool IsOpen() const { return fHandle >= 0; }
  // Releases the port (and its exclusive hold); nothing when closed.
  void Close();

  // Reads the port's settings, changes only speed, data bits, stop bits (when 0 to 2)
  // and parity (when 0 to 4), and writes them back; every other setting stays as read.
  // A setup the port refuses leaves its former settings; only a pseudo-terminal, which
  // carries eight bits without parity whatever it is given, may drop those two.
  SerialLineResult ApplyLine(const SerialLine& aLine);
  // The line settings last written by ApplyLine (what the driver asked for, even where
  // the device, such as a pseudo-terminal, ignores part of it).
  const SerialLine& AppliedLine() const { return fApplied; }

  // A read returns when the requested count arrived, when aIntervalMs passed between
  // two bytes after the first, or when aTotalMs passed in all (0: no such bound).
  bool SetReadTimeouts(uint32_t aTotalMs, uint32_t aIntervalMs);
  // Bytes read (0 on a time-out), or -1 with aErrorFlags set when the read failed; a
  // failed read returns no earlier than its total time-out would have.
  int32_t Read(void* aBuffer, uint32_t aCount, uint32_t& aErrorFlags);
  // Blocks until every byte is written and has left the port, as a Windows write without
  // write time-outs does (a pseudo-terminal hands them to its other side at once): a
  // purge after it drops none of them. False on failure (aWritten says how many were
  // handed to the system).
  bool Write(const char* aBytes, size_t aCount, size_t& aWritten);
  // Bytes waiting in the input queue; -1 when that cannot be asked.
  int32_t BytesPending() const;
  // Discards unread input and unsent output.
  bool Purge();
  // Discards unread input only.
  bool PurgeInput();
  // Raises or drops a modem line; a port without modem lines ignores it.
  void SetModemLine(SerialModemLine aLine, bool aAssert);

 private:
  intptr_t fHandle = -1;  // the system's handle or descriptor; -1 when closed
#ifdef _WIN32
  [[maybe_unused]] intptr_t fHold = -1;  // the named object that marks the port as held (Windows: see Open)
#endif
  uint32_t fTotalMs = 0;
  uint32_t fIntervalMs = 0;
  SerialLine fApplied;
};

}  // namespace zv::platform
