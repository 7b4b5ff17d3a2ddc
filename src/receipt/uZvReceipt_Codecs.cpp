// The receipt vocabulary of krptUtil: words of receipt documents to enumeration
// values and back, each enumeration one table of its words.

#include <optional>

#include "base/Exception.h"
#include "receipt/uZvReceipt.h"

namespace zv {

namespace {

// One value with the lower-case word its decoder accepts and the word its encoder
// gives; null where there is none.
template <typename E>
struct Word {
  E Value;
  const char16_t* Accepts;
  const char16_t* Gives;
};

using R = zvReceiptTaxType;
constexpr Word<R> kTaxTypes[] = {
    {R::tt_VAT, u"vat", u"VAT"},
    {R::tt_SalesTax, u"salestax", u"SalesTax"},
};

using P = zvReceiptPaymentType;
constexpr Word<P> kPaymentTypes[] = {
    {P::rpt_Cash, u"cash", u"cash"},
    {P::rpt_Cheque, u"cheque", u"cheque"},
    {P::rpt_CreditCard, u"creditcard", u"creditcard"},
    {P::rpt_DebitCard, u"debitcard", u"debitcard"},
    {P::rpt_Credit, u"credit", u"credit"},
    {P::rpt_CreditOnProducts, u"creditonproducts", u"creditonproducts"},
    {P::rpt_CreditOnServices, u"creditonservices", u"creditonservices"},
    {P::Rpt_GiftCard, u"giftcard", u"giftcard"},
    {P::Rpt_Voucher, u"voucher", u"voucher"},
    {P::Rpt_MealVoucher, u"mealvoucher", u"mealvoucher"},
    {P::Rpt_NHSCard, u"nhscard", u"nhscard"},
    {P::Rpt_Change, u"change", u"change"},
};

using L = zvReceiptLineType;
constexpr Word<L> kLineTypes[] = {
    {L::rlt_ProductSale, u"productsale", nullptr},
    {L::rlt_ProductReturn, u"productreturn", nullptr},
    {L::rlt_WeightedProductSale, u"weightedproductsale", nullptr},
    {L::rlt_VoucherSale, u"vouchersale", nullptr},
    {L::rlt_VoucherRedeem, u"voucherredeem", nullptr},
    {L::rlt_GiftCardSale, u"giftcardsale", nullptr},
    {L::rlt_GiftCardRedeem, u"giftcardredeem", nullptr},
    {L::rlt_SubTotal, u"subtotal", nullptr},
    {L::rlt_Text, u"text", nullptr},
    {L::rlt_DiscountAmount, u"discountamount", nullptr},
    {L::rlt_DiscountPercentage, u"discountpercentage", nullptr},
    {L::rlt_DiscountAmountOnSubtotal, u"discountamountonsubtotal", nullptr},
    {L::rlt_DiscountPercentageOnSubTotal, u"discountpercentageonsubtotal", nullptr},
    {L::rlt_MarkupAmount, u"markupamount", nullptr},
    {L::rlt_MarkupPercentage, u"markuppercentage", nullptr},
    {L::rlt_MarkupAmountOnSubtotal, u"markupamountonsubtotal", nullptr},
    {L::rlt_MarkupPercentageOnSubTotal, u"markuppercentageonsubtotal", nullptr},
    {L::rlt_CollectAmount, u"collectamount", nullptr},
};

using T = zvReceiptType;
constexpr Word<T> kReceiptTypes[] = {
    {T::rt_Sale, u"sale", u"Sale"},
    {T::rt_Refund, u"refund", u"Refund"},
    {T::rt_Void, u"void", u"Void"},
    {T::rt_InvoiceSale, u"invoicesale", u"InvoiceSale"},
    {T::rt_InvoiceSaleFromReceipt, u"invoicesalefromreceipt", u"InvoiceSaleFromReceipt"},
};

// rrt_OriginalReceipt is also what any other word decodes to.
using F = zvReceiptReferenceType;
constexpr Word<F> kReferenceTypes[] = {
    {F::rrt_OriginalReceipt, nullptr, u"OriginalReceipt"},
    {F::rrt_EFTReceipt, u"eftreceipt", u"EFTReceipt"},
    {F::rrt_NotAvailable, u"notavailable", u"NotAvailable"},
    {F::rrt_Empties, u"empties", u"Empties"},
};

// rla_Service is also what any other word decodes to.
using A = zvReceiptLineAttribute;
constexpr Word<A> kLineAttributes[] = {
    {A::rla_Product, u"product", nullptr},
    {A::rla_Service, u"service", nullptr},
};

using G = zvReceiptMessageLineAlignment;
constexpr Word<G> kAlignments[] = {
    {G::la_none, nullptr, nullptr},
    {G::la_right, u"right", u"right"},
    {G::la_center, u"center", u"center"},
    {G::la_left, u"left", u"left"},
};

using B = zvReceiptMessageBarcodeType;
constexpr Word<B> kBarcodeTypes[] = {
    {B::bt_EAN13, u"ean13", u"ean13"},
    {B::bt_EAN8, u"ean8", u"ean8"},
    {B::bt_CODE39, u"code39", u"code39"},
    {B::bt_CODE128, u"code128", u"code128"},
    {B::bt_QRCODE, u"qrcode", u"qrcode"},
    {B::bt_UPCA, u"upca", u"upca"},
    {B::bt_UPCE, u"upce", u"upce"},
    {B::bt_Interleaved2Of5, u"interleaved2of5", u"interleaved2of5"},
};

using E = zvReceiptMessageLineEffect;
constexpr Word<E> kEffects[] = {
    {E::le_bold, u"bold", u"bold"},
    {E::le_italic, u"italic", u"italic"},
    {E::le_underline, u"underline", u"underline"},
    {E::le_doubleheight, u"doubleheight", u"doubleheight"},
    {E::le_doublewidth, u"doublewidth", u"doublewidth"},
    {E::le_doublesize, u"doublesize", u"doublesize"},
    {E::le_invertcolors, u"invertcolors", u"invertcolors"},
    {E::le_condensed, u"condensed", u"condensed"},
};

using S = zvReceiptMessageImageSource;
constexpr Word<S> kImageSources[] = {
    {S::is_Resource, u"resource", u"resource"},
    {S::is_FileSystem, u"filesystem", u"filesystem"},
};

using J = zvEJReportType;
constexpr Word<J> kEJReportTypes[] = {
    {J::ejrt_ZReport, u"zreport", nullptr},
    {J::ejrt_FiscalReceipt, u"fiscalreceipt", nullptr},
    {J::ejrt_NonFiscalReceipt, u"nonfiscalreceipt", nullptr},
    {J::ejrt_CreditNote, u"creditnote", nullptr},
    {J::ejrt_Invoice, u"invoice", nullptr},
};

using D = zvEJReportDestination;
constexpr Word<D> kEJReportDestinations[] = {
    {D::rd_Printer, u"printer", nullptr},
    {D::rd_Memory, u"memory", nullptr},
};

using Q = zvEJFilesRequestType;
constexpr Word<Q> kEJRequestTypes[] = {
    {Q::ej_xml, u"xml", nullptr},
};

// The value whose word is aLowerCase, compared exactly.
template <typename V, size_t N>
std::optional<V> Find(const Word<V> (&aWords)[N], TextView aLowerCase) {
  for (const Word<V>& word : aWords)
    if (word.Accepts != nullptr && aLowerCase == word.Accepts) return word.Value;
  return std::nullopt;
}

// The value of aText's word; a text that is none fails with aPattern, the lower-cased
// text in place of its "%s".
template <typename V, size_t N>
V Decode(const Word<V> (&aWords)[N], TextView aText, TextView aPattern) {
  const Text lower = LowerCase(aText);
  if (std::optional<V> value = Find(aWords, lower)) return *value;
  const size_t at = aPattern.find(u"%s");
  Text message(aPattern.substr(0, at));
  message.append(QuotedValue(lower)).append(aPattern.substr(at + 2));
  throw kException(std::move(message));
}

template <typename V, size_t N>
Text Encode(const Word<V> (&aWords)[N], V aValue) {
  for (const Word<V>& word : aWords)
    if (word.Value == aValue && word.Gives != nullptr) return word.Gives;
  return {};
}

}  // namespace

zvReceiptTaxType krptUtil::DecodeTaxType(TextView aTaxType) {
  return Decode(kTaxTypes, aTaxType, u"TaxType %s is invalid");
}
Text krptUtil::EncodeTaxType(zvReceiptTaxType aTaxType) { return Encode(kTaxTypes, aTaxType); }

zvReceiptPaymentType krptUtil::DecodePaymentType(TextView aPaymentType) {
  return Decode(kPaymentTypes, aPaymentType, u"PaymentType %s is invalid");
}
Text krptUtil::EncodePaymentType(zvReceiptPaymentType aPaymentType) { return Encode(kPaymentTypes, aPaymentType); }

zvReceiptLineType krptUtil::DecodeLineType(TextView aLineType) {
  return Decode(kLineTypes, aLineType, u"LineType %s is invalid");
}

zvReceiptType krptUtil::DecodeReceiptType(TextView aReceiptType) {
  return Decode(kReceiptTypes, aReceiptType, u"ReceiptType %s is invalid");
}
Text krptUtil::EncodeReceiptType(zvReceiptType aReceiptType) { return Encode(kReceiptTypes, aReceiptType); }

zvReceiptReferenceType krptUtil::DecodeReferenceType(TextView aReferenceType) {
  return Find(kReferenceTypes, LowerCase(aReferenceType)).value_or(F::rrt_OriginalReceipt);
}
Text krptUtil::EncodeReferenceType(zvReceiptReferenceType aReferenceType) {
  return Encode(kReferenceTypes, aReferenceType);
}

zvReceiptLineAttribute krptUtil::DecodeLineAttribute(TextView aAttribute) {
  return Find(kLineAttributes, LowerCase(aAttribute)).value_or(A::rla_Service);
}

zvReceiptMessageLineAlignment krptUtil::DecodeAlignment(TextView aAlignment) {
  return Decode(kAlignments, aAlignment, u"Alignment %s is invalid");
}
Text krptUtil::EncodeAlignment(zvReceiptMessageLineAlignment aAlignment) { return Encode(kAlignments, aAlignment); }

zvReceiptMessageBarcodeType krptUtil::DecodeBarcodeType(TextView aBarcodeType) {
  return Decode(kBarcodeTypes, aBarcodeType, u"BarcodeType %s is invalid");
}
Text krptUtil::EncodeBarcodeType(zvReceiptMessageBarcodeType aBarcodeType) {
  return Encode(kBarcodeTypes, aBarcodeType);
}

zvReceiptMessageLineEffect krptUtil::DecodeEffect(TextView aEffect) {
  return Decode(kEffects, aEffect, u"Effect %s is invalid");
}
Text krptUtil::EncodeEffect(zvReceiptMessageLineEffect aEffect) { return Encode(kEffects, aEffect); }

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
  for (const Word<E>& word : kEffects) {
    if (!aEffects.Contains(word.Value)) continue;
    if (!words.empty()) words += u',';
    words += word.Gives;
  }
  return words;
}

zvReceiptMessageImageSource krptUtil::DecodeImageSource(TextView aSource) {
  return Decode(kImageSources, aSource, u"Image Source %s is invalid");
}
Text krptUtil::EncodeImageSource(zvReceiptMessageImageSource aSource) { return Encode(kImageSources, aSource); }

zvEJReportType krptUtil::DecodeEJReportType(TextView aReportType) {
  return Decode(kEJReportTypes, aReportType, u"ReportType %s is invalid");
}

zvEJReportDestination krptUtil::DecodeEJReportDestination(TextView aReportDestination) {
  return Decode(kEJReportDestinations, aReportDestination, u"ReportDestination %s is invalid");
}

// Its message is the reference type's, as the framework has always worded it.
zvEJFilesRequestType krptUtil::DecodeEJRequestType(TextView aReferenceType) {
  return Decode(kEJRequestTypes, aReferenceType, u"ReferenceType %s is invalid");
}

}  // namespace zv
