#pragma once
// The abstract channel of an open device. Besides the channel operations, which each
// subclass provides, the base owns the device's log (START and STOP banners, the
// connect banner, traffic lines with an optional hex dump) and its error state.

#include <cstdint>
#include <memory>
#include <vector>

#include "base/Currency.h"
#include "base/Text.h"
#include "base/uZV_Base_Defs.h"
#include "device/uZVIOHandler.h"

namespace zv {

class tZV_LogWriter;

class kIOHandler {
 public:
  // 61 characters each: the first and last lines of every device log.
  static constexpr char16_t kStartBanner[] = u"*************************** START ***************************";
  static constexpr char16_t kStopBanner[] = u"*************************** STOP ****************************";

  // Copies the time-outs of aConnection (both 0 without one). With a non-empty
  // directory and file name, opens a daily log aFileName_yyyymmdd.log in aDirectory
  // and writes the START banner; otherwise the handler has no log.
  kIOHandler(const kConnection* aConnection, const Text& aDirectory, const Text& aFileName);
  // Writes the STOP banner and closes the log after all its lines are written.
  // Subclasses release their channel first.
  virtual ~kIOHandler();
  kIOHandler(const kIOHandler&) = delete;
  kIOHandler& operator=(const kIOHandler&) = delete;

  // Virtual slots 0 and 2 to 11.
  virtual bool Connected() = 0;
  // Writes the connect banner and returns true; subclasses that open a channel call
  // it first.
  virtual bool Connect();
  virtual bool Disconnect() = 0;
  virtual void ClearBuffers() = 0;
  virtual bool Write(const Text& aMessage) = 0;
  virtual Text ReadUpTo(const std::vector<uint8_t>& aChars) = 0;
  virtual Text ReadChars(int32_t aCharsNum) = 0;
  virtual Text ReadAll() = 0;
  virtual Text DecodeError(int32_t aErrorCode) = 0;
  virtual bool InputBufferContainsData() = 0;
  virtual void SetParameter(const Text& aName, const Text& aValue) = 0;

  // The class name shown in the connect banner.
  virtual Text ClassName() const { return u"kIOHandler"; }

  // One line "title:message", followed by " [hex dump]" when HexLog is on. Nothing
  // without a log.
  void WriteLog(tZV_MessageType aEntryType, const Text& aTitle, const Text& aMessage);
  // One line holding the message unchanged. Nothing without a log.
  void Debug(tZV_MessageType aEntryType, const Text& aMessage);
  // A callback of the log's shape for helpers that log through this handler (the
  // handler must outlive it).
  zvWriteLogEvent LogEvent();

  // The error state: set and cleared only explicitly, never by logging.
  void SetCustomError(int32_t aErrorCode, const Text& aErrorMessage);
  void ResetCustomError();
  bool ErrorFound() const { return fErrorFound; }
  int32_t ErrorCode() const { return fErrorCode; }
  const Text& ErrorMessage() const { return fErrorMessage; }

  // Full path of the log file; empty without a log.
  Text GetLogFileName() const;
  // False when a line of the log could not be written to its file (an unwritable
  // folder or disk); waits a moment for the lines logged so far. True without a log.
  bool LogIsWritten() const;

  // Logs the change, then makes aNewTimeout the read time-out when it is greater than
  // 0, saving the current one.
  void SetTemporaryReadTimeout(int32_t aNewTimeout);
  // Logs the change, then restores the saved read time-out when one was saved. The
  // saved value stays.
  void ResetTemporaryReadTimeout();

  bool HexLog() const { return fHexLog; }
  void SetHexLog(bool a) { fHexLog = a; }
  int32_t ConnectTimeout() const { return fConnectTimeout; }
  void SetConnectTimeout(int32_t a) { fConnectTimeout = a; }
  int32_t ReadTimeout() const { return fReadTimeout; }
  void SetReadTimeout(int32_t a) { fReadTimeout = a; }
  const Text& Version() const { return fVersion; }
  void SetVersion(const Text& a) { fVersion = a; }
  int32_t CodePage() const { return fCodePage; }
  void SetCodePage(int32_t a) { fCodePage = a; }

 protected:
  // Every UTF-16 code unit in lower-case hex with at least two digits, separated by
  // single blanks ("41 42", "20ac"); empty for an empty text.
  static Text TextToHex(TextView aText);
  // Shortest decimal text with "." and no grouping (12.5, 100).
  static Text CurrencyToText(Currency aAmount);
  // Same effect as ResetCustomError, then ErrorCode := aErrorCode (ErrorFound stays
  // false): the code of a call whose failure is still being described.
  void ClearError(int32_t aErrorCode = 0);
  // Replaces the error message alone; ErrorFound and ErrorCode stay as they are.
  void SetErrorMessage(const Text& aErrorMessage) { fErrorMessage = aErrorMessage; }
  bool HasLog() const { return fLogger != nullptr; }

 private:
  bool fErrorFound = false;
  int32_t fErrorCode = 0;
  Text fErrorMessage;
  std::unique_ptr<tZV_LogWriter> fLogger;
  bool fHexLog = false;
  int32_t fConnectTimeout = 0;
  int32_t fReadTimeout = 0;
  int32_t fTemporaryReadTimeout = 0;
  Text fVersion;
  int32_t fCodePage = 0;
};

}  // namespace zv
