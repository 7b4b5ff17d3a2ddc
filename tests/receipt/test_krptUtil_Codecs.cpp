// The receipt vocabulary of krptUtil: decoders, encoders and effect sets as tables.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "TestText.h"
#include "base/Exception.h"
#include "receipt/uZvReceipt.h"

using namespace zv;
using zvtest::Concat;
using zvtest::FailureOf;
using zvtest::T;
using zvtest::U8;

namespace {

// A decoder seen through the ordinal of its result.
using Decoder = std::function<int(TextView)>;
template <typename V>
Decoder Ordinal(V (*aDecode)(TextView)) {
  return [aDecode](TextView aText) { return static_cast<int>(aDecode(aText)); };
}

// An encoder seen through the ordinal of its argument.
using Encoder = std::function<std::string(int)>;
template <typename V>
Encoder Of(Text (*aEncode)(V)) {
  return [aEncode](int aOrdinal) { return U8(aEncode(static_cast<V>(aOrdinal))); };
}

// Every word a decoder accepts, in the ordinal order of the values they give; "" for a
// value that no word gives.
struct Vocabulary {
  const char* name;
  Decoder decode;
  std::vector<std::string> words;
};

const Vocabulary kVocabularies[] = {
    {"TaxType", Ordinal(krptUtil::DecodeTaxType), {"vat", "salestax"}},
    {"PaymentType", Ordinal(krptUtil::DecodePaymentType),
     {"cash", "cheque", "creditcard", "debitcard", "credit", "creditonproducts", "creditonservices", "giftcard",
      "voucher", "mealvoucher", "nhscard", "change"}},
    {"LineType", Ordinal(krptUtil::DecodeLineType),
     {"productsale", "productreturn", "weightedproductsale", "vouchersale", "voucherredeem", "giftcardsale",
      "giftcardredeem", "subtotal", "text", "discountamount", "discountpercentage", "discountamountonsubtotal",
      "discountpercentageonsubtotal", "markupamount", "markuppercentage", "markupamountonsubtotal",
      "markuppercentageonsubtotal", "collectamount"}},
    {"ReceiptType", Ordinal(krptUtil::DecodeReceiptType),
     {"sale", "refund", "void", "invoicesale", "invoicesalefromreceipt"}},
    {"ReferenceType", Ordinal(krptUtil::DecodeReferenceType), {"", "eftreceipt", "notavailable", "empties"}},
    {"LineAttribute", Ordinal(krptUtil::DecodeLineAttribute), {"product", "service"}},
    {"Alignment", Ordinal(krptUtil::DecodeAlignment), {"", "right", "center", "left"}},
    {"BarcodeType", Ordinal(krptUtil::DecodeBarcodeType),
     {"ean13", "ean8", "code39", "code128", "qrcode", "upca", "upce", "interleaved2of5"}},
    {"Effect", Ordinal(krptUtil::DecodeEffect),
     {"bold", "italic", "underline", "doubleheight", "doublewidth", "doublesize", "invertcolors", "condensed"}},
    {"ImageSource", Ordinal(krptUtil::DecodeImageSource), {"resource", "filesystem"}},
    {"EJReportType", Ordinal(krptUtil::DecodeEJReportType),
     {"zreport", "fiscalreceipt", "nonfiscalreceipt", "creditnote", "invoice"}},
    {"EJReportDestination", Ordinal(krptUtil::DecodeEJReportDestination), {"printer", "memory"}},
    {"EJRequestType", Ordinal(krptUtil::DecodeEJRequestType), {"xml"}},
};

std::string Upper(std::string aText) {
  for (char& c : aText) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return aText;
}

TEST(Decoders, EveryWordGivesItsValueInAnyLetterCase) {
  for (const Vocabulary& v : kVocabularies) {
    for (size_t ordinal = 0; ordinal < v.words.size(); ++ordinal) {
      const std::string& word = v.words[ordinal];
      if (word.empty()) continue;
      SCOPED_TRACE(Concat(v.name, " ", word));
      EXPECT_EQ(v.decode(T(word)), static_cast<int>(ordinal));
      EXPECT_EQ(v.decode(T(Upper(word))), static_cast<int>(ordinal));
      std::string mixed = word;
      mixed[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(mixed[0])));
      EXPECT_EQ(v.decode(T(mixed)), static_cast<int>(ordinal));
    }
  }
}

// What a decoder makes of a text outside its words: a value, or its failure.
struct OutsideCase {
  const char* name;
  Decoder decode;
  std::string text;
  int ordinal;          // the value given, or -1 when it fails
  std::string failure;  // the message when it fails
};

TEST(Decoders, TextsOutsideTheWordsFailWithTheLowerCasedTextOrGiveTheFixedValue) {
  const std::string longText = zvtest::LongValue(300);
  const OutsideCase cases[] = {
      {"TaxType", Ordinal(krptUtil::DecodeTaxType), " vat", -1, "TaxType  vat is invalid"},
      {"TaxType", Ordinal(krptUtil::DecodeTaxType), "vat ", -1, "TaxType vat  is invalid"},
      {"TaxType", Ordinal(krptUtil::DecodeTaxType), "", -1, "TaxType  is invalid"},
      {"PaymentType", Ordinal(krptUtil::DecodePaymentType), "VISA", -1, "PaymentType visa is invalid"},
      {"PaymentType", Ordinal(krptUtil::DecodePaymentType), "cash,", -1, "PaymentType cash, is invalid"},
      {"LineType", Ordinal(krptUtil::DecodeLineType), "Product", -1, "LineType product is invalid"},
      {"ReceiptType", Ordinal(krptUtil::DecodeReceiptType), "Return", -1, "ReceiptType return is invalid"},
      {"Alignment", Ordinal(krptUtil::DecodeAlignment), "Middle", -1, "Alignment middle is invalid"},
      {"Alignment", Ordinal(krptUtil::DecodeAlignment), "none", -1, "Alignment none is invalid"},
      {"Alignment", Ordinal(krptUtil::DecodeAlignment), "", -1, "Alignment  is invalid"},
      {"BarcodeType", Ordinal(krptUtil::DecodeBarcodeType), "EAN-13", -1, "BarcodeType ean-13 is invalid"},
      {"Effect", Ordinal(krptUtil::DecodeEffect), "Blink", -1, "Effect blink is invalid"},
      {"ImageSource", Ordinal(krptUtil::DecodeImageSource), "File", -1, "Image Source file is invalid"},
      {"EJReportType", Ordinal(krptUtil::DecodeEJReportType), "XReport", -1, "ReportType xreport is invalid"},
      {"EJReportDestination", Ordinal(krptUtil::DecodeEJReportDestination), "Screen", -1,
       "ReportDestination screen is invalid"},
      {"EJRequestType", Ordinal(krptUtil::DecodeEJRequestType), "JSON", -1, "ReferenceType json is invalid"},
      // A percent sign in the text is no pattern; a long text is cut as every quoted value.
      {"Effect", Ordinal(krptUtil::DecodeEffect), "%S%d", -1, "Effect %s%d is invalid"},
      {"Effect", Ordinal(krptUtil::DecodeEffect), longText, -1,
       Concat("Effect ", zvtest::Quoted(longText), " is invalid")},
      {"ReferenceType", Ordinal(krptUtil::DecodeReferenceType), "originalreceipt", 0, ""},
      {"ReferenceType", Ordinal(krptUtil::DecodeReferenceType), "", 0, ""},
      {"ReferenceType", Ordinal(krptUtil::DecodeReferenceType), "Empty", 0, ""},
      {"ReferenceType", Ordinal(krptUtil::DecodeReferenceType), " empties", 0, ""},
      {"LineAttribute", Ordinal(krptUtil::DecodeLineAttribute), "", 1, ""},
      {"LineAttribute", Ordinal(krptUtil::DecodeLineAttribute), "products", 1, ""},
  };
  for (const OutsideCase& c : cases) {
    SCOPED_TRACE(Concat(c.name, " '", c.text, "'"));
    if (c.ordinal < 0)
      EXPECT_EQ(FailureOf([&] { c.decode(T(c.text)); }), c.failure);
    else
      EXPECT_EQ(c.decode(T(c.text)), c.ordinal);
  }
}

// Every value's word in ordinal order, and the number of values of the enumeration.
struct Encoding {
  const char* name;
  Encoder encode;
  Decoder decode;
  std::vector<std::string> words;
};

const Encoding kEncodings[] = {
    {"TaxType", Of(krptUtil::EncodeTaxType), Ordinal(krptUtil::DecodeTaxType), {"VAT", "SalesTax"}},
    {"PaymentType", Of(krptUtil::EncodePaymentType), Ordinal(krptUtil::DecodePaymentType),
     {"cash", "cheque", "creditcard", "debitcard", "credit", "creditonproducts", "creditonservices", "giftcard",
      "voucher", "mealvoucher", "nhscard", "change"}},
    {"ReceiptType", Of(krptUtil::EncodeReceiptType), Ordinal(krptUtil::DecodeReceiptType),
     {"Sale", "Refund", "Void", "InvoiceSale", "InvoiceSaleFromReceipt"}},
    {"ReferenceType", Of(krptUtil::EncodeReferenceType), Ordinal(krptUtil::DecodeReferenceType),
     {"OriginalReceipt", "EFTReceipt", "NotAvailable", "Empties"}},
    {"Alignment", Of(krptUtil::EncodeAlignment), Ordinal(krptUtil::DecodeAlignment), {"", "right", "center", "left"}},
    {"BarcodeType", Of(krptUtil::EncodeBarcodeType), Ordinal(krptUtil::DecodeBarcodeType),
     {"ean13", "ean8", "code39", "code128", "qrcode", "upca", "upce", "interleaved2of5"}},
    {"Effect", Of(krptUtil::EncodeEffect), Ordinal(krptUtil::DecodeEffect),
     {"bold", "italic", "underline", "doubleheight", "doublewidth", "doublesize", "invertcolors", "condensed"}},
    {"ImageSource", Of(krptUtil::EncodeImageSource), Ordinal(krptUtil::DecodeImageSource),
     {"resource", "filesystem"}},
};

TEST(Encoders, EveryValueGivesItsWordAndAValueWithoutOneTheEmptyText) {
  for (const Encoding& e : kEncodings) {
    for (size_t ordinal = 0; ordinal < e.words.size(); ++ordinal) {
      SCOPED_TRACE(Concat(e.name, " ", std::to_string(ordinal)));
      EXPECT_EQ(e.encode(static_cast<int>(ordinal)), e.words[ordinal]);
    }
    SCOPED_TRACE(e.name);
    EXPECT_EQ(e.encode(static_cast<int>(e.words.size())), "");
    EXPECT_EQ(e.encode(255), "");
  }
}

TEST(Encoders, EveryEncodedWordDecodesToItsValue) {
  for (const Encoding& e : kEncodings) {
    for (size_t ordinal = 0; ordinal < e.words.size(); ++ordinal) {
      const std::string word = e.encode(static_cast<int>(ordinal));
      SCOPED_TRACE(Concat(e.name, " ", word));
      if (word.empty()) {
        // la_none: no word, and the decoder takes no empty text for it.
        EXPECT_EQ(FailureOf([&] { e.decode(T(word)); }), "Alignment  is invalid");
        continue;
      }
      EXPECT_EQ(e.decode(T(word)), static_cast<int>(ordinal));
    }
  }
}

using Effect = zvReceiptMessageLineEffect;
using EffectSet = zvReceiptMessageLineEffectSet;

TEST(EffectLists, DecodeUpToTheFirstEmptyField) {
  const struct {
    std::string text;
    EffectSet expected;
    std::string failure;  // the message when it fails
  } cases[] = {
      {"bold,italic", {Effect::le_bold, Effect::le_italic}, ""},
      {"italic,bold", {Effect::le_bold, Effect::le_italic}, ""},
      {"BOLD,Italic,bold", {Effect::le_bold, Effect::le_italic}, ""},
      {"condensed", {Effect::le_condensed}, ""},
      {"bold,,italic", {Effect::le_bold}, ""},
      {"bold,,blink", {Effect::le_bold}, ""},
      {"bold,", {Effect::le_bold}, ""},
      {",bold", {}, ""},
      {",", {}, ""},
      {"", {}, ""},
      {"bold, italic", {}, "Effect  italic is invalid"},
      {"bold,blink,italic", {}, "Effect blink is invalid"},
      {" ", {}, "Effect   is invalid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    if (!c.failure.empty()) {
      EXPECT_EQ(FailureOf([&] { krptUtil::DecodeEffects(T(c.text)); }), c.failure);
      continue;
    }
    EXPECT_EQ(krptUtil::DecodeEffects(T(c.text)).Bits(), c.expected.Bits());
  }
}

TEST(EffectLists, EncodeInOrdinalOrder) {
  const struct {
    EffectSet effects;
    std::string text;
  } cases[] = {
      {{}, ""},
      {{Effect::le_italic, Effect::le_bold}, "bold,italic"},
      {{Effect::le_condensed, Effect::le_doublesize}, "doublesize,condensed"},
      {{Effect::le_bold, Effect::le_italic, Effect::le_underline, Effect::le_doubleheight, Effect::le_doublewidth,
        Effect::le_doublesize, Effect::le_invertcolors, Effect::le_condensed},
       "bold,italic,underline,doubleheight,doublewidth,doublesize,invertcolors,condensed"},
  };
  for (const auto& c : cases) EXPECT_EQ(U8(krptUtil::EncodeEffects(c.effects)), c.text);
}

TEST(EffectLists, EverySetEncodesToATextThatDecodesToIt) {
  for (unsigned bits = 0; bits < 256; ++bits) {
    EffectSet effects;
    for (unsigned effect = 0; effect < 8; ++effect)
      if (bits & (1u << effect)) effects.Include(static_cast<Effect>(effect));
    ASSERT_EQ(effects.Bits(), bits);
    EXPECT_EQ(krptUtil::DecodeEffects(krptUtil::EncodeEffects(effects)), effects) << bits;
  }
}

}  // namespace
