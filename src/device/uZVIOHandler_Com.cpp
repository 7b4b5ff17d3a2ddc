#include "device/uZVIOHandler_Com.h"

#include "base/Exception.h"

namespace zv {

Text kIOHandler_Com::ReadAll() { throw kException(u"ReadAll Unsupported"); }

bool kIOHandler_Com::InputBufferContainsData() { throw kException(u"InputBufferContainsData Unsupported"); }

}  // namespace zv
