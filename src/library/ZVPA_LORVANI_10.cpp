// The exported functions: the library's whole outside surface.

#include <cstdint>
#include <mutex>

#include "ZVPA_LORVANI_10.h"
#include "base/Exception.h"
#include "driver/uZVDriverLibrary.h"
#include "driver/uZVPaymentWrapper.h"
#include "http/uZV_HTTPClient.h"
#include "platform/Bstr.h"
#include "provider/uZVPA_LORVANI_10.h"

namespace {

using namespace zv;

// Before the library's state: the TLS library's own exit handler would otherwise free
// its state under a call that unloading waits for or leaves running.
const bool gTlsReady = KeepTlsStateUntilProcessEnd();

// Constructed when the library is loaded, destroyed when it is unloaded.
kDriverLibrary gLibrary(RegisterProviderModules);

// The result travels in the whole return register: 0 or 0x0000FFFF.
constexpr int kFailure = 0xFFFF;

void NullOutVariables(BSTR* aResponse, BSTR* aError) {
  if (aResponse != nullptr) *aResponse = nullptr;
  if (aError != nullptr) *aError = nullptr;
}

void Store(BSTR* aTarget, const Text& aText) {
  if (aTarget != nullptr) *aTarget = platform::TextToBstr(aText);
}

// OPEN and PAY act before they answer: a device whose handle nobody would learn, a
// payment whose outcome nobody would learn. Without a response address they do nothing.
constexpr char16_t kOpenWithoutResponse[] =
    u"No device was opened: the response address is null, so the handle could not be returned";
constexpr char16_t kPayWithoutResponse[] =
    u"Nothing was sent to the provider: the response address is null, so the answer could not be returned";

// aRefusal: the error text of a command refused without a response address; null for a
// command that runs all the same.
template <typename Wrapper>
int RunCommand(BSTR aRequest, BSTR* aResponse, BSTR* aError, const char16_t* aRefusal = nullptr) noexcept {
  NullOutVariables(aResponse, aError);
  try {
    if (aResponse == nullptr && aRefusal != nullptr) {
      Store(aError, aRefusal);
      return kFailure;
    }
    const Text request = platform::BstrToText(aRequest);
    // Hosts may call from several threads; commands run one at a time so that they
    // never race on the device table.
    std::lock_guard<std::timed_mutex> lock(kDriverLibrary::CallLock());
    Wrapper wrapper;
    wrapper.Process(request);
    Text response, error;
    int16_t result = -1;
    wrapper.Format(response, error, result);
    Store(aResponse, response);
    Store(aError, error);
    return result == 0 ? 0 : kFailure;
  } catch (...) {
    // Only running out of memory can get here; report what can still be reported.
    try {
      Store(aError, FailureMessage(std::current_exception()));
    } catch (...) {
    }
    return kFailure;
  }
}

}  // namespace

extern "C" {

ZV_EXPORT int ZV_API OPEN(BSTR aRequest, BSTR* aResponse, BSTR* aError) {
  return RunCommand<kPaymentWrapper_OPEN>(aRequest, aResponse, aError, kOpenWithoutResponse);
}

ZV_EXPORT int ZV_API CLOSE(BSTR aRequest, BSTR* aResponse, BSTR* aError) {
  return RunCommand<kPaymentWrapper_CLOSE>(aRequest, aResponse, aError);
}

ZV_EXPORT int ZV_API PAY(BSTR aRequest, BSTR* aResponse, BSTR* aError) {
  return RunCommand<kPaymentWrapper_PAY>(aRequest, aResponse, aError, kPayWithoutResponse);
}

ZV_EXPORT int ZV_API REPRINT(BSTR aRequest, BSTR* aResponse, BSTR* aError) {
  return RunCommand<kPaymentWrapper_REPRINT>(aRequest, aResponse, aError);
}

ZV_EXPORT int ZV_API GETSTATUS(BSTR aRequest, BSTR* aResponse, BSTR* aError) {
  return RunCommand<kPaymentWrapper_GETSTATUS>(aRequest, aResponse, aError);
}

ZV_EXPORT int ZV_API DAYCLOSE(BSTR aRequest, BSTR* aResponse, BSTR* aError) {
  return RunCommand<kPaymentWrapper_DAYCLOSE>(aRequest, aResponse, aError);
}

ZV_EXPORT int ZV_API GETTOTALS(BSTR aRequest, BSTR* aResponse, BSTR* aError) {
  return RunCommand<kPaymentWrapper_GETTOTALS>(aRequest, aResponse, aError);
}

// The version text of a registered driver; a null response for any other name. The
// error text is never written and the result is always 0.
ZV_EXPORT int ZV_API VERSION(BSTR aDriverName, BSTR* aResponse, BSTR* aError) {
  NullOutVariables(aResponse, aError);
  try {
    const Text name = platform::BstrToText(aDriverName);
    std::lock_guard<std::timed_mutex> lock(kDriverLibrary::CallLock());
    kDriverLibrary* library = kDriverLibrary::Current();
    if (library != nullptr && library->Registry().Find(name) != nullptr)
      Store(aResponse, kPaymentDevice::GetDriverVersion());
  } catch (...) {
    // Nothing to report through: VERSION answers a null text.
  }
  return 0;
}

#ifndef _WIN32
// Linux hosts free what they receive with these; on Windows they are oleaut32's.
ZV_EXPORT BSTR SysAllocString(const OLECHAR* aText) {
  if (aText == nullptr) return nullptr;
  return platform::BstrAllocLen(aText, platform::WideLength(aText));
}

ZV_EXPORT BSTR SysAllocStringLen(const OLECHAR* aText, unsigned int aLength) {
  return platform::BstrAllocLen(aText, aLength);
}

ZV_EXPORT unsigned int SysStringLen(BSTR aText) { return platform::BstrLength(aText); }

ZV_EXPORT unsigned int SysStringByteLen(BSTR aText) { return platform::BstrByteLength(aText); }

ZV_EXPORT void SysFreeString(BSTR aText) { platform::BstrFree(aText); }
#endif

}  // extern "C"
