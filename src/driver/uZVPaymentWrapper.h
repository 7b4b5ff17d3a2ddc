#pragma once
// The command frame: one short-lived wrapper per exported call that reads the
// request, finds or creates the device, lets it work and writes the result out.

#include <cstdint>
#include <memory>

#include "base/Currency.h"
#include "base/DateTime.h"
#include "base/Exception.h"
#include "base/Text.h"
#include "payment/uZVPaymentDefs.h"
#include "payment/uZvPayment.h"

namespace zv {

struct int_OPEN_result {
  int32_t Handle = 0;
  bool Error = false;
  Text ErrorText;
  Text LogFileName;

  static int_OPEN_result Cleared() {
    int_OPEN_result r;
    r.Error = true;
    return r;
  }
};

struct int_CLOSE_result {
  bool Error = false;
  Text ErrorText;
  Text LogFileName;

  static int_CLOSE_result Cleared() {
    int_CLOSE_result r;
    r.Error = true;
    return r;
  }
};

// Builds a response text: elements in the order added, separated by CR LF, nothing
// after the last, never a self-closing tag.
class kResponseWriter {
 public:
  kResponseWriter& TextField(const char16_t* aName, TextView aValue);  // escaped
  kResponseWriter& Boolean(const char16_t* aName, bool aValue);
  kResponseWriter& Integer(const char16_t* aName, int64_t aValue);
  kResponseWriter& Amount(const char16_t* aName, Currency aValue);
  kResponseWriter& Moment(const char16_t* aName, DateTime aValue);
  kResponseWriter& Code(const char16_t* aName, TextView aValue);  // not escaped
  Text Result() { return std::move(fText); }

 private:
  kResponseWriter& Element(const char16_t* aName, TextView aRaw);
  Text fText;
};

class kPaymentWrapper {
 public:
  kPaymentWrapper();
  virtual ~kPaymentWrapper();
  kPaymentWrapper(const kPaymentWrapper&) = delete;
  kPaymentWrapper& operator=(const kPaymentWrapper&) = delete;

  virtual void ClearResult() = 0;
  // The response text, the error text (unescaped) and the result: -1 when the
  // command failed, 0 otherwise.
  virtual void Format(Text& aOutput, Text& aErrorMessage, int16_t& aResult) = 0;
  virtual void Process(const Text& aXml) = 0;

  // The device the request addresses; created and registered when the request has
  // no handle and aCanCreate is true.
  kPaymentDevice& GetDevice(bool aCanCreate);

  static Text EscapeXML(TextView aText);

 protected:
  static int16_t ResultCode(bool aError) { return aError ? -1 : 0; }

  std::unique_ptr<kPaymentHandler> fHandler;
};

class kPaymentWrapper_OPEN : public kPaymentWrapper {
 public:
  void ClearResult() override;
  void Format(Text& aOutput, Text& aErrorMessage, int16_t& aResult) override;
  void Process(const Text& aXml) override;
  const int_OPEN_result& Result() const { return fResult; }

 private:
  // Empty when the device's log takes its lines; otherwise the warning OPEN answers.
  static Text UnwrittenLogWarning(const kPaymentDevice& aDevice);

  int_OPEN_result fResult;
};

class kPaymentWrapper_CLOSE : public kPaymentWrapper {
 public:
  void ClearResult() override;
  void Format(Text& aOutput, Text& aErrorMessage, int16_t& aResult) override;
  void Process(const Text& aXml) override;
  const int_CLOSE_result& Result() const { return fResult; }

 private:
  int_CLOSE_result fResult;
};

}  // namespace zv

namespace zv {

// The process frame of the commands that read a section and run a device entry:
// the cleared record stays, with the failure's message, when anything fails.
template <typename Result>
class kPaymentWrapper_Section : public kPaymentWrapper {
 public:
  void ClearResult() override { fResult = Result::Cleared(); }
  void Process(const Text& aXml) override {
    ClearResult();
    try {
      fHandler->Deserialize(aXml, DocumentTypes());
      kPaymentDevice& device = GetDevice(true);
      fResult = RunDeviceEntry(device);
    } catch (...) {
      fResult.ErrorText = FailureMessage(std::current_exception());
    }
  }
  const Result& GetResult() const { return fResult; }

 protected:
  virtual zvPaymentHandlerDocumentTypes DocumentTypes() const = 0;
  virtual Result RunDeviceEntry(kPaymentDevice& aDevice) = 0;
  void FinishFormat(Text aResponse, Text& aOutput, Text& aErrorMessage, int16_t& aResult) const {
    aOutput = std::move(aResponse);
    aErrorMessage = fResult.ErrorText;
    aResult = ResultCode(fResult.Error);
  }

  Result fResult;
};

class kPaymentWrapper_PAY : public kPaymentWrapper_Section<int_PAY_result> {
 public:
  void Format(Text& aOutput, Text& aErrorMessage, int16_t& aResult) override;

 protected:
  zvPaymentHandlerDocumentTypes DocumentTypes() const override { return {zvPaymentHandlerDocumentType::dt_Pay}; }
  int_PAY_result RunDeviceEntry(kPaymentDevice& aDevice) override;
};

class kPaymentWrapper_REPRINT : public kPaymentWrapper_Section<int_REPRINT_result> {
 public:
  void Format(Text& aOutput, Text& aErrorMessage, int16_t& aResult) override;

 protected:
  zvPaymentHandlerDocumentTypes DocumentTypes() const override {
    return {zvPaymentHandlerDocumentType::dt_PayReprint};
  }
  int_REPRINT_result RunDeviceEntry(kPaymentDevice& aDevice) override;
};

class kPaymentWrapper_DAYCLOSE : public kPaymentWrapper_Section<int_DAYCLOSE_result> {
 public:
  void Format(Text& aOutput, Text& aErrorMessage, int16_t& aResult) override;

 protected:
  zvPaymentHandlerDocumentTypes DocumentTypes() const override {
    return {zvPaymentHandlerDocumentType::dt_DayClose};
  }
  int_DAYCLOSE_result RunDeviceEntry(kPaymentDevice& aDevice) override;
};

class kPaymentWrapper_GETTOTALS : public kPaymentWrapper_Section<int_GETTOTALS_result> {
 public:
  void Format(Text& aOutput, Text& aErrorMessage, int16_t& aResult) override;

 protected:
  zvPaymentHandlerDocumentTypes DocumentTypes() const override {
    return {zvPaymentHandlerDocumentType::dt_GetTotals};
  }
  int_GETTOTALS_result RunDeviceEntry(kPaymentDevice& aDevice) override;
};

// Answers a fixed status: the request is not read and no device is used.
class kPaymentWrapper_GETSTATUS : public kPaymentWrapper {
 public:
  void ClearResult() override;
  void Format(Text& aOutput, Text& aErrorMessage, int16_t& aResult) override;
  void Process(const Text& aXml) override;

 private:
  int_GETSTATUS_result fResult;
};

}  // namespace zv
