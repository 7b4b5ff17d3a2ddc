// PNG pictures as the printing module reads them, loaded on the first use.

#include "platform/ImagePng.h"

#include <new>

#include "platform/posix/PrintModule.h"

namespace zv::platform {

ImageLoadResult DecodePng(std::string_view aBytes) try {
  Text error;
  const print::ModuleTable* module = print::Module(error);
  return module != nullptr ? module->DecodePng(aBytes) : ImageLoadResult{false, {}, error};
} catch (const std::bad_alloc&) {
  return ImageFailure(kImageNoMemory);
}

}  // namespace zv::platform
