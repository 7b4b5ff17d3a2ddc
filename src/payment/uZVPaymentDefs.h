#pragma once
// The payment network and transaction type with their text codes, and the result
// records in which a command's outcome travels from the device to the response.
//
// A record constructed by default is the "fresh" record a device operation fills:
// every field empty, zero or false. Cleared() gives the defaults of ClearResult.

#include <cstdint>

#include "base/Currency.h"
#include "base/DateTime.h"
#include "base/Text.h"

namespace zv {

enum class zvPaymentNetwork : uint8_t {
  Bank, Cheque, Visa, Amex, Mastercard, JCB, CUP, Diners, Maestro, NHS, Edenred, Day, Sodexo, Pellegrini,
  BluTicket, Jakala, MIGLunch, AliPay, Discover, Doku, DragonPay, MolPay, VPay, AmazonPay, ApplePay, SamsungPay,
  Paypal, Yandex, QuiTicket, Repas, Ristomat, Agape, LunchTime, QuiWelfare, EP, CIR, Gemeaz, Satispay, Jiffy,
  Bitcoin, Tinaba, Lorvani, Other
};

enum class zvPaymentTransactionType : uint8_t {
  ptt_Chip, ptt_MagStripe, ptt_Manual, ptt_Cless, ptt_ClessMagStripe, ptt_ClessChip, ptt_RFID, ptt_Other
};

// The code of a network; "unrecognized" for a value outside the enumeration.
Text DecodeNetwork(zvPaymentNetwork aNetwork);
// The network whose code is the text, in any letter case; only the first seventeen
// networks (Bank to MIGLunch) are recognised, everything else gives Other.
zvPaymentNetwork EncodeNetwork(TextView aText);
// The code of a transaction type; ptt_RFID has none (empty text).
Text DecodeTransactionType(zvPaymentTransactionType aType);

struct int_PAY_result {
  Text DeviceId;
  DateTime PaymentDateTime = 0;
  Text PaymentNumber;
  Currency PaymentAmount;
  Text PaymentCurrency;
  Text MaskedPAN;
  Text SerialNumber;
  zvPaymentTransactionType TransactionType = zvPaymentTransactionType::ptt_Chip;
  zvPaymentNetwork PaymentNetwork = zvPaymentNetwork::Bank;
  Text AuthCode;
  Text TraceAuditId;
  Currency ExchangeRate;
  Currency PaymentAmountCurrency;
  Text PaymentCurrencyCurrency;
  Currency TippedAmount;
  Currency RemainingBalance;
  int32_t NumberOfItems = 0;
  Currency SingleItemAmount;
  bool SignatureRequested = false;
  Text CustomerCountryCode;
  Text CardToken;
  Text RefundReference;
  Text ReceiptText;
  Text CashierReceiptText;
  Text RawResponse;  // the provider's answer as received; never written to a response
  bool Error = false;
  Text ErrorText;
  Text LogFileName;

  static int_PAY_result Cleared() {
    int_PAY_result r;
    r.TransactionType = zvPaymentTransactionType::ptt_Other;
    r.PaymentNetwork = zvPaymentNetwork::Other;
    r.Error = true;
    return r;
  }
};

struct int_REPRINT_result {
  Text ReceiptText;
  bool Error = false;
  Text ErrorText;
  Text LogFileName;

  static int_REPRINT_result Cleared() {
    int_REPRINT_result r;
    r.Error = true;
    return r;
  }
};

struct int_GETSTATUS_result {
  bool DayOpened = false;
  zv::DateTime DateTime = 0;
  bool PaperEnd = false;
  bool PaperNearEnd = false;
  bool CoverOpen = false;
  bool FiscalReceiptOpen = false;
  bool ReceiptOpen = false;
  bool TrainingMode = false;
  Text FirmwareVersion;
  Text SerialNumber;
  Text FiscalMode;
  bool Error = false;
  Text ErrorText;
  Text LogFileName;

  static int_GETSTATUS_result Cleared() {
    int_GETSTATUS_result r;
    r.Error = true;
    return r;
  }
};

struct int_DAYCLOSE_result {
  Text DeviceId;
  DateTime ClosureDateTime = 0;
  Text ClosureNumber;
  int32_t TransactionsCount = 0;
  zv::Currency TotalAmount;
  Text Currency;
  Text ReceiptText;
  bool Error = false;
  Text ErrorText;
  Text LogFileName;

  static int_DAYCLOSE_result Cleared() {
    int_DAYCLOSE_result r;
    r.Error = true;
    return r;
  }
};

struct int_GETTOTALS_result {
  Text DeviceId;
  zv::DateTime DateTime = 0;
  int32_t TransactionsCount = 0;
  zv::Currency TotalAmount;
  Text Currency;
  Text ReceiptText;
  bool Error = false;
  Text ErrorText;
  Text LogFileName;

  static int_GETTOTALS_result Cleared() {
    int_GETTOTALS_result r;
    r.Error = true;
    return r;
  }
};

}  // namespace zv
