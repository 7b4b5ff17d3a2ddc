#include "driver/uZVPaymentWrapper.h"

namespace zv {

// ---- PAY ----

void kPaymentWrapper_PAY::Format(Text& aOutput, Text& aErrorMessage, int16_t& aResult) {
  const int_PAY_result& r = fResult;
  FinishFormat(kResponseWriter()
                   .TextField(u"DeviceId", r.DeviceId)
                   .Moment(u"PaymentDateTime", r.PaymentDateTime)
                   .TextField(u"PaymentNumber", r.PaymentNumber)
                   .Amount(u"PaymentAmount", r.PaymentAmount)
                   .TextField(u"PaymentCurrency", r.PaymentCurrency)
                   .Amount(u"ExchangeRate", r.ExchangeRate)
                   .Amount(u"PaymentAmountCurrency", r.PaymentAmountCurrency)
                   .TextField(u"PaymentCurrencyCurrency", r.PaymentCurrencyCurrency)
                   .Amount(u"TippedAmount", r.TippedAmount)
                   .Amount(u"RemainingBalance", r.RemainingBalance)
                   .TextField(u"MaskedPAN", r.MaskedPAN)
                   .TextField(u"SerialNumber", r.SerialNumber)
                   .Code(u"PaymentNetwork", DecodeNetwork(r.PaymentNetwork))
                   .Code(u"TransactionType", DecodeTransactionType(r.TransactionType))
                   .TextField(u"AuthCode", r.AuthCode)
                   .TextField(u"TraceAuditId", r.TraceAuditId)
                   .Integer(u"NumberOfItems", r.NumberOfItems)
                   .Amount(u"SingleItemAmount", r.SingleItemAmount)
                   .Boolean(u"SignatureRequested", r.SignatureRequested)
                   .TextField(u"CustomerCountryCode", r.CustomerCountryCode)
                   .TextField(u"CardToken", r.CardToken)
                   .TextField(u"RefundReference", r.RefundReference)
                   .TextField(u"ReceiptText", r.ReceiptText)
                   .TextField(u"CashierReceiptText", r.CashierReceiptText)
                   .Boolean(u"Error", r.Error)
                   .TextField(u"ErrorText", r.ErrorText)
                   .TextField(u"LogFileName", r.LogFileName)
                   .Result(),
               aOutput, aErrorMessage, aResult);
}

// ---- REPRINT ----

void kPaymentWrapper_REPRINT::Format(Text& aOutput, Text& aErrorMessage, int16_t& aResult) {
  FinishFormat(kResponseWriter()
                   .TextField(u"ReceiptText", fResult.ReceiptText)
                   .Boolean(u"Error", fResult.Error)
                   .TextField(u"ErrorText", fResult.ErrorText)
                   .TextField(u"LogFileName", fResult.LogFileName)
                   .Result(),
               aOutput, aErrorMessage, aResult);
}

// ---- DAYCLOSE ----

void kPaymentWrapper_DAYCLOSE::Format(Text& aOutput, Text& aErrorMessage, int16_t& aResult) {
  const int_DAYCLOSE_result& r = fResult;
  FinishFormat(kResponseWriter()
                   .TextField(u"DeviceId", r.DeviceId)
                   .Moment(u"ClosureDateTime", r.ClosureDateTime)
                   .TextField(u"ClosureNumber", r.ClosureNumber)
                   .Integer(u"TransactionsCount", r.TransactionsCount)
                   .Amount(u"TotalAmount", r.TotalAmount)
                   .TextField(u"Currency", r.Currency)
                   .TextField(u"ReceiptText", r.ReceiptText)
                   .Boolean(u"Error", r.Error)
                   .TextField(u"ErrorText", r.ErrorText)
                   .TextField(u"LogFileName", r.LogFileName)
                   .Result(),
               aOutput, aErrorMessage, aResult);
}

// ---- GETTOTALS ----

void kPaymentWrapper_GETTOTALS::Format(Text& aOutput, Text& aErrorMessage, int16_t& aResult) {
  const int_GETTOTALS_result& r = fResult;
  FinishFormat(kResponseWriter()
                   .TextField(u"DeviceId", r.DeviceId)
                   .Moment(u"DateTime", r.DateTime)
                   .Integer(u"TransactionsCount", r.TransactionsCount)
                   .Amount(u"TotalAmount", r.TotalAmount)
                   .TextField(u"Currency", r.Currency)
                   .TextField(u"ReceiptText", r.ReceiptText)
                   .Boolean(u"Error", r.Error)
                   .TextField(u"ErrorText", r.ErrorText)
                   .TextField(u"LogFileName", r.LogFileName)
                   .Result(),
               aOutput, aErrorMessage, aResult);
}

// ---- GETSTATUS ----

void kPaymentWrapper_GETSTATUS::ClearResult() { fResult = int_GETSTATUS_result::Cleared(); }

void kPaymentWrapper_GETSTATUS::Process(const Text&) {
  ClearResult();
  fResult.Error = false;
}

void kPaymentWrapper_GETSTATUS::Format(Text& aOutput, Text& aErrorMessage, int16_t& aResult) {
  const int_GETSTATUS_result& r = fResult;
  aOutput = kResponseWriter()
                .Boolean(u"DayOpened", r.DayOpened)
                .Moment(u"DateTime", r.DateTime)
                .Boolean(u"PaperEnd", r.PaperEnd)
                .Boolean(u"PaperNearEnd", r.PaperNearEnd)
                .Boolean(u"CoverOpen", r.CoverOpen)
                .Boolean(u"FiscalReceiptOpen", r.FiscalReceiptOpen)
                .Boolean(u"ReceiptOpen", r.ReceiptOpen)
                .Boolean(u"TrainingMode", r.TrainingMode)
                .TextField(u"FirmwareVersion", r.FirmwareVersion)
                .TextField(u"SerialNumber", r.SerialNumber)
                .TextField(u"FiscalMode", r.FiscalMode)
                .Boolean(u"Error", r.Error)
                .TextField(u"ErrorText", r.ErrorText)
                .TextField(u"LogFileName", r.LogFileName)
                .Result();
  aErrorMessage = r.ErrorText;
  aResult = ResultCode(r.Error);
}

// ---- device entries ----

int_PAY_result kPaymentWrapper_PAY::RunDeviceEntry(kPaymentDevice& aDevice) { return aDevice.Pub_Pay(*fHandler); }

int_REPRINT_result kPaymentWrapper_REPRINT::RunDeviceEntry(kPaymentDevice& aDevice) {
  return aDevice.Pub_Reprint(*fHandler);
}

int_DAYCLOSE_result kPaymentWrapper_DAYCLOSE::RunDeviceEntry(kPaymentDevice& aDevice) {
  return aDevice.Pub_DayClose(*fHandler);
}

int_GETTOTALS_result kPaymentWrapper_GETTOTALS::RunDeviceEntry(kPaymentDevice& aDevice) {
  return aDevice.Pub_GetTotals(*fHandler);
}

}  // namespace zv
