#include "payment/uZvPayment.h"

#include "base/Exception.h"
#include "receipt/uZvReceipt.h"

namespace zv {

namespace {

template <typename Value>
struct CodeEntry {
  const char16_t* code;
  Value value;
};

// Looks an exact code up in its table; an empty text leaves aField as it is.
template <typename Value, size_t N>
void DecodeCode(const Text& aText, const CodeEntry<Value> (&aTable)[N], Value& aField, const Text& aPrefix,
                const char16_t* aAllowed) {
  if (aText.empty()) return;
  for (const auto& entry : aTable) {
    if (aText == entry.code) {
      aField = entry.value;
      return;
    }
  }
  throw kException(aPrefix + QuotedValue(aText) + u" invalid. Allowed values are: " + aAllowed + u".");
}

constexpr CodeEntry<ZvPrintLocation> kPrintLocations[] = {{u"ECR", ZvPrintLocation::pl_ECR},
                                                          {u"EFT", ZvPrintLocation::pl_EFT}};
constexpr CodeEntry<ZvPaymentChannel> kChannels[] = {{u"STD", ZvPaymentChannel::pc_Standard},
                                                     {u"MVP", ZvPaymentChannel::pc_MealVoucherProvider},
                                                     {u"NHS", ZvPaymentChannel::pc_NationalHealthService}};
constexpr CodeEntry<zvPaymentAction> kActions[] = {
    {u"PAY", zvPaymentAction::Pay}, {u"REFUND", zvPaymentAction::Refund}, {u"VOID", zvPaymentAction::Void}};
constexpr CodeEntry<zvPaymentPhase> kPhases[] = {{u"NONE", zvPaymentPhase::None},
                                                 {u"BEGIN", zvPaymentPhase::Begin},
                                                 {u"DO", zvPaymentPhase::Do},
                                                 {u"COMMIT", zvPaymentPhase::Commit},
                                                 {u"ROLLBACK", zvPaymentPhase::Rollback}};

// The messages name the codes hosts are meant to send; VOID and NONE are accepted
// without being named.
void DecodePrintLocation(const Text& aText, ZvPrintLocation& aField) {
  DecodeCode(aText, kPrintLocations, aField, u"Payment Location ", u"ECR,EFT");
}

pugi::xml_node FindSection(const pugi::xml_document& aDocument, const char16_t* aName) {
  pugi::xml_node section = krptUtil::FindChild(aDocument.document_element(), aName);
  if (!section) throw kException(Text(aName) + u" node not found");
  return section;
}

}  // namespace

void kPaymentReceipt::ReadSection(const pugi::xml_document& aDocument) {
  using U = krptUtil;
  const pugi::xml_node p = FindSection(aDocument, u"Payment");
  fMerchantCode = U::GetNodeValueAsString(p, u"MerchantCode");
  fStoreCode = U::GetNodeValueAsString(p, u"StoreCode");
  fTillCode = U::GetNodeValueAsString(p, u"TillCode");
  fReference = U::GetNodeValueAsString(p, u"Reference");
  fReceiptSubType = U::GetNodeValueAsString(p, u"ReceiptSubType");
  fAmount = U::GetNodeValueAsCurrency(p, u"Amount");
  fCurrency = U::GetNodeValueAsString(p, u"Currency");
  fTipAmount = U::GetNodeValueAsCurrency(p, u"TipAmount");
  fRequestTipAmount = U::GetNodeValueAsBoolean(p, u"RequestTipAmount");
  fAttributes = U::GetNodeValueAsString(p, u"Attributes");
  fMaxItems = U::GetNodeValueAsInteger(p, u"MaxItems");
  fMaxAmount = U::GetNodeValueAsCurrency(p, u"MaxAmount");
  fTokenizeCard = U::GetNodeValueAsBoolean(p, u"TokenizeCard");
  fTokenReference = U::GetNodeValueAsString(p, u"TokenReference");
  if (const int32_t columns = U::GetNodeValueAsInteger(p, u"ReceiptColCount"); columns > 0) fReceiptColCount = columns;
  DecodePrintLocation(U::GetNodeValueAsString(p, u"PrintLocation"), fPrintLocation);

  // An empty channel, action or phase keeps the default.
  DecodeCode(U::GetNodeValueAsString(p, u"PaymentChannel"), kChannels, fPaymentChannel, u"Payment Channel ",
             u"STD,MVP,NHS");
  DecodeCode(U::GetNodeValueAsString(p, u"Action"), kActions, fAction, u"Action ", u"PAY,REFUND");
  DecodeCode(U::GetNodeValueAsString(p, u"Phase"), kPhases, fPhase, u"Phase ", u"BEGIN,DO,COMMIT,ROLLBACK");

  fOperatorId = U::GetNodeValueAsString(p, u"OperatorId");
  if (const pugi::xml_node reference = U::FindChild(p, u"RefundReference")) {
    fRefundReference.PaymentNumber = U::GetNodeValueAsString(reference, u"PaymentId");
    fRefundReference.PaymentDateTime = U::GetNodeValueAsDateTime(reference, u"PaymentDateTime");
  }
  fReceiptId = U::GetNodeValueAsString(p, u"ReceiptId");
  fRequestId = U::GetNodeValueAsString(p, u"RequestId");
}

void kPaymentReportSection::ReadSection(const pugi::xml_document& aDocument) {
  using U = krptUtil;
  const pugi::xml_node section = FindSection(aDocument, fElementName);
  fStoreCode = U::GetNodeValueAsString(section, u"StoreCode");
  fTillCode = U::GetNodeValueAsString(section, u"TillCode");
  DecodePrintLocation(U::GetNodeValueAsString(section, u"PrintLocation"), fPrintLocation);
  fReference = U::GetNodeValueAsString(section, u"Reference");
}

void kPaymentHandler::Deserialize(TextView aXml, zvPaymentHandlerDocumentTypes aDocumentTypes) {
  using enum zvPaymentHandlerDocumentType;
  const std::unique_ptr<pugi::xml_document> document = kDeviceHandler::Deserialize(aXml);
  if (aDocumentTypes.Contains(dt_Pay) || aDocumentTypes.Contains(dt_PayReprint))
    fPaymentReceipt.ReadSection(*document);
  else if (aDocumentTypes.Contains(dt_DayClose))
    fDayClose.ReadSection(*document);
  else if (aDocumentTypes.Contains(dt_GetTotals))
    fTotals.ReadSection(*document);
}

}  // namespace zv
