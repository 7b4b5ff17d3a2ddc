#include "base/Exception.h"
#include "device/uZVIOHandler_Base.h"
#include "device/uZVIOHandler_Com.h"
#include "device/uZVIOHandler_Dll.h"
#include "device/uZVIOHandler_HTTP.h"
#include "device/uZVIOHandler_OPOS.h"
#include "device/uZVIOHandler_Serial.h"
#include "device/uZVIOHandler_Spool.h"
#include "device/uZVIOHandler_TCP.h"
#include "device/uZvDeviceHandler.h"

namespace zv {

std::unique_ptr<kIOHandler> kDeviceHandler::CreateIOHandler(const Text& aLogDir) const {
  const Text baseName = fDriver + u"_" + fLogId;
  std::unique_ptr<kIOHandler> handler;
  switch (fConnection.ConnectionType()) {
    case zvConnectionType::OPOS:
      handler = std::make_unique<kIOHandler_OPOS>(&fConnection, aLogDir, baseName);
      break;
    case zvConnectionType::HTTP:
      handler = std::make_unique<kIOHandler_HTTP>(&fConnection, aLogDir, baseName);
      break;
    case zvConnectionType::Serial:
      handler = std::make_unique<kIOHandler_Serial>(&fConnection, aLogDir, baseName);
      break;
    case zvConnectionType::TCP:
      handler = std::make_unique<kIOHandler_TCP>(&fConnection, aLogDir, baseName);
      break;
    case zvConnectionType::Spool:
      handler = std::make_unique<kIOHandler_Spool>(&fConnection, aLogDir, baseName);
      break;
    case zvConnectionType::DLL:
      handler = std::make_unique<kIOHandler_Dll>(&fConnection, aLogDir, baseName);
      break;
    case zvConnectionType::Com:
      handler = std::make_unique<kIOHandler_Com>(&fConnection, aLogDir, baseName);
      break;
  }
  handler->SetHexLog(LowerCase(GetParameter(u"HexLog")) == u"true");
  return handler;
}

}  // namespace zv
