#include "base/Exception.h"

#include <new>

namespace zv {

Text FailureMessage(std::exception_ptr aFailure) {
  try {
    std::rethrow_exception(aFailure);
  } catch (const kException& e) {
    return e.Message();
  } catch (const std::bad_alloc&) {
    return u"Out of memory";
  } catch (const std::exception& e) {
    return FromUtf8(e.what());
  } catch (...) {
    return u"Unknown failure";
  }
}

Text QuotedValue(TextView aValue) {
  if (aValue.size() <= kQuotedValueLimit) return Text(aValue);
  size_t kept = kQuotedValueLimit;
  // Half a surrogate pair would not survive conversion to UTF-8.
  if (aValue[kept - 1] >= 0xD800 && aValue[kept - 1] <= 0xDBFF) --kept;
  return Text(aValue.substr(0, kept)) + u"... (cut, " + IntToText(static_cast<int64_t>(aValue.size())) +
         u" characters)";
}

}  // namespace zv
