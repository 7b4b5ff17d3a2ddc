#include "base/Exception.h"
#include "device/uZVIOHandler_Base.h"
#include "device/uZVIOHandler_Com.h"
#include "device/uZVIOHandler_Dll.h"
#include "device/uZVIOHandler_HTTP.h"
#include "device/uZVIOHandler_Serial.h"
#include "device/uZVIOHandler_TCP.h"
#include "device/uZvDeviceHandler.h"

namespace zv {

namespace {

Text ConnectionTypeName(zvConnectionType aType) {
  switch (aType) {
    case zvConnectionType::OPOS: return u"OPOS";
    case zvConnectionType::TCP: return u"TCP";
    case zvConnectionType::HTTP: return u"HTTP";
    case zvConnectionType::Serial: return u"Serial";
    case zvConnectionType::DLL: return u"DLL";
    case zvConnectionType::Com: return u"Com";
    case zvConnectionType::Spool: return u"Spool";
  }
  return IntToText(static_cast<int>(aType));
}

}  // namespace

std::unique_ptr<kIOHandler> kDeviceHandler::CreateIOHandler(const Text& aLogDir) const {
  const Text baseName = fDriver + u"_" + fLogId;
  std::unique_ptr<kIOHandler> handler;
  switch (fConnection.ConnectionType()) {
    case zvConnectionType::HTTP:
      handler = std::make_unique<kIOHandler_HTTP>(&fConnection, aLogDir, baseName);
      break;
    case zvConnectionType::Serial:
      handler = std::make_unique<kIOHandler_Serial>(&fConnection, aLogDir, baseName);
      break;
    case zvConnectionType::TCP:
      handler = std::make_unique<kIOHandler_TCP>(&fConnection, aLogDir, baseName);
      break;
    case zvConnectionType::DLL:
      handler = std::make_unique<kIOHandler_Dll>(&fConnection, aLogDir, baseName);
      break;
    case zvConnectionType::Com:
      handler = std::make_unique<kIOHandler_Com>(&fConnection, aLogDir, baseName);
      break;
    default:
      // A type without a handler in this build is refused rather
      // than served by a handler of the wrong kind.
      throw kException(u"Connection type " + ConnectionTypeName(fConnection.ConnectionType()) +
                       u" is not supported by this driver");
  }
  handler->SetHexLog(LowerCase(GetParameter(u"HexLog")) == u"true");
  return handler;
}

}  // namespace zv
