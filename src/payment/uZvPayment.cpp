#include "payment/uZvPayment.h"

namespace zv {

void kPaymentHandler::Deserialize(TextView aXml, zvPaymentHandlerDocumentTypes aDocumentTypes) {
  std::unique_ptr<pugi::xml_document> document = kDeviceHandler::Deserialize(aXml);
  (void)aDocumentTypes;
}

}  // namespace zv
