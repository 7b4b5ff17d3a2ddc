// Any bytes as request text for the request readers (the configuration part and every
// command section), the typed node readers and their value conversions, and the
// receipt text helpers. Failures must be the library's own exception, never a crash.
//
// Input: one byte choosing how the rest becomes text (even: each byte one code unit;
// odd: pairs of bytes as little-endian UTF-16 code units), then the text.

#include <pugixml.hpp>

#include "FuzzEnvironment.h"
#include "base/Exception.h"
#include "driver/uZVPaymentWrapper.h"
#include "payment/uZvPayment.h"
#include "receipt/uZvReceipt.h"

namespace {

using namespace zv;

template <typename F>
void Tolerate(F&& aRead) {
  try {
    aRead();
  } catch (const kException&) {
    // A refused value: what the readers do with text they cannot take.
  }
}

void ReadRequest(const Text& aText) {
  using enum zvPaymentHandlerDocumentType;
  for (const zvPaymentHandlerDocumentTypes types :
       {zvPaymentHandlerDocumentTypes{dt_Open}, zvPaymentHandlerDocumentTypes{dt_Pay},
        zvPaymentHandlerDocumentTypes{dt_PayReprint}, zvPaymentHandlerDocumentTypes{dt_DayClose},
        zvPaymentHandlerDocumentTypes{dt_GetTotals}}) {
    Tolerate([&] {
      kPaymentHandler handler;
      handler.Deserialize(aText, types);
      (void)handler.GetParameter(u"Bearer");
    });
  }
}

void ReadNodes(const Text& aText) {
  pugi::xml_document document;
  const std::string utf8 = ToUtf8(aText);
  if (!document.load_buffer(utf8.data(), utf8.size(), kRequestParseFlags, pugi::encoding_utf8)) return;
  pugi::xml_node root = document.document_element();
  for (pugi::xml_node parent : {root, root.first_child(), krptUtil::FindChild(root, u"Payment")}) {
    for (const char16_t* name : {u"A", u"Amount", u"Handle", u"Driver", u"PaymentDateTime", u"x:A", u"Payment"}) {
      Tolerate([&] { (void)krptUtil::GetNodeValueAsString(parent, name); });
      Tolerate([&] { (void)krptUtil::GetNodeValueAsBoolean(parent, name); });
      Tolerate([&] { (void)krptUtil::GetNodeValueAsCurrency(parent, name); });
      Tolerate([&] { (void)krptUtil::GetNodeValueAsInteger(parent, name); });
      Tolerate([&] { (void)krptUtil::GetNodeValueAsDateTime(parent, name); });
      (void)krptUtil::TryGetNodeValueAsDateTime(parent, name);
      Tolerate([&] { (void)krptUtil::GetAttributeValueAsString(parent, name); });
      (void)krptUtil::HasNode(parent, name);
    }
  }
  Tolerate([&] { krptUtil::AddNode(root, u"Added", aText); });
}

void Convert(const Text& aText) {
  Tolerate([&] { (void)krptUtil::TextToBoolean(aText); });
  Tolerate([&] { (void)krptUtil::TextToCurrency(aText); });
  Tolerate([&] { (void)krptUtil::TextToInteger(aText); });
  Tolerate([&] { (void)krptUtil::ISO8601ToDateTime(aText); });
  (void)krptUtil::NormalizeText(aText);
  (void)kPaymentWrapper::EscapeXML(aText);
}

// A word a decoder takes must come back from its value's encoding to the same value.
template <class Decode, class Encode>
void RoundTrip(const Text& aText, Decode aDecode, Encode aEncode) {
  Tolerate([&] {
    const auto value = aDecode(aText);
    if (!(aDecode(aEncode(value)) == value)) __builtin_trap();
  });
}

void DecodeVocabulary(const Text& aText) {
  RoundTrip(aText, krptUtil::DecodeTaxType, krptUtil::EncodeTaxType);
  RoundTrip(aText, krptUtil::DecodePaymentType, krptUtil::EncodePaymentType);
  RoundTrip(aText, krptUtil::DecodeReceiptType, krptUtil::EncodeReceiptType);
  RoundTrip(aText, krptUtil::DecodeReferenceType, krptUtil::EncodeReferenceType);
  RoundTrip(aText, krptUtil::DecodeAlignment, krptUtil::EncodeAlignment);
  RoundTrip(aText, krptUtil::DecodeBarcodeType, krptUtil::EncodeBarcodeType);
  RoundTrip(aText, krptUtil::DecodeEffect, krptUtil::EncodeEffect);
  RoundTrip(aText, krptUtil::DecodeEffects, krptUtil::EncodeEffects);
  RoundTrip(aText, krptUtil::DecodeImageSource, krptUtil::EncodeImageSource);
  Tolerate([&] { (void)krptUtil::DecodeLineType(aText); });
  Tolerate([&] { (void)krptUtil::DecodeLineAttribute(aText); });
  Tolerate([&] { (void)krptUtil::DecodeEJReportType(aText); });
  Tolerate([&] { (void)krptUtil::DecodeEJReportDestination(aText); });
  Tolerate([&] { (void)krptUtil::DecodeEJRequestType(aText); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  if (aSize == 0) return -1;
  const std::u16string text =
      (aData[0] & 1) != 0 ? zvfuzz::Utf16(aData + 1, aSize - 1) : zvfuzz::Widen(aData + 1, aSize - 1);
  ReadRequest(text);
  ReadNodes(text);
  Convert(text);
  DecodeVocabulary(text);
  return 0;
}
