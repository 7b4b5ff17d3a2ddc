#include "device/uZVIOHandler_Base.h"

#include <chrono>

#include "log/uZV_LogWriter.h"

namespace zv {

kIOHandler::kIOHandler(const kConnection* aConnection, const Text& aDirectory, const Text& aFileName) {
  if (aConnection != nullptr) {
    fReadTimeout = aConnection->ReadTimeOut();
    fConnectTimeout = aConnection->ConnectTimeOut();
  }
  if (!aDirectory.empty() && !aFileName.empty()) {
    fLogger = std::make_unique<tZV_LogWriter>(aFileName, aDirectory, 0, true);
    fLogger->Write(tZV_MessageType::let_info, kStartBanner);
  }
}

kIOHandler::~kIOHandler() {
  if (fLogger) {
    try {
      fLogger->Write(tZV_MessageType::let_info, kStopBanner);
    } catch (...) {
      // A log without a file name cannot take the banner; closing goes on.
    }
  }
}

bool kIOHandler::Connect() {
  Debug(tZV_MessageType::let_info, Text(61, u'*'));
  Debug(tZV_MessageType::let_info, ClassName());
  Debug(tZV_MessageType::let_info, fVersion);
  Debug(tZV_MessageType::let_info, u"ConnectTimeout=" + IntToText(fConnectTimeout));
  Debug(tZV_MessageType::let_info, u"ReadTimeout=" + IntToText(fReadTimeout));
  return true;
}

void kIOHandler::WriteLog(tZV_MessageType aEntryType, const Text& aTitle, const Text& aMessage) {
  if (!fLogger) return;
  Text line = aTitle + u":" + aMessage;
  if (fHexLog) line += u" [" + TextToHex(aMessage) + u"]";
  fLogger->Write(aEntryType, line);
}

void kIOHandler::Debug(tZV_MessageType aEntryType, const Text& aMessage) {
  if (fLogger) fLogger->Write(aEntryType, aMessage);
}

zvWriteLogEvent kIOHandler::LogEvent() {
  return [this](tZV_MessageType aEntryType, const Text& aTitle, const Text& aMessage) {
    WriteLog(aEntryType, aTitle, aMessage);
  };
}

void kIOHandler::SetCustomError(int32_t aErrorCode, const Text& aErrorMessage) {
  fErrorFound = true;
  fErrorCode = aErrorCode;
  fErrorMessage = aErrorMessage;
}

void kIOHandler::ResetCustomError() {
  fErrorFound = false;
  fErrorCode = 0;
  fErrorMessage.clear();
}

void kIOHandler::ClearError(int32_t aErrorCode) {
  ResetCustomError();
  fErrorCode = aErrorCode;
}

Text kIOHandler::GetLogFileName() const { return fLogger ? fLogger->FileName() : Text(); }

bool kIOHandler::LogIsWritten() const {
  // Long enough for a line's every attempt on a busy machine; a writable file answers at
  // once.
  constexpr std::chrono::milliseconds kWait{3000};
  return !fLogger || !fLogger->HasDroppedLines(kWait);
}

void kIOHandler::SetTemporaryReadTimeout(int32_t aNewTimeout) {
  Debug(tZV_MessageType::let_info, u"Set Read Timeout to " + IntToText(aNewTimeout) + u"ms from " +
                                        IntToText(fReadTimeout) + u" ms");
  if (aNewTimeout > 0) {
    fTemporaryReadTimeout = fReadTimeout;
    fReadTimeout = aNewTimeout;
  }
}

void kIOHandler::ResetTemporaryReadTimeout() {
  Debug(tZV_MessageType::let_info, u"Reset Timeout to " + IntToText(fTemporaryReadTimeout) + u" ms");
  if (fTemporaryReadTimeout != 0) fReadTimeout = fTemporaryReadTimeout;
}

Text kIOHandler::TextToHex(TextView aText) {
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  Text result;
  result.reserve(aText.size() * 3);
  for (char16_t unit : aText) {
    if (!result.empty()) result += u' ';
    Text digits;
    unsigned value = unit;
    do {
      digits.insert(digits.begin(), kDigits[value & 0xF]);
      value >>= 4;
    } while (value != 0);
    if (digits.size() < 2) digits.insert(digits.begin(), u'0');
    result += digits;
  }
  return result;
}

Text kIOHandler::CurrencyToText(Currency aAmount) { return aAmount.ToText(); }

}  // namespace zv
