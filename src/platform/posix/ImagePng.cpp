// PNG pictures as the printing module reads them, loaded on the first use.

#include "platform/ImagePng.h"

#include "platform/posix/PrintModule.h"

namespace zv::platform {

ImageLoadResult DecodePng(std::string_view aBytes) {
  Text error;
  const print::ModuleTable* module = print::Module(error);
  return module != nullptr ? module->DecodePng(aBytes) : ImageLoadResult{false, {}, error};
}

}  // namespace zv::platform
