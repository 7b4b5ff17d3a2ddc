#pragma once
// The request vocabulary of payments, the request handler with its command sections,
// and the abstract payment device.

#include <cstdint>
#include <initializer_list>
#include <memory>

#include "base/Currency.h"
#include "base/DateTime.h"
#include "base/Text.h"
#include "device/uZvDeviceHandler.h"
#include "payment/uZVPaymentDefs.h"

namespace zv {

enum class zvPaymentAction : uint8_t { Pay, Refund, Void };
enum class zvPaymentPhase : uint8_t { None, Begin, Do, Commit, Rollback };
enum class ZvPaymentChannel : uint8_t { pc_Standard, pc_MealVoucherProvider, pc_NationalHealthService };
enum class ZvPrintLocation : uint8_t { pl_ECR, pl_EFT };

// The payment that a refund or void refers to.
struct zvPaymentRefundReference {
  DateTime PaymentDateTime = 0;
  Text PaymentNumber;
};

// The Payment section of PAY and REPRINT requests.
class kPaymentReceipt {
 public:
  // Reads the Payment element among the direct children of the root; fails with
  // "Payment node not found", a code table's message or a reader's message.
  void ReadSection(const pugi::xml_document& aDocument);

  ZvPaymentChannel fPaymentChannel = ZvPaymentChannel::pc_Standard;
  zvPaymentAction fAction = zvPaymentAction::Pay;
  zvPaymentPhase fPhase = zvPaymentPhase::None;
  Text fMerchantCode;
  Text fStoreCode;
  Text fTillCode;
  Text fReference;
  Text fReceiptSubType;
  Currency fAmount;
  Text fCurrency;
  Currency fTipAmount;
  bool fRequestTipAmount = false;
  Text fAttributes;
  Currency fMaxAmount;
  int32_t fMaxItems = 0;
  bool fTokenizeCard = false;
  Text fTokenReference;
  ZvPrintLocation fPrintLocation = ZvPrintLocation::pl_ECR;
  int32_t fReceiptColCount = 32;
  zvPaymentRefundReference fRefundReference;
  Text fOperatorId;
  Text fReceiptId;
  // The request id of an earlier attempt of this payment or refund, sent again as it
  // is to learn that attempt's outcome; empty: a new request.
  Text fRequestId;
};

// The DayClose and GetTotals sections share their fields.
class kPaymentReportSection {
 public:
  void ReadSection(const pugi::xml_document& aDocument);

  Text fStoreCode;
  Text fTillCode;
  ZvPrintLocation fPrintLocation = ZvPrintLocation::pl_ECR;
  Text fReference;

 protected:
  explicit kPaymentReportSection(const char16_t* aElementName) : fElementName(aElementName) {}

 private:
  const char16_t* fElementName;
};

class kPaymentDayClose : public kPaymentReportSection {
 public:
  kPaymentDayClose() : kPaymentReportSection(u"DayClose") {}
};

class kPaymentTotals : public kPaymentReportSection {
 public:
  kPaymentTotals() : kPaymentReportSection(u"GetTotals") {}
};

// Which command section of a request is read.
enum class zvPaymentHandlerDocumentType : uint8_t { dt_Open, dt_Pay, dt_PayReprint, dt_DayClose, dt_GetTotals };

class zvPaymentHandlerDocumentTypes {
 public:
  constexpr zvPaymentHandlerDocumentTypes() = default;
  constexpr zvPaymentHandlerDocumentTypes(std::initializer_list<zvPaymentHandlerDocumentType> aTypes) {
    for (auto t : aTypes) fBits = static_cast<uint8_t>(fBits | Bit(t));
  }
  constexpr bool Contains(zvPaymentHandlerDocumentType aType) const { return (fBits & Bit(aType)) != 0; }

 private:
  static constexpr uint8_t Bit(zvPaymentHandlerDocumentType t) { return static_cast<uint8_t>(1u << static_cast<unsigned>(t)); }
  uint8_t fBits = 0;
};

// The whole request of one call: the configuration part and, for the commands that
// have one, the command's own section.
class kPaymentHandler : public kDeviceHandler {
 public:
  // Reads the configuration part, then the one section that aDocumentTypes selects.
  void Deserialize(TextView aXml, zvPaymentHandlerDocumentTypes aDocumentTypes);

  kPaymentReceipt fPaymentReceipt;
  kPaymentDayClose fDayClose;
  kPaymentTotals fTotals;
};

class kIOHandler;

// The abstract payment device: one per open handle, owned by the device table. It
// owns the I/O handler through which a provider talks to its service, and with it
// the device's log. The public entries do what every provider shares and call one
// operation that the provider implements.
class kPaymentDevice {
 public:
  // Creates the I/O handler from the request's connection, with its log in
  // "LogFiles/Payment" in the log root (platform::LogRoot); does not connect it. The
  // handler belongs to the call: the device keeps nothing of it.
  explicit kPaymentDevice(const kPaymentHandler& aHandler);
  virtual ~kPaymentDevice();
  kPaymentDevice(const kPaymentDevice&) = delete;
  kPaymentDevice& operator=(const kPaymentDevice&) = delete;

  int_PAY_result Pub_Pay(const kPaymentHandler& aHandler);
  int_REPRINT_result Pub_Reprint(const kPaymentHandler& aHandler);
  int_DAYCLOSE_result Pub_DayClose(const kPaymentHandler& aHandler);
  int_GETTOTALS_result Pub_GetTotals(const kPaymentHandler& aHandler);

  // "Version " + version + " - " + release date in the regional short date format.
  static Text GetDriverVersion();
  // The directory of the device logs: "LogFiles/Payment" in the log root.
  static Text PaymentLogDirectory();

  kIOHandler& IOHandler() { return *fIOHandler; }

  int32_t fHandle = 0;  // 0 until the device table draws a handle for it

 protected:
  // The provider's operations. Each fills the record it is given (which its entry has
  // partly set) and returns whether it succeeded; the entries use only the record
  // and the I/O handler's error state.
  virtual bool Pay(const kPaymentReceipt& aReceipt, int_PAY_result& aResult) = 0;
  virtual bool Refund(const kPaymentReceipt& aReceipt, int_PAY_result& aResult) = 0;
  virtual bool Void(const kPaymentReceipt& aReceipt, int_PAY_result& aResult) = 0;
  virtual bool Reprint(const Text& aReceiptId, ZvPrintLocation aPrintLocation, int_REPRINT_result& aResult) = 0;
  virtual bool DayClose(const kPaymentDayClose& aDayClose, int_DAYCLOSE_result& aResult) = 0;
  virtual bool GetTotals(const kPaymentTotals& aTotals, int_GETTOTALS_result& aResult) = 0;

  std::unique_ptr<kIOHandler> fIOHandler;

 private:
  // Every entry starts with a clear error state, so that a message left by an earlier
  // command is never answered again by a command that did not fail.
  void ResetIOError();
  // An error recorded by the I/O handler wins over what the operation wrote.
  template <typename Result>
  void CopyIOError(Result& aResult) const;
};

}  // namespace zv
