// The receipt vocabulary of krptUtil: words of receipt documents to enumeration
// values and back, each enumeration one table of its words.

#include <iterator>

#include "base/Exception.h"
#include "receipt/uZvReceipt.h"

namespace zv {

namespace {

// The words of one enumeration, one for each value in the enumeration's order (null: the
// value has no word). A decoder accepts a word in any letter case, an encoder gives it as
// written. An unknown word fails with Invalid, the lower-cased text in place of its "%s";
// where Invalid is null it is the value Otherwise.
template <typename E, size_t N>
struct Vocabulary {
  const char16_t* Words[N];
  const char16_t* Invalid;
  E Otherwise;

  E Decode(TextView aText) const {
    const Text lower = LowerCase(aText);
    for (size_t i = 0; i < N; ++i)
      if (Words[i] != nullptr && lower == LowerCase(Words[i])) return static_cast<E>(i);
    if (Invalid == nullptr) return Otherwise;
    const TextView pattern = Invalid;
    const size_t at = pattern.find(u"%s");
    Text message(pattern.substr(0, at));
    message.append(QuotedValue(lower)).append(pattern.substr(at + 2));
    throw kException(std::move(message));
  }

  Text Encode(E aValue) const {
    const auto i = static_cast<size_t>(aValue);
    return i < N && Words[i] != nullptr ? Text(Words[i]) : Text();
  }
};

// The vocabulary of the values up to Last, which fails on an unknown word with aInvalid.
template <auto Last, size_t N>
constexpr Vocabulary<decltype(Last), N> WordsUpTo(const char16_t* const (&aWords)[N], const char16_t* aInvalid,
                                                  decltype(Last) aOtherwise = {}) {
  static_assert(N == static_cast<size_t>(Last) + 1, "one word (or null) for every value");
  Vocabulary<decltype(Last), N> vocabulary{{}, aInvalid, aOtherwise};
  for (size_t i = 0; i < N; ++i) vocabulary.Words[i] = aWords[i];
  return vocabulary;
}

constexpr auto kTaxTypes = WordsUpTo<zvReceiptTaxType::tt_SalesTax>({u"VAT", u"SalesTax"}, u"TaxType %s is invalid");

constexpr auto kPaymentTypes = WordsUpTo<zvReceiptPaymentType::Rpt_Change>(
    {u"cash", u"cheque", u"creditcard", u"debitcard", u"credit", u"creditonproducts", u"creditonservices", u"giftcard",
     u"voucher", u"mealvoucher", u"nhscard", u"change"},
    u"PaymentType %s is invalid");

constexpr auto kLineTypes = WordsUpTo<zvReceiptLineType::rlt_CollectAmount>(
    {u"productsale", u"productreturn", u"weightedproductsale", u"vouchersale", u"voucherredeem", u"giftcardsale",
     u"giftcardredeem", u"subtotal", u"text", u"discountamount", u"discountpercentage", u"discountamountonsubtotal",
     u"discountpercentageonsubtotal", u"markupamount", u"markuppercentage", u"markupamountonsubtotal",
     u"markuppercentageonsubtotal", u"collectamount"},
    u"LineType %s is invalid");

constexpr auto kReceiptTypes = WordsUpTo<zvReceiptType::rt_InvoiceSaleFromReceipt>(
    {u"Sale", u"Refund", u"Void", u"InvoiceSale", u"InvoiceSaleFromReceipt"}, u"ReceiptType %s is invalid");

// Never fails: any other word is rrt_OriginalReceipt.
constexpr auto kReferenceTypes =
    WordsUpTo<zvReceiptReferenceType::rrt_Empties>({u"OriginalReceipt", u"EFTReceipt", u"NotAvailable", u"Empties"},
                                                   nullptr, zvReceiptReferenceType::rrt_OriginalReceipt);

// Never fails: any other word is rla_Service.
constexpr auto kLineAttributes = WordsUpTo<zvReceiptLineAttribute::rla_Service>({u"product", u"service"}, nullptr,
                                                                                zvReceiptLineAttribute::rla_Service);

// la_none has no word.
constexpr auto kAlignments = WordsUpTo<zvReceiptMessageLineAlignment::la_left>({nullptr, u"right", u"center", u"left"},
                                                                               u"Alignment %s is invalid");

constexpr auto kBarcodeTypes = WordsUpTo<zvReceiptMessageBarcodeType::bt_Interleaved2Of5>(
    {u"ean13", u"ean8", u"code39", u"code128", u"qrcode", u"upca", u"upce", u"interleaved2of5"},
    u"BarcodeType %s is invalid");

constexpr auto kEffects = WordsUpTo<zvReceiptMessageLineEffect::le_condensed>(
    {u"bold", u"italic", u"underline", u"doubleheight", u"doublewidth", u"doublesize", u"invertcolors", u"condensed"},
    u"Effect %s is invalid");

constexpr auto kImageSources =
    WordsUpTo<zvReceiptMessageImageSource::is_FileSystem>({u"resource", u"filesystem"}, u"Image Source %s is invalid");

constexpr auto kEJReportTypes = WordsUpTo<zvEJReportType::ejrt_Invoice>(
    {u"zreport", u"fiscalreceipt", u"nonfiscalreceipt", u"creditnote", u"invoice"}, u"ReportType %s is invalid");

constexpr auto kEJReportDestinations =
    WordsUpTo<zvEJReportDestination::rd_Memory>({u"printer", u"memory"}, u"ReportDestination %s is invalid");

// Its message is the reference type's, as the framework has always worded it.
constexpr auto kEJRequestTypes = WordsUpTo<zvEJFilesRequestType::ej_xml>({u"xml"}, u"ReferenceType %s is invalid");

}  // namespace

zvReceiptTaxType krptUtil::DecodeTaxType(TextView aTaxType) { return kTaxTypes.Decode(aTaxType); }
Text krptUtil::EncodeTaxType(zvReceiptTaxType aTaxType) { return kTaxTypes.Encode(aTaxType); }

zvReceiptPaymentType krptUtil::DecodePaymentType(TextView aPaymentType) { return kPaymentTypes.Decode(aPaymentType); }
Text krptUtil::EncodePaymentType(zvReceiptPaymentType aPaymentType) { return kPaymentTypes.Encode(aPaymentType); }

zvReceiptLineType krptUtil::DecodeLineType(TextView aLineType) { return kLineTypes.Decode(aLineType); }

zvReceiptType krptUtil::DecodeReceiptType(TextView aReceiptType) { return kReceiptTypes.Decode(aReceiptType); }
Text krptUtil::EncodeReceiptType(zvReceiptType aReceiptType) { return kReceiptTypes.Encode(aReceiptType); }

zvReceiptReferenceType krptUtil::DecodeReferenceType(TextView aReferenceType) {
  return kReferenceTypes.Decode(aReferenceType);
}
Text krptUtil::EncodeReferenceType(zvReceiptReferenceType aReferenceType) {
  return kReferenceTypes.Encode(aReferenceType);
}

zvReceiptLineAttribute krptUtil::DecodeLineAttribute(TextView aAttribute) { return kLineAttributes.Decode(aAttribute); }

zvReceiptMessageLineAlignment krptUtil::DecodeAlignment(TextView aAlignment) { return kAlignments.Decode(aAlignment); }
Text krptUtil::EncodeAlignment(zvReceiptMessageLineAlignment aAlignment) { return kAlignments.Encode(aAlignment); }

zvReceiptMessageBarcodeType krptUtil::DecodeBarcodeType(TextView aBarcodeType) {
  return kBarcodeTypes.Decode(aBarcodeType);
}
Text krptUtil::EncodeBarcodeType(zvReceiptMessageBarcodeType aBarcodeType) {
  return kBarcodeTypes.Encode(aBarcodeType);
}

zvReceiptMessageLineEffect krptUtil::DecodeEffect(TextView aEffect) { return kEffects.Decode(aEffect); }
Text krptUtil::EncodeEffect(zvReceiptMessageLineEffect aEffect) { return kEffects.Encode(aEffect); }

zvReceiptMessageLineEffectSet krptUtil::DecodeEffects(TextView aEffects) {
  // One pass over the fields: an empty field, or the end of the text, ends the list.
  zvReceiptMessageLineEffectSet effects;
  size_t start = 0;
  while (start < aEffects.size()) {
    const size_t comma = aEffects.find(u',', start);
    const TextView field = aEffects.substr(start, comma == TextView::npos ? TextView::npos : comma - start);
    if (field.empty()) break;
    effects.Include(DecodeEffect(field));
    if (comma == TextView::npos) break;
    start = comma + 1;
  }
  return effects;
}

Text krptUtil::EncodeEffects(zvReceiptMessageLineEffectSet aEffects) {
  Text words;
  for (size_t i = 0; i < std::size(kEffects.Words); ++i) {
    const auto effect = static_cast<zvReceiptMessageLineEffect>(i);
    if (!aEffects.Contains(effect)) continue;
    if (!words.empty()) words += u',';
    words += kEffects.Encode(effect);
  }
  return words;
}

zvReceiptMessageImageSource krptUtil::DecodeImageSource(TextView aSource) { return kImageSources.Decode(aSource); }
Text krptUtil::EncodeImageSource(zvReceiptMessageImageSource aSource) { return kImageSources.Encode(aSource); }

zvEJReportType krptUtil::DecodeEJReportType(TextView aReportType) { return kEJReportTypes.Decode(aReportType); }

zvEJReportDestination krptUtil::DecodeEJReportDestination(TextView aReportDestination) {
  return kEJReportDestinations.Decode(aReportDestination);
}

zvEJFilesRequestType krptUtil::DecodeEJRequestType(TextView aReferenceType) {
  return kEJRequestTypes.Decode(aReferenceType);
}

}  // namespace zv
