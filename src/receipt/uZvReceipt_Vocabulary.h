#pragma once
// The enumerations of the receipt vocabulary: the words of the framework's receipt
// documents (taxes, payments, lines, references, printed message lines, EJ reports).
// krptUtil decodes the words into these values and encodes them back.

#include <cstdint>
#include <initializer_list>

namespace zv {

enum class zvReceiptTaxType : uint8_t { tt_VAT, tt_SalesTax };

enum class zvReceiptPaymentType : uint8_t {
  rpt_Cash,
  rpt_Cheque,
  rpt_CreditCard,
  rpt_DebitCard,
  rpt_Credit,
  rpt_CreditOnProducts,
  rpt_CreditOnServices,
  Rpt_GiftCard,
  Rpt_Voucher,
  Rpt_MealVoucher,
  Rpt_NHSCard,
  Rpt_Change
};

enum class zvReceiptLineType : uint8_t {
  rlt_ProductSale,
  rlt_ProductReturn,
  rlt_WeightedProductSale,
  rlt_VoucherSale,
  rlt_VoucherRedeem,
  rlt_GiftCardSale,
  rlt_GiftCardRedeem,
  rlt_SubTotal,
  rlt_Text,
  rlt_DiscountAmount,
  rlt_DiscountPercentage,
  rlt_DiscountAmountOnSubtotal,
  rlt_DiscountPercentageOnSubTotal,
  rlt_MarkupAmount,
  rlt_MarkupPercentage,
  rlt_MarkupAmountOnSubtotal,
  rlt_MarkupPercentageOnSubTotal,
  rlt_CollectAmount
};

enum class zvReceiptType : uint8_t { rt_Sale, rt_Refund, rt_Void, rt_InvoiceSale, rt_InvoiceSaleFromReceipt };

enum class zvReceiptReferenceType : uint8_t { rrt_OriginalReceipt, rrt_EFTReceipt, rrt_NotAvailable, rrt_Empties };

enum class zvReceiptLineAttribute : uint8_t { rla_Product, rla_Service };

enum class zvReceiptMessageLineAlignment : uint8_t { la_none, la_right, la_center, la_left };

enum class zvReceiptMessageBarcodeType : uint8_t {
  bt_EAN13,
  bt_EAN8,
  bt_CODE39,
  bt_CODE128,
  bt_QRCODE,
  bt_UPCA,
  bt_UPCE,
  bt_Interleaved2Of5
};

enum class zvReceiptMessageLineEffect : uint8_t {
  le_bold,
  le_italic,
  le_underline,
  le_doubleheight,
  le_doublewidth,
  le_doublesize,
  le_invertcolors,
  le_condensed
};

// A set of line effects, one bit per effect in ordinal order.
class zvReceiptMessageLineEffectSet {
 public:
  constexpr zvReceiptMessageLineEffectSet() = default;
  constexpr zvReceiptMessageLineEffectSet(std::initializer_list<zvReceiptMessageLineEffect> aEffects) {
    for (zvReceiptMessageLineEffect effect : aEffects) Include(effect);
  }
  constexpr void Include(zvReceiptMessageLineEffect aEffect) { fBits |= Bit(aEffect); }
  constexpr void Exclude(zvReceiptMessageLineEffect aEffect) { fBits &= static_cast<uint8_t>(~Bit(aEffect)); }
  constexpr bool Contains(zvReceiptMessageLineEffect aEffect) const { return (fBits & Bit(aEffect)) != 0; }
  constexpr bool Empty() const { return fBits == 0; }
  constexpr uint8_t Bits() const { return fBits; }
  friend constexpr bool operator==(zvReceiptMessageLineEffectSet, zvReceiptMessageLineEffectSet) = default;

 private:
  static constexpr uint8_t Bit(zvReceiptMessageLineEffect aEffect) {
    return static_cast<uint8_t>(1u << static_cast<unsigned>(aEffect));
  }
  uint8_t fBits = 0;
};

enum class zvReceiptMessageImageSource : uint8_t { is_Resource, is_FileSystem };

enum class zvEJReportType : uint8_t { ejrt_ZReport, ejrt_FiscalReceipt, ejrt_NonFiscalReceipt, ejrt_CreditNote, ejrt_Invoice };

enum class zvEJReportDestination : uint8_t { rd_Printer, rd_Memory };

enum class zvEJFilesRequestType : uint8_t { ej_xml };

}  // namespace zv
