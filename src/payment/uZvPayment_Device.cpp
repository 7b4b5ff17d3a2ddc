#include "app/uZV_Base.h"
#include "device/uZVIOHandler_Base.h"
#include "payment/uZvPayment.h"
#include "platform/Clock.h"
#include "platform/Process.h"

namespace zv {

namespace {

const Text kPayBanner = Text(60, u'-') + u" Pay";
const Text kDayCloseBanner = Text(55, u'-') + u" DayClose";
const Text kGetTotalsBanner = Text(55, u'-') + u" GetTotals";

}  // namespace

Text kPaymentDevice::PaymentLogDirectory() {
  return platform::LogRoot() + u"LogFiles" + platform::kPathSeparator + u"Payment";
}

Text kPaymentDevice::GetDriverVersion() {
  const tZV_ApplicationInfo info = GetApplicationInfo();
  return u"Version " + info.Version() + u" - " + info.ReleaseDateText();
}

kPaymentDevice::kPaymentDevice(const kPaymentHandler& aHandler)
    : fIOHandler(aHandler.CreateIOHandler(PaymentLogDirectory())) {
  fIOHandler->SetVersion(GetDriverVersion());
}

kPaymentDevice::~kPaymentDevice() = default;

Text kPaymentDevice::LogFileName() const { return fIOHandler->GetLogFileName(); }

bool kPaymentDevice::LogIsWritten() const { return fIOHandler->LogIsWritten(); }

void kPaymentDevice::ResetIOError() { fIOHandler->ResetCustomError(); }

template <typename Result>
void kPaymentDevice::CopyIOError(Result& aResult) const {
  if (fIOHandler->ErrorFound()) aResult.ErrorText = fIOHandler->ErrorMessage();
}

int_PAY_result kPaymentDevice::Pub_Pay(const kPaymentHandler& aHandler) {
  int_PAY_result result;
  ResetIOError();
  fIOHandler->Debug(tZV_MessageType::let_info, kPayBanner);
  result.LogFileName = fIOHandler->GetLogFileName();
  result.PaymentDateTime = Now();
  result.TransactionType = zvPaymentTransactionType::ptt_Other;
  result.PaymentNetwork = zvPaymentNetwork::Other;
  const kPaymentReceipt& receipt = aHandler.fPaymentReceipt;
  switch (receipt.fAction) {
    case zvPaymentAction::Refund: Refund(receipt, result); break;
    case zvPaymentAction::Void: Void(receipt, result); break;
    default: Pay(receipt, result); break;
  }
  CopyIOError(result);
  return result;
}

int_REPRINT_result kPaymentDevice::Pub_Reprint(const kPaymentHandler& aHandler) {
  int_REPRINT_result result;
  ResetIOError();
  Reprint(aHandler.fPaymentReceipt.fReceiptId, aHandler.fPaymentReceipt.fPrintLocation, result);
  CopyIOError(result);
  return result;
}

int_DAYCLOSE_result kPaymentDevice::Pub_DayClose(const kPaymentHandler& aHandler) {
  int_DAYCLOSE_result result;
  ResetIOError();
  fIOHandler->Debug(tZV_MessageType::let_info, kDayCloseBanner);
  result.LogFileName = fIOHandler->GetLogFileName();
  result.ClosureDateTime = Now();
  DayClose(aHandler.fDayClose, result);
  CopyIOError(result);
  return result;
}

int_GETTOTALS_result kPaymentDevice::Pub_GetTotals(const kPaymentHandler& aHandler) {
  int_GETTOTALS_result result;
  ResetIOError();
  fIOHandler->Debug(tZV_MessageType::let_info, kGetTotalsBanner);
  result.LogFileName = fIOHandler->GetLogFileName();
  result.DateTime = Now();
  GetTotals(aHandler.fTotals, result);
  CopyIOError(result);
  return result;
}

}  // namespace zv
