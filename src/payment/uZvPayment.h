#pragma once
// The request vocabulary of payments, the request handler with its command sections,
// and the abstract payment device.

#include <cstdint>
#include <initializer_list>
#include <memory>

#include "base/DateTime.h"
#include "base/Text.h"
#include "device/uZvDeviceHandler.h"

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
};

// The abstract payment device: one per open handle, owned by the device table.
class kPaymentDevice {
 public:
  virtual ~kPaymentDevice() = default;
  kPaymentDevice(const kPaymentDevice&) = delete;
  kPaymentDevice& operator=(const kPaymentDevice&) = delete;

  int32_t fHandle = 0;  // 0 until the device table draws a handle for it

 protected:
  kPaymentDevice() = default;
};

}  // namespace zv
