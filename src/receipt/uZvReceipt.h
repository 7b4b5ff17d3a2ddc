#pragma once
// Typed reading of request XML: the one way in which request values are read.
// Every reader looks among the direct children of a parent element only, by
// qualified or local name, exactly and with case, and takes the first match.

#include <pugixml.hpp>

#include "base/Currency.h"
#include "base/DateTime.h"
#include "base/Text.h"
#include "receipt/uZvReceipt_Vocabulary.h"

namespace zv {

// The parser flags of every request document: comments, processing instructions and
// a lone whitespace text node are kept, so that an element holding anything but one
// text node is recognised as such.
constexpr unsigned kRequestParseFlags =
    pugi::parse_default | pugi::parse_comments | pugi::parse_pi | pugi::parse_ws_pcdata_single;

class krptUtil {
 public:
  krptUtil() = delete;

  static Text GetNodeValueAsString(const pugi::xml_node& aParentNode, TextView aNodeName);
  static bool GetNodeValueAsBoolean(const pugi::xml_node& aParentNode, TextView aNodeName);
  static Currency GetNodeValueAsCurrency(const pugi::xml_node& aParentNode, TextView aNodeName);
  static int32_t GetNodeValueAsInteger(const pugi::xml_node& aParentNode, TextView aNodeName);
  static DateTime GetNodeValueAsDateTime(const pugi::xml_node& aParentNode, TextView aNodeName);
  // As GetNodeValueAsDateTime, but the zero date-time instead of any failure.
  static DateTime TryGetNodeValueAsDateTime(const pugi::xml_node& aParentNode, TextView aNodeName);
  static Text GetAttributeValueAsString(const pugi::xml_node& aNode, TextView aAttrName);
  static bool HasNode(const pugi::xml_node& aParentNode, TextView aNodeName);
  static pugi::xml_node AddNode(pugi::xml_node& aParentNode, TextView aNodeName, TextView aNodeValue);
  // Reduces a text to what a 7-bit receipt printer prints.
  static Text NormalizeText(TextView aText);

  // The child lookup shared by the readers; an empty node when absent.
  static pugi::xml_node FindChild(const pugi::xml_node& aParentNode, TextView aNodeName);

  // The value conversions of the readers, for texts that do not come from a node.
  static bool TextToBoolean(TextView aText);
  static Currency TextToCurrency(TextView aText);
  static int32_t TextToInteger(TextView aText);
  static DateTime ISO8601ToDateTime(TextView aText);

  // The receipt vocabulary. A decoder lower-cases its text (blanks are kept) and
  // fails with its enumeration's message unless it has a fixed value for unknown
  // words; an encoder gives the value's word, or the empty text for a value without.
  static zvReceiptTaxType DecodeTaxType(TextView aTaxType);
  static Text EncodeTaxType(zvReceiptTaxType aTaxType);
  static zvReceiptPaymentType DecodePaymentType(TextView aPaymentType);
  static Text EncodePaymentType(zvReceiptPaymentType aPaymentType);
  static zvReceiptLineType DecodeLineType(TextView aLineType);
  static zvReceiptType DecodeReceiptType(TextView aReceiptType);
  static Text EncodeReceiptType(zvReceiptType aReceiptType);
  // Never fails: an unknown word is rrt_OriginalReceipt.
  static zvReceiptReferenceType DecodeReferenceType(TextView aReferenceType);
  static Text EncodeReferenceType(zvReceiptReferenceType aReferenceType);
  // Never fails: an unknown word is rla_Service.
  static zvReceiptLineAttribute DecodeLineAttribute(TextView aAttribute);
  // la_none has no word: the decoder refuses it, the encoder gives the empty text.
  static zvReceiptMessageLineAlignment DecodeAlignment(TextView aAlignment);
  static Text EncodeAlignment(zvReceiptMessageLineAlignment aAlignment);
  static zvReceiptMessageBarcodeType DecodeBarcodeType(TextView aBarcodeType);
  static Text EncodeBarcodeType(zvReceiptMessageBarcodeType aBarcodeType);
  static zvReceiptMessageLineEffect DecodeEffect(TextView aEffect);
  static Text EncodeEffect(zvReceiptMessageLineEffect aEffect);
  // Effects separated by ",", read up to the first empty field; each decoded as by
  // DecodeEffect.
  static zvReceiptMessageLineEffectSet DecodeEffects(TextView aEffects);
  // The words of the effects in ordinal order, joined with ",".
  static Text EncodeEffects(zvReceiptMessageLineEffectSet aEffects);
  static zvReceiptMessageImageSource DecodeImageSource(TextView aSource);
  static Text EncodeImageSource(zvReceiptMessageImageSource aSource);
  static zvEJReportType DecodeEJReportType(TextView aReportType);
  static zvEJReportDestination DecodeEJReportDestination(TextView aReportDestination);
  static zvEJFilesRequestType DecodeEJRequestType(TextView aReferenceType);
};

}  // namespace zv
