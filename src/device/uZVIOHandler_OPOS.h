#pragma once
// The I/O handler of connection type OPOS: a fiscal printer driven through the OPOS
// FiscalPrinter control. It carries no byte stream; each fiscal operation logs its
// call, calls the control, and reports a failed result code through the error state
// with a text of the OPOS code names and the control's error string.

#include <cstdint>
#include <functional>
#include <memory>

#include "base/DateTime.h"
#include "device/uZVIOHandler_Base.h"

namespace zv {

namespace platform {
class OposFiscalPrinter;
}

class kIOHandler_OPOS : public kIOHandler {
 public:
  // Creates the control (raising when it cannot be made); DeviceName is the OPOS
  // logical device name. Opens nothing.
  kIOHandler_OPOS(const kConnection* aConnection, const Text& aDirectory, const Text& aFileName);
  // Runs Disconnect when Connected, frees the control, then writes the STOP banner.
  ~kIOHandler_OPOS() override;

  Text ClassName() const override { return u"kIOHandler_OPOS"; }

  // True once a connect sequence ran to its end, even when a step of it failed: a
  // Disconnect is owed then.
  bool Connected() override { return fConnected; }
  // Open, ClaimDevice(ConnectTimeout), DeviceEnabled := true; each step only after
  // the one before succeeded. False when a step failed or the control raised.
  bool Connect() override;
  // DeviceEnabled := false, ReleaseDevice, Close; false when a step failed.
  bool Disconnect() override;
  void ClearBuffers() override {}
  // The byte-stream operations: each raises "<name> Unsupported".
  bool Write(const Text& aMessage) override;
  Text ReadUpTo(const std::vector<uint8_t>& aChars) override;
  Text ReadChars(int32_t aCharsNum) override;
  Text ReadAll() override;
  Text DecodeError(int32_t) override { return {}; }
  bool InputBufferContainsData() override;
  void SetParameter(const Text&, const Text&) override {}

  const Text& DeviceName() const { return fDeviceName; }
  void SetDeviceName(const Text& a) { fDeviceName = a; }

  // Fiscal operations: true when the control answered success.
  bool BeginFiscalReceipt();
  bool EndFiscalReceipt();
  bool BeginNonFiscal();
  bool EndNonFiscal();
  bool BeginTraining();
  bool EndTraining();
  bool ResetPrinter();
  bool PrintXReport();
  bool PrintZReport();
  bool PrintNormal(const Text& aText);
  bool PrintRecMessage(const Text& aText);
  bool PrintRecTaxid(const Text& aTaxId);
  // The control gets aAmount as the price, aPrice as the unit price and aQuantity in
  // thousandths (truncated toward zero); a quantity beyond what that holds raises.
  bool PrintRecItem(const Text& aCode, const Text& aDescription, Currency aQuantity, const Text& aUOM,
                    int32_t aVatCode, Currency aPrice, Currency aAmount);
  bool PrintRecItemVoid(const Text& aCode, const Text& aDescription, Currency aQuantity, const Text& aUOM,
                        int32_t aVatCode, Currency aPrice, Currency aAmount);
  bool PrintRecRefund(const Text& aCode, const Text& aDescription, Currency aQuantity, const Text& aUOM,
                      int32_t aVatCode, Currency aPrice, Currency aAmount);
  bool PrintRecItemAdjustment(int32_t aAdjType, const Text& aDescription, Currency aAmount, int32_t aVatCode);
  bool PrintRecSubtotal(Currency aAmount);
  bool PrintRecSubtotalAdjustment(int32_t aAdjType, const Text& aDescription, Currency aAmount);
  bool PrintRecTotal(Currency aTotalAmount, Currency aPaymentAmount, const Text& aDescription);
  bool PrintRecNotPaid(Currency aAmount, const Text& aDescription);
  // aData and aString receive what the control left, also when the call failed.
  bool DirectIO(int32_t aCommand, int32_t& aData, Text& aString);
  // aOutput is the data on success and empty on failure.
  bool GetData(int32_t aDataItem, int32_t aOptArgs, Text& aOutput);
  // The printer's date and time; on failure the current local one and false. A text
  // that is not "ddmmyyyyhhnn" of a real date and time raises.
  bool GetDate(DateTime& aDate);
  bool SetDate(DateTime aDateTime);
  // Property writes and reads: always true; a control that raises propagates.
  bool SetAdditionalTrailerLine(const Text& aDescription, bool aClear);
  bool SetPreLine(const Text& aDescription);
  bool SetFiscalReceiptType(int32_t aReceiptType);
  bool PrinterState(int32_t& aPrinterState);
  bool RemainingFiscalMemory(int32_t& aRemainingFiscalMemory);
  bool GetCoverOpen(bool& aResult);
  bool GetDayOpened(bool& aResult);
  bool GetRecEmpty(bool& aResult);
  bool GetRecNearEnd(bool& aResult);
  bool GetTrainingModeActive(bool& aResult);

 private:
  // "[code] NAME" with " [extended] NAME" when the extended code is not 0, then " - "
  // and the control's error string; empty for code 0.
  Text BuildErrorText(int32_t aCode, int32_t aExtendedCode);
  // Clears the error state and takes aCode as ErrorCode; a code other than 0 is logged
  // and recorded with its text. True for 0.
  bool CheckResult(int32_t aCode);
  void Log(const Text& aLine);
  // One step of an operation: logs aLine, calls the control, checks its result.
  bool Step(const Text& aLine, const std::function<int32_t(platform::OposFiscalPrinter&)>& aCall);
  // A property read: logs "[aOperation]->aRead", reads with aGet, logs "[aOperation]->aShown="
  // and the value aGet gives as the log shows it. Always true: a failing read raises.
  bool Report(const Text& aOperation, const Text& aRead, const Text& aShown,
              const std::function<Text(platform::OposFiscalPrinter&)>& aGet);

  std::unique_ptr<platform::OposFiscalPrinter> fOPOS;
  Text fDeviceName;
  bool fConnected = false;
};

}  // namespace zv
