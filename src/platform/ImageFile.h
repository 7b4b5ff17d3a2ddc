#pragma once
// Pictures from files for the print handler's users: PNG (any colour type and depth)
// and Windows BMP (1, 4, 8, 16, 24 and 32 bits per pixel, uncompressed or with bit
// fields). Failures come back as results with a text; nothing here raises.

#include <string_view>

#include "base/Bitmap.h"
#include "base/Text.h"

namespace zv::platform {

struct ImageLoadResult {
  bool Loaded = false;
  Bitmap Picture;
  Text Message;  // why the picture could not be read, when not loaded
};

// The picture in the file aFileName; the format is told by the file's first bytes.
ImageLoadResult LoadImageFile(const Text& aFileName);
// The picture whose file content is aBytes.
ImageLoadResult DecodeImage(std::string_view aBytes);

}  // namespace zv::platform
