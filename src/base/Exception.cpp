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

}  // namespace zv
