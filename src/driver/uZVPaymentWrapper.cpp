#include "driver/uZVPaymentWrapper.h"

#include "base/Exception.h"
#include "driver/uZVDriverLibrary.h"

namespace zv {

// ---- response text ----

kResponseWriter& kResponseWriter::Element(const char16_t* aName, TextView aRaw) {
  if (!fText.empty()) fText += u"\r\n";
  fText += u'<';
  fText += aName;
  fText += u'>';
  fText += aRaw;
  fText += u"</";
  fText += aName;
  fText += u'>';
  return *this;
}

kResponseWriter& kResponseWriter::TextField(const char16_t* aName, TextView aValue) {
  return Element(aName, kPaymentWrapper::EscapeXML(aValue));
}

kResponseWriter& kResponseWriter::Boolean(const char16_t* aName, bool aValue) {
  return Element(aName, aValue ? u"True" : u"False");
}

kResponseWriter& kResponseWriter::Integer(const char16_t* aName, int64_t aValue) {
  return Element(aName, IntToText(aValue));
}

kResponseWriter& kResponseWriter::Amount(const char16_t* aName, Currency aValue) {
  return Element(aName, aValue.ToText());
}

kResponseWriter& kResponseWriter::Moment(const char16_t* aName, DateTime aValue) {
  return Element(aName, FormatIsoZ(aValue));
}

kResponseWriter& kResponseWriter::Code(const char16_t* aName, TextView aValue) { return Element(aName, aValue); }

// ---- the frame ----

kPaymentWrapper::kPaymentWrapper() : fHandler(std::make_unique<kPaymentHandler>()) {}

kPaymentWrapper::~kPaymentWrapper() = default;

Text kPaymentWrapper::EscapeXML(TextView aText) {
  Text out;
  out.reserve(aText.size());
  for (char16_t c : aText) {
    switch (c) {
      case u'&': out += u"&amp;"; break;
      case u'<': out += u"&lt;"; break;
      case u'>': out += u"&gt;"; break;
      case u'"': out += u"&quot;"; break;
      case u'\'': out += u"&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

kPaymentDevice& kPaymentWrapper::GetDevice(bool aCanCreate) {
  kDriverLibrary& library = DriverLibrary();
  const int32_t handle = fHandler->DeviceHandle();
  if (handle > 0) {
    if (kPaymentDevice* device = library.Devices().Find(handle)) return *device;
    throw kException(u"Device Handle not found");
  }
  if (!aCanCreate) throw kException(u"Payment Device has not previously opened");
  const kPaymentClass* deviceClass = library.Registry().Find(fHandler->Driver());
  if (deviceClass == nullptr)
    throw kException(u"Payment Driver [" + QuotedValue(fHandler->Driver()) + u"] not registered.");
  // A failing construction propagates before a handle is drawn.
  std::unique_ptr<kPaymentDevice> device = (*deviceClass)(*fHandler);
  return library.Devices().Add(std::move(device));
}

// ---- OPEN ----

void kPaymentWrapper_OPEN::ClearResult() { fResult = int_OPEN_result::Cleared(); }

// A device whose log cannot be written still opens: the answers of its payments are the
// host's record of them, and a till must not stop taking payments over its log folder.
// But the host learns of it, in the error text of an OPEN that succeeds.
Text kPaymentWrapper_OPEN::UnwrittenLogWarning(const kPaymentDevice& aDevice) {
  if (aDevice.LogIsWritten()) return Text();
  return u"Warning: the device log cannot be written (" + aDevice.LogFileName() +
         u"): nothing of this device is recorded; give ZV_LOG_DIR a folder this process can write to";
}

void kPaymentWrapper_OPEN::Process(const Text& aXml) {
  ClearResult();
  try {
    fHandler->Deserialize(aXml, {zvPaymentHandlerDocumentType::dt_Open});
    const bool creates = fHandler->DeviceHandle() <= 0;
    const kPaymentDevice& device = GetDevice(true);
    fResult.Handle = device.fHandle;
    fResult.Error = false;
    if (creates) fResult.ErrorText = UnwrittenLogWarning(device);
  } catch (...) {
    fResult.Error = true;
    fResult.ErrorText = FailureMessage(std::current_exception());
  }
}

void kPaymentWrapper_OPEN::Format(Text& aOutput, Text& aErrorMessage, int16_t& aResult) {
  aOutput = kResponseWriter()
                .Integer(u"Handle", fResult.Handle)
                .Boolean(u"Error", fResult.Error)
                .TextField(u"ErrorText", fResult.ErrorText)
                .TextField(u"LogFileName", fResult.LogFileName)
                .Result();
  aErrorMessage = fResult.ErrorText;
  aResult = ResultCode(fResult.Error);
}

// ---- CLOSE ----

void kPaymentWrapper_CLOSE::ClearResult() { fResult = int_CLOSE_result::Cleared(); }

void kPaymentWrapper_CLOSE::Process(const Text& aXml) {
  ClearResult();
  try {
    fHandler->Deserialize(aXml, {});
    const int32_t handle = GetDevice(false).fHandle;
    DriverLibrary().Devices().Remove(handle);
    fResult.Error = false;
  } catch (...) {
    fResult.Error = true;
    fResult.ErrorText = FailureMessage(std::current_exception());
  }
}

void kPaymentWrapper_CLOSE::Format(Text& aOutput, Text& aErrorMessage, int16_t& aResult) {
  aOutput = kResponseWriter()
                .Boolean(u"Error", fResult.Error)
                .TextField(u"ErrorText", fResult.ErrorText)
                .TextField(u"LogFileName", fResult.LogFileName)
                .Result();
  aErrorMessage = fResult.ErrorText;
  aResult = ResultCode(fResult.Error);
}

}  // namespace zv
