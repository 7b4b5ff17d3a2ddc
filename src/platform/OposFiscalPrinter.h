#pragma once
// The OPOS FiscalPrinter control: the members a fiscal I/O handler uses, with their
// OPOS meaning. Methods return the OPOS result code (0 for success); properties are
// read and written directly, and a control that fails on one raises a kException with
// its text (as the COM control raises).

#include <cstdint>
#include <memory>

#include "base/Text.h"

namespace zv::platform {

class OposFiscalPrinter {
 public:
  virtual ~OposFiscalPrinter() = default;

  // Creates the installed control. Raises a kException naming the cause when there is
  // none or it cannot be used.
  static std::unique_ptr<OposFiscalPrinter> Create();

  virtual int32_t Open(const Text& aDeviceName) = 0;
  virtual int32_t ClaimDevice(int32_t aTimeout) = 0;
  virtual int32_t ReleaseDevice() = 0;
  virtual int32_t Close() = 0;
  virtual int32_t BeginFiscalReceipt(bool aPrintHeader) = 0;
  virtual int32_t EndFiscalReceipt(bool aPrintHeader) = 0;
  virtual int32_t BeginNonFiscal() = 0;
  virtual int32_t EndNonFiscal() = 0;
  virtual int32_t BeginTraining() = 0;
  virtual int32_t EndTraining() = 0;
  virtual int32_t ResetPrinter() = 0;
  virtual int32_t PrintXReport() = 0;
  virtual int32_t PrintZReport() = 0;
  virtual int32_t PrintNormal(int32_t aStation, const Text& aData) = 0;
  virtual int32_t PrintRecMessage(const Text& aMessage) = 0;
  virtual int32_t PrintRecTaxID(const Text& aTaxId) = 0;
  // Amounts are currency scaled by 10,000; quantities are thousandths.
  virtual int32_t PrintRecItem(const Text& aDescription, int64_t aPrice, int32_t aQuantity, int32_t aVatInfo,
                               int64_t aUnitPrice, const Text& aUnitName) = 0;
  virtual int32_t PrintRecItemVoid(const Text& aDescription, int64_t aPrice, int32_t aQuantity, int32_t aVatInfo,
                                   int64_t aUnitPrice, const Text& aUnitName) = 0;
  virtual int32_t PrintRecRefund(const Text& aDescription, int64_t aAmount, int32_t aVatInfo) = 0;
  virtual int32_t PrintRecItemAdjustment(int32_t aAdjustmentType, const Text& aDescription, int64_t aAmount,
                                         int32_t aVatInfo) = 0;
  virtual int32_t PrintRecSubtotal(int64_t aAmount) = 0;
  virtual int32_t PrintRecSubtotalAdjustment(int32_t aAdjustmentType, const Text& aDescription, int64_t aAmount) = 0;
  virtual int32_t PrintRecTotal(int64_t aTotal, int64_t aPayment, const Text& aDescription) = 0;
  virtual int32_t PrintRecNotPaid(const Text& aDescription, int64_t aAmount) = 0;
  // aData and aString are in and out.
  virtual int32_t DirectIO(int32_t aCommand, int32_t& aData, Text& aString) = 0;
  // aOptArgs is in and out.
  virtual int32_t GetData(int32_t aDataItem, int32_t& aOptArgs, Text& aData) = 0;
  // "ddmmyyyyhhnn".
  virtual int32_t GetDate(Text& aDate) = 0;
  virtual int32_t SetDate(const Text& aDate) = 0;

  virtual bool DeviceEnabled() = 0;
  virtual void SetDeviceEnabled(bool aValue) = 0;
  virtual int32_t ResultCodeExtended() = 0;
  virtual Text ErrorString() = 0;
  virtual Text AdditionalTrailer() = 0;
  virtual void SetAdditionalTrailer(const Text& aValue) = 0;
  virtual void SetPreLine(const Text& aValue) = 0;
  virtual void SetFiscalReceiptType(int32_t aValue) = 0;
  virtual int32_t PrinterState() = 0;
  virtual int32_t RemainingFiscalMemory() = 0;
  virtual bool CoverOpen() = 0;
  virtual bool DayOpened() = 0;
  virtual bool RecEmpty() = 0;
  virtual bool RecNearEnd() = 0;
  virtual bool TrainingModeActive() = 0;
};

}  // namespace zv::platform
