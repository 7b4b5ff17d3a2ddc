#pragma once
// Connection settings of a request and the enumerations of the I/O handlers.

#include <cstdint>

#include "base/Text.h"

namespace zv {

enum class zvConnectionType : uint8_t { OPOS, TCP, HTTP, Serial, DLL, Com, Spool };
enum class zvParity : uint8_t { None, Even, Odd };
enum class zvHTTPAuthType : uint8_t { at_None, at_Basic, at_Digest, at_Bearer };

// The connection settings of one request. An I/O handler copies what it needs from
// them while it is constructed; they die with the request.
class kConnection {
 public:
  static constexpr int32_t kDefaultTimeout = 1000;  // milliseconds

  const Text& Address() const { return fAddress; }
  void SetAddress(Text a) { fAddress = std::move(a); }
  int32_t Port() const { return fPort; }
  void SetPort(int32_t a) { fPort = a; }
  const Text& URL() const { return fURL; }
  void SetURL(Text a) { fURL = std::move(a); }
  zvHTTPAuthType AuthType() const { return fAuthType; }
  void SetAuthType(zvHTTPAuthType a) { fAuthType = a; }
  const Text& User() const { return fUser; }
  void SetUser(Text a) { fUser = std::move(a); }
  const Text& Password() const { return fPassword; }
  void SetPassword(Text a) { fPassword = std::move(a); }
  const Text& SerialPort() const { return fSerialPort; }
  void SetSerialPort(Text a) { fSerialPort = std::move(a); }
  int32_t Speed() const { return fSpeed; }
  void SetSpeed(int32_t a) { fSpeed = a; }
  int32_t DataBits() const { return fDataBits; }
  void SetDataBits(int32_t a) { fDataBits = a; }
  zvParity Parity() const { return fParity; }
  void SetParity(zvParity a) { fParity = a; }
  int32_t StopBits() const { return fStopBits; }
  void SetStopBits(int32_t a) { fStopBits = a; }
  const Text& DeviceName() const { return fDeviceName; }
  void SetDeviceName(Text a) { fDeviceName = std::move(a); }
  const Text& LibraryName() const { return fLibraryName; }
  void SetLibraryName(Text a) { fLibraryName = std::move(a); }
  const Text& PrinterName() const { return fPrinterName; }
  void SetPrinterName(Text a) { fPrinterName = std::move(a); }
  zvConnectionType ConnectionType() const { return fConnectionType; }
  void SetConnectionType(zvConnectionType a) { fConnectionType = a; }
  int32_t ConnectTimeOut() const { return fConnectTimeout; }
  // Only a value greater than 0 replaces the time-out.
  void SetConnectTimeOut(int32_t a) {
    if (a > 0) fConnectTimeout = a;
  }
  int32_t ReadTimeOut() const { return fReadTimeout; }
  void SetReadTimeOut(int32_t a) {
    if (a > 0) fReadTimeout = a;
  }

  // Text codecs of the configuration: any letter case; the failures quote the
  // argument as given.
  static zvConnectionType ConvertConnectionType(TextView aString);
  static zvParity ConvertParity(TextView aString);
  // Unknown texts give at_None; there is no text for at_Bearer.
  static zvHTTPAuthType ConvertAuthType(TextView aString);

 private:
  Text fAddress;
  int32_t fPort = 0;
  Text fURL;
  zvHTTPAuthType fAuthType = zvHTTPAuthType::at_None;
  Text fUser;
  Text fPassword;
  Text fSerialPort;
  int32_t fSpeed = 0;
  int32_t fDataBits = 0;
  zvParity fParity = zvParity::None;
  int32_t fStopBits = 0;
  Text fDeviceName;
  Text fLibraryName;
  Text fPrinterName;
  zvConnectionType fConnectionType = zvConnectionType::OPOS;
  int32_t fConnectTimeout = kDefaultTimeout;
  int32_t fReadTimeout = kDefaultTimeout;
};

}  // namespace zv
